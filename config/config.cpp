// The configuration reader: one row per directive, messages with the path and line number.
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

constexpr std::size_t kLineBytes = 250;  // one read takes at most 249 bytes of a line

bool is_space(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' ||
         byte == '\r';
}

bool valid_port(int port) { return port >= 1 && port <= 65535; }

// New directives take plain decimal digits only, within [low, high].
bool strict_number(const std::string& token, int low, int high, int& value) {
  if (token.empty() || token.size() > 9) return false;
  int result = 0;
  for (char digit : token) {
    if (digit < '0' || digit > '9') return false;
    result = result * 10 + (digit - '0');
  }
  if (result < low || result > high) return false;
  value = result;
  return true;
}

struct Line {
  const std::string& path;
  int number;
  std::vector<std::string>& messages;
};

std::string format_message(const char* format, const std::string& path, int number,
                           const std::string& text) {
  char buffer[kLineBytes + 4096];
  std::snprintf(buffer, sizeof buffer, format, path.c_str(), number, text.c_str());
  return buffer;
}

// Each directive reads its operands from the cursor; false rejects the line.
using Apply = bool (*)(Config& config, const char* cursor, Line& line);

bool apply_map(Config& config, const char* cursor, Line& line) {
  const std::string identifier = next_token(cursor);
  const int port = convert_port(next_token(cursor));
  if (identifier.empty() || !valid_port(port)) return false;
  for (const MappingEntry& mapping : config.mappings) {
    if (mapping.identifier == identifier) {
      line.messages.push_back(format_message("%s:%d:\tAlready used identifier '%s'", line.path,
                                             line.number, identifier));
      return true;  // reported; the first mapping stays
    }
  }
  config.mappings.push_back(MappingEntry{identifier, port});
  return true;
}

bool apply_active_mode_port(Config& config, const char* cursor, Line&) {
  const int port = convert_port(next_token(cursor));
  if (!valid_port(port)) return false;
  config.active_mode_port = port;  // the last valid line wins
  return true;
}

bool apply_session_log(Config& config, const char* cursor, Line&) {
  const std::string value = next_token(cursor);
  if (value != "on" && value != "off") return false;
  config.session_log = value == "on";
  return true;
}

bool apply_status_port(Config& config, const char* cursor, Line&) {
  int port = 0;
  if (!strict_number(next_token(cursor), 1, 65535, port)) return false;
  std::string address = next_token(cursor);
  if (address.empty()) address = kDefaultStatusAddress;
  IpAddress parsed;
  if (!parse_address(address, parsed)) return false;
  config.status_port = port;
  config.status_address = address;
  return true;
}

bool apply_keepalive(Config& config, const char* cursor, Line&) {
  return strict_number(next_token(cursor), 1, 7200, config.keepalive_seconds);
}

bool apply_handshake_timeout(Config& config, const char* cursor, Line&) {
  return strict_number(next_token(cursor), 1, 50, config.handshake_timeout_seconds);
}

// At most nine digits: up to 999,999,999 bytes.
bool apply_log_size(Config& config, const char* cursor, Line&) {
  int bytes = 0;
  if (!strict_number(next_token(cursor), kMinLogSizeBytes, 999999999, bytes)) return false;
  config.log_size_bytes = bytes;
  return true;
}

bool apply_log_keep(Config& config, const char* cursor, Line&) {
  return strict_number(next_token(cursor), 1, kMaxLogKeep, config.log_keep);
}

bool apply_listen_address(Config& config, const char* cursor, Line&) {
  const std::string address = next_token(cursor);
  IpAddress parsed;
  if (!parse_address(address, parsed)) return false;
  config.listen_address = address;  // the last valid line wins
  return true;
}

// The rest of the line as prefixes, at least one, added to the list. The list is set even when
// one of them is malformed (the line is rejected then, and adds none).
bool add_prefixes(AllowList& list, const char* cursor) {
  list.set = true;
  std::vector<AddressPrefix> read;
  for (std::string token = next_token(cursor); !token.empty(); token = next_token(cursor)) {
    AddressPrefix prefix;
    if (!parse_prefix(token, prefix)) return false;
    read.push_back(prefix);
  }
  list.prefixes.insert(list.prefixes.end(), read.begin(), read.end());
  return !read.empty();
}

