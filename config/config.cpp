// The configuration reader: one row per directive, messages with the path and line number.
#include "config/config.h"

#include <algorithm>
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

// One line as its directive sees it: the directive says why it rejects the line, or what it
// took differently from what the line says.
struct Line {
  int number;
  const std::string& text;  // as echoed
  std::vector<ConfigFinding>& findings;
  std::string reason;  // why the line is rejected
  std::string unused;  // what an accepted line held that was not used
};

void add_finding(std::vector<ConfigFinding>& findings, int number, FindingKind kind,
                 const std::string& text, std::string reason, std::string identifier = {}) {
  findings.push_back(ConfigFinding{number, kind, text, std::move(reason), std::move(identifier)});
}

bool reject(Line& line, std::string reason) {
  line.reason = std::move(reason);
  return false;
}

// A port as "map" and "active-mode-port" read it: sign and leading digits; a token with more
// than that is taken as its digits and noted.
bool port_operand(Line& line, const std::string& token, int& port) {
  if (token.empty()) return reject(line, "no port");
  const std::size_t digits = token[0] == '+' || token[0] == '-' ? 1 : 0;
  if (digits == token.size() || token[digits] < '0' || token[digits] > '9') {
    return reject(line, "port '" + token + "' is not a number");
  }
  port = convert_port(token);
  if (!valid_port(port)) return reject(line, "port " + token + " out of range (1 to 65535)");
  if (token.find_first_not_of("0123456789", digits) != std::string::npos) {
    line.unused = "'" + token + "' taken as port " + std::to_string(port);
  }
  return true;
}

// A number as the newer directives take it: decimal digits alone, within [low, high].
bool number_operand(Line& line, const std::string& token, const char* what, int low, int high,
                    int& value) {
  const std::string name(what);
  if (token.empty()) return reject(line, "no " + name);
  if (token.find_first_not_of("0123456789") != std::string::npos) {
    return reject(line, name + " '" + token + "' is not a number");
  }
  if (!strict_number(token, low, high, value)) {
    return reject(line, name + " " + token + " out of range (" + std::to_string(low) + " to " +
                            std::to_string(high) + ")");
  }
  return true;
}

// Each directive reads its operands from the cursor; false rejects the line.
using Apply = bool (*)(Config& config, const char* cursor, Line& line);

bool apply_map(Config& config, const char* cursor, Line& line) {
  const std::string identifier = next_token(cursor);
  if (identifier.empty()) return reject(line, "no identifier");
  int port = 0;
  if (!port_operand(line, next_token(cursor), port)) return false;
  for (const MappingEntry& mapping : config.mappings) {
    if (mapping.identifier == identifier) {
      add_finding(
          line.findings, line.number, FindingKind::kDuplicate, line.text,
          "identifier '" + identifier + "' already used on line " + std::to_string(mapping.line),
          identifier);
      return true;  // reported; the first mapping stays
    }
  }
  config.mappings.push_back(MappingEntry{identifier, port, line.number});
  return true;
}

bool apply_active_mode_port(Config& config, const char* cursor, Line& line) {
  int port = 0;
  if (!port_operand(line, next_token(cursor), port)) return false;
  config.active_mode_port = port;  // the last valid line wins
  return true;
}

bool apply_session_log(Config& config, const char* cursor, Line& line) {
  const std::string value = next_token(cursor);
  if (value != "on" && value != "off") return reject(line, "value is not on or off");
  config.session_log = value == "on";
  return true;
}

bool apply_status_port(Config& config, const char* cursor, Line& line) {
  int port = 0;
  if (!number_operand(line, next_token(cursor), "port", 1, 65535, port)) return false;
  std::string address = next_token(cursor);
  if (address.empty()) address = kDefaultStatusAddress;
  IpAddress parsed;
  if (!parse_address(address, parsed)) return reject(line, "'" + address + "' is no IP address");
  config.status_port = port;
  config.status_address = address;
  return true;
}

bool apply_keepalive(Config& config, const char* cursor, Line& line) {
  return number_operand(line, next_token(cursor), "seconds", 1, 7200, config.keepalive_seconds);
}

bool apply_handshake_timeout(Config& config, const char* cursor, Line& line) {
  return number_operand(line, next_token(cursor), "seconds", 1, 50,
                        config.handshake_timeout_seconds);
}

// At most nine digits: up to 999,999,999 bytes.
bool apply_log_size(Config& config, const char* cursor, Line& line) {
  int bytes = 0;
  if (!number_operand(line, next_token(cursor), "bytes", kMinLogSizeBytes, 999999999, bytes)) {
    return false;
  }
  config.log_size_bytes = bytes;
  return true;
}

