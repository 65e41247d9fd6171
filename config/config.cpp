// The configuration reader: "map" and "active-mode-port" lines of orv.conf.
#include "config/config.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "diag/log.h"

namespace orv {
namespace {

constexpr int kLineBytes = 250;  // one read takes at most 249 bytes of a line

bool is_space(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' ||
         byte == '\r';
}

bool valid_port(int port) { return port >= 1 && port <= 65535; }

void report_rejected(const std::string& path, int line_number, const char* line) {
  std::string text(line);
  while (text.size() > 1 && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  log_message(kSeverityFailure, "%s:%d: '%s'", path.c_str(), line_number, text.c_str());
}

}  // namespace

std::string next_token(const char*& cursor) {
  while (*cursor != 0 && is_space(*cursor)) ++cursor;
  const char* start = cursor;
  while (*cursor != 0 && !is_space(*cursor)) ++cursor;
  return std::string(start, cursor);
}

int convert_port(const std::string& token) {
  // strtol saturates to long; clamp that to the 32-bit range the port is held in.
  errno = 0;
  long value = std::strtol(token.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool load_config(RelayState& state, const std::string& config_path) {
  std::FILE* file = std::fopen(config_path.c_str(), "rb");
  if (file == nullptr) {
    // The actual reason, so a refused or unreadable file is not mistaken for a missing one.
    log_message(kSeverityFailure, "%s: %s", config_path.c_str(), std::strerror(errno));
    return false;
  }
  // A folder opens for reading on some systems and then reads as an empty file; refuse it rather
  // than start with no mappings.
  std::error_code ignored;
  if (std::filesystem::is_directory(config_path, ignored)) {
    std::fclose(file);
    log_message(kSeverityFailure, "%s: %s", config_path.c_str(), std::strerror(EISDIR));
    return false;
  }
  char line[kLineBytes];
  // A read error ends the file like its end does: what was read stands.
  for (int line_number = 1; std::fgets(line, sizeof line, file) != nullptr; ++line_number) {
    const char* cursor = line;  // a NUL byte ends the line's text
    const std::string keyword = next_token(cursor);
    if (keyword == "map") {
      const std::string identifier = next_token(cursor);
      const int port = convert_port(next_token(cursor));
      if (identifier.empty() || !valid_port(port)) {
        report_rejected(config_path, line_number, line);
        continue;
      }
      bool used = false;
      for (const Mapping& mapping : state.mappings) {
        used = used || mapping_equals(mapping, identifier);
      }
      if (used) {
        log_message(kSeverityFailure, "%s:%d:\tAlready used identifier '%s'", config_path.c_str(),
                    line_number, identifier.c_str());
        continue;
      }
      state.mappings.push_back(make_mapping(identifier, port));
    } else if (keyword == "active-mode-port") {
      const int port = convert_port(next_token(cursor));
      if (valid_port(port)) {
        state.active_mode_port = port;
      } else {
        report_rejected(config_path, line_number, line);
      }
    }
  }
  std::fclose(file);
  return true;
}

}  // namespace orv