bool add_named_prefixes(std::vector<NamedAllowList>& lists, const char* cursor) {
  const std::string identifier = next_token(cursor);
  if (identifier.empty()) return false;
  for (NamedAllowList& named : lists) {
    if (named.identifier == identifier) return add_prefixes(named.list, cursor);
  }
  lists.push_back(NamedAllowList{identifier, {}});
  return add_prefixes(lists.back().list, cursor);
}

bool apply_allow_devices(Config& config, const char* cursor, Line&) {
  return add_prefixes(config.allow_devices, cursor);
}

bool apply_allow_clients(Config& config, const char* cursor, Line&) {
  return add_prefixes(config.allow_clients, cursor);
}

bool apply_allow_clients_of(Config& config, const char* cursor, Line&) {
  return add_named_prefixes(config.allow_clients_of, cursor);
}

bool apply_allow_devices_of(Config& config, const char* cursor, Line&) {
  return add_named_prefixes(config.allow_devices_of, cursor);
}

bool apply_handshakes_per_address(Config& config, const char* cursor, Line&) {
  return strict_number(next_token(cursor), 1, 20, config.handshakes_per_address);
}

bool apply_client_wait_timeout(Config& config, const char* cursor, Line&) {
  return strict_number(next_token(cursor), 1, 86400, config.client_wait_timeout_seconds);
}

struct Directive {
  const char* keyword;
  Apply apply;
};
// Keywords match whole tokens, case-sensitively; any other first token is ignored silently.
constexpr Directive kDirectives[] = {
    {"map", apply_map},
    {"active-mode-port", apply_active_mode_port},
    {"session-log", apply_session_log},
    {"status-port", apply_status_port},
    {"keepalive", apply_keepalive},
    {"handshake-timeout", apply_handshake_timeout},
    {"log-size", apply_log_size},
    {"log-keep", apply_log_keep},
    {"listen-address", apply_listen_address},
    {"allow-devices", apply_allow_devices},
    {"allow-clients", apply_allow_clients},
    {"allow-clients-of", apply_allow_clients_of},
    {"allow-devices-of", apply_allow_devices_of},
    {"handshakes-per-address", apply_handshakes_per_address},
    {"client-wait-timeout", apply_client_wait_timeout},
};

void report_rejected(Line& line, const char* text) {
  std::string echoed(text);
  while (echoed.size() > 1 && (echoed.back() == '\n' || echoed.back() == '\r')) echoed.pop_back();
  line.messages.push_back(format_message("%s:%d: '%s'", line.path, line.number, echoed));
}

}  // namespace

bool allows(const AllowList& list, const IpAddress& address) {
  if (!list.set) return true;
  for (const AddressPrefix& prefix : list.prefixes) {
    if (prefix_contains(prefix, address)) return true;
  }
  return false;
}

const AllowList& clients_allowed(const Config& config, std::string_view identifier) {
  for (const NamedAllowList& named : config.allow_clients_of) {
    if (named.identifier == identifier) return named.list;
  }
  return config.allow_clients;
}

const AllowList* devices_allowed_as(const Config& config, std::string_view identifier) {
  for (const NamedAllowList& named : config.allow_devices_of) {
    if (named.identifier == identifier) return &named.list;
  }
  return nullptr;
}

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

void read_config(Config& config, std::string_view text, const std::string& path,
                 std::vector<std::string>& messages) {
  char buffer[kLineBytes];
  std::size_t position = 0;
  for (int number = 1; position < text.size(); ++number) {
    // As a line read into a 250-byte buffer: at most 249 bytes, up to and including an LF.
    std::size_t length = 0;
    while (length < kLineBytes - 1 && position + length < text.size()) {
      if (text[position + length++] == '\n') break;
    }
    std::memcpy(buffer, text.data() + position, length);
    buffer[length] = 0;  // a NUL byte inside ends the line's text as well
    position += length;

    const char* cursor = buffer;
    const std::string keyword = next_token(cursor);
    Line line{path, number, messages};
    for (const Directive& directive : kDirectives) {
      if (keyword != directive.keyword) continue;
      if (!directive.apply(config, cursor, line)) report_rejected(line, buffer);
      break;
    }
  }
}

bool load_config(Config& config, const std::string& config_path) {
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
  // A read error ends the file like its end does: what was read stands.
  std::string text;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    text.append(chunk, got);
  }
  std::fclose(file);
  std::vector<std::string> messages;
  read_config(config, text, config_path, messages);
  for (const std::string& message : messages) {
    log_message(kSeverityFailure, "%s", message.c_str());
  }
  return true;
}

}  // namespace orv