bool apply_log_keep(Config& config, const char* cursor, Line& line) {
  return number_operand(line, next_token(cursor), "count", 1, kMaxLogKeep, config.log_keep);
}

bool apply_listen_address(Config& config, const char* cursor, Line& line) {
  const std::string address = next_token(cursor);
  IpAddress parsed;
  if (address.empty()) return reject(line, "no address");
  if (!parse_address(address, parsed)) return reject(line, "'" + address + "' is no IP address");
  config.listen_address = address;  // the last valid line wins
  return true;
}

// The rest of the line as prefixes, at least one, added to the list. The list is set even when
// one of them is malformed (the line is rejected then, and adds none).
bool add_prefixes(AllowList& list, const char* cursor, Line& line) {
  list.set = true;
  std::vector<AddressPrefix> read;
  for (std::string token = next_token(cursor); !token.empty(); token = next_token(cursor)) {
    AddressPrefix prefix;
    if (!parse_prefix(token, prefix)) return reject(line, "'" + token + "' is no address prefix");
    read.push_back(prefix);
  }
  list.prefixes.insert(list.prefixes.end(), read.begin(), read.end());
  return !read.empty() || reject(line, "no address prefix");
}

bool add_named_prefixes(std::vector<NamedAllowList>& lists, const char* cursor, Line& line) {
  const std::string identifier = next_token(cursor);
  if (identifier.empty()) return reject(line, "no identifier");
  for (NamedAllowList& named : lists) {
    if (named.identifier == identifier) return add_prefixes(named.list, cursor, line);
  }
  lists.push_back(NamedAllowList{identifier, {}});
  return add_prefixes(lists.back().list, cursor, line);
}

bool apply_allow_devices(Config& config, const char* cursor, Line& line) {
  return add_prefixes(config.allow_devices, cursor, line);
}

bool apply_allow_clients(Config& config, const char* cursor, Line& line) {
  return add_prefixes(config.allow_clients, cursor, line);
}

bool apply_allow_clients_of(Config& config, const char* cursor, Line& line) {
  return add_named_prefixes(config.allow_clients_of, cursor, line);
}

bool apply_allow_devices_of(Config& config, const char* cursor, Line& line) {
  return add_named_prefixes(config.allow_devices_of, cursor, line);
}

bool apply_handshakes_per_address(Config& config, const char* cursor, Line& line) {
  return number_operand(line, next_token(cursor), "count", 1, 20, config.handshakes_per_address);
}

bool apply_client_wait_timeout(Config& config, const char* cursor, Line& line) {
  return number_operand(line, next_token(cursor), "seconds", 1, 86400,
                        config.client_wait_timeout_seconds);
}

struct Directive {
  const char* keyword;
  Apply apply;
  // The operands as the guide writes them; words after them are ignored, and `orv check` says
  // so. Null: not counted.
  const char* operands = nullptr;
};
// Keywords match whole tokens, case-sensitively; any other first token is ignored silently.
constexpr Directive kDirectives[] = {
    {"map", apply_map, "IDENTIFIER PORT"},
    {"active-mode-port", apply_active_mode_port, "PORT"},
    {"session-log", apply_session_log, "on|off"},
    {"status-port", apply_status_port, "PORT [ADDRESS]"},
    {"keepalive", apply_keepalive, "SECONDS"},
    {"handshake-timeout", apply_handshake_timeout, "SECONDS"},
    {"log-size", apply_log_size, "BYTES"},
    {"log-keep", apply_log_keep, "N"},
    {"listen-address", apply_listen_address, "ADDRESS"},
    {"allow-devices", apply_allow_devices},
    {"allow-clients", apply_allow_clients},
    {"allow-clients-of", apply_allow_clients_of},
    {"allow-devices-of", apply_allow_devices_of},
    {"handshakes-per-address", apply_handshakes_per_address, "N"},
    {"client-wait-timeout", apply_client_wait_timeout, "SECONDS"},
};

// The line as messages quote it: up to its first NUL, trailing LF and CR bytes off while more
// than one byte is left.
std::string echo_of(const char* text) {
  std::string echoed(text);
  while (echoed.size() > 1 && (echoed.back() == '\n' || echoed.back() == '\r')) echoed.pop_back();
  return echoed;
}

// Words after a directive's operands, as they stand in the line; empty when there are none.
std::string words_after(const char* cursor, const char* operands) {
  for (const char* word = operands; !next_token(word).empty();) next_token(cursor);
  while (*cursor != 0 && is_space(*cursor)) ++cursor;
  std::string rest(cursor);
  while (!rest.empty() && is_space(rest.back())) rest.pop_back();
  return rest;
}

// Edits (insert, delete, replace, swap of neighbours) that turn one word into the other.
std::size_t edit_distance(std::string_view from, std::string_view to) {
  std::vector<std::vector<std::size_t>> d(from.size() + 1, std::vector<std::size_t>(to.size() + 1));
  for (std::size_t i = 0; i <= from.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= to.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= from.size(); ++i) {
    for (std::size_t j = 1; j <= to.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (from[i - 1] == to[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && from[i - 1] == to[j - 2] && from[i - 2] == to[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[from.size()][to.size()];
}

// The keyword a first word was most likely meant to be: the same in other case, or one or two
// edits away (one for short keywords). Null for none, and for comments.
const char* meant_keyword(const std::string& word) {
  if (word.empty() || word[0] == '#') return nullptr;
  std::string lower(word);
  for (char& byte : lower) byte = byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + 32) : byte;
  const char* best = nullptr;
  std::size_t best_distance = 3;
  for (const Directive& directive : kDirectives) {
    const std::string_view keyword(directive.keyword);
    if (lower.size() > keyword.size() + 2 || keyword.size() > lower.size() + 2) continue;
    const std::size_t distance = edit_distance(lower, keyword);
    if (distance <= (keyword.size() <= 4 ? 1u : 2u) && distance < best_distance) {
      best = directive.keyword;
      best_distance = distance;
    }
  }
  return best;
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

void read_config(Config& config, std::string_view text, std::vector<ConfigFinding>& findings) {
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
    const Directive* directive = nullptr;
    for (const Directive& candidate : kDirectives) {
      if (keyword == candidate.keyword) directive = &candidate;
    }
    const std::string echoed = echo_of(buffer);
    if (directive == nullptr) {
      if (const char* meant = meant_keyword(keyword)) {
        add_finding(findings, number, FindingKind::kMisspelt, echoed,
                    "'" + keyword + "' is no keyword, perhaps '" + meant + "'");
      }
      continue;
    }
    Line line{number, echoed, findings, {}, {}};
    const std::size_t found = findings.size();
    if (!directive->apply(config, cursor, line)) {
      add_finding(findings, number, FindingKind::kRejected, echoed,
                  !line.reason.empty()
                      ? line.reason
                      : std::string("operands that ") + directive->keyword + " cannot use");
      continue;
    }
    if (findings.size() != found) continue;  // the directive reported the line itself
    const std::string extra = directive->operands ? words_after(cursor, directive->operands) : "";
    if (!extra.empty()) line.unused += (line.unused.empty() ? "'" : "; '") + extra + "' ignored";
    if (!line.unused.empty()) {
      add_finding(findings, number, FindingKind::kUnused, echoed, line.unused);
    }
  }
}

std::string finding_message(const ConfigFinding& finding, const std::string& path) {
  const std::string where = path + ":" + std::to_string(finding.line) + ":";
  switch (finding.kind) {
    case FindingKind::kRejected:
      return where + " '" + finding.text + "'";
    case FindingKind::kDuplicate:
      return where + "\tAlready used identifier '" + finding.identifier + "'";
    case FindingKind::kMisspelt:
    case FindingKind::kUnused:
      break;
  }
  return "";
}

void read_config(Config& config, std::string_view text, const std::string& path,
                 std::vector<std::string>& messages) {
  std::vector<ConfigFinding> findings;
  read_config(config, text, findings);
  for (const ConfigFinding& finding : findings) {
    std::string message = finding_message(finding, path);
    if (!message.empty()) messages.push_back(std::move(message));
  }
}

bool read_config_file(const std::string& path, std::string& text, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    // The actual reason, so a refused or unreadable file is not mistaken for a missing one.
    error = path + ": " + std::strerror(errno);
    return false;
  }
  // A folder opens for reading on some systems and then reads as an empty file; refuse it rather
  // than start with no mappings.
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    std::fclose(file);
    error = path + ": " + std::strerror(EISDIR);
    return false;
  }
  // A read error ends the file like its end does: what was read stands.
  text.clear();
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    text.append(chunk, got);
  }
  std::fclose(file);
  return true;
}

bool load_config(Config& config, const std::string& config_path, std::string* error) {
  std::string text, failure;
  if (!read_config_file(config_path, text, failure)) {
    if (error != nullptr) {
      *error = failure;
    } else {
      log_message(kSeverityFailure, "%s", failure.c_str());
    }
    return false;
  }
  std::vector<std::string> messages;
  read_config(config, text, config_path, messages);
  for (const std::string& message : messages) {
    log_message(kSeverityFailure, "%s", message.c_str());
  }
  return true;
}

}  // namespace orv
