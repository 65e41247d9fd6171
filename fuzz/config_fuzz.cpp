// Fuzz target: the configuration reader against a small model of orv.conf's rules, written
// from the rules rather than from the reader, so a disagreement points at one or the other.
#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"

namespace {

constexpr std::size_t kLineRead = 249;  // a 250-byte buffer read like fgets
const std::string kPath = "orv.conf";

// TAB, LF, VT, FF, CR and space; every other byte, NUL aside, belongs to a token.
bool whitespace(char byte) {
  return std::string_view(" \t\n\v\f\r").find(byte) != std::string_view::npos;
}

std::vector<std::string> tokens_of(std::string_view text) {
  std::vector<std::string> tokens;
  std::string token;
  for (char byte : text) {
    if (!whitespace(byte)) {
      token += byte;
    } else if (!token.empty()) {
      tokens.push_back(token);
      token.clear();
    }
  }
  if (!token.empty()) tokens.push_back(token);
  return tokens;
}

std::string operand(const std::vector<std::string>& tokens, std::size_t index) {
  return index < tokens.size() ? tokens[index] : std::string();
}

// Sign and leading digits as strtol reads them; only whether the value is a port matters, so
// anything beyond 65535 may stop counting there.
bool port_operand(const std::string& token, int& port) {
  std::size_t i = 0;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
  long value = 0;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
    if (value <= 65535) value = value * 10 + (token[i] - '0');
  }
  if (negative || value < 1 || value > 65535) return false;
  port = static_cast<int>(value);
  return true;
}

// The newer directives take digits alone: no sign, nothing after them, at most nine of them.
bool strict_operand(const std::string& token, int low, int high, int& value) {
  if (token.empty() || token.size() > 9) return false;
  long number = 0;
  for (char byte : token) {
    if (byte < '0' || byte > '9') return false;
    number = number * 10 + (byte - '0');
  }
  if (number < low || number > high) return false;
  value = static_cast<int>(number);
  return true;
}

bool dotted_quad(const std::string& token) {
  std::size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    std::size_t end = token.find('.', start);
    if ((end == std::string::npos) != (part == 3)) return false;
    if (end == std::string::npos) end = token.size();
    int value = 0;
    if (end - start > 3 || !strict_operand(token.substr(start, end - start), 0, 255, value)) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

// An address as the rules read it: dotted IPv4 (leading zeros allowed), or IPv6 text with no zone,
// which the C library's parser judges once a dotted tail is checked here and stood in for. Gives
// 16 bytes, IPv4 as its mapped form; mapped tells which family the value has.
bool address_operand(const std::string& token, std::uint8_t (&bytes)[16], bool& mapped) {
  std::fill(std::begin(bytes), std::end(bytes), 0);
  std::string ipv6 = token;
  const std::size_t dot = token.find('.'), colon = token.rfind(':');
  if (dot != std::string::npos) {
    const std::string tail = colon == std::string::npos ? token : token.substr(colon + 1);
    if (!dotted_quad(tail)) return false;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
      const std::size_t end = tail.find('.', start);
      bytes[12 + part] =
          static_cast<std::uint8_t>(std::atoi(tail.substr(start, end - start).c_str()));
      start = end + 1;
    }
    if (colon == std::string::npos) {
      bytes[10] = bytes[11] = 0xFF;
      mapped = true;
      return true;
    }
    ipv6 = token.substr(0, colon + 1) + "0:0";
  }
  std::uint8_t parsed[16];
  if (ipv6.find_first_of("%[]/ ") != std::string::npos ||
      inet_pton(AF_INET6, ipv6.c_str(), parsed) != 1) {
    return false;
  }
  std::copy(parsed, parsed + 12, bytes);
  if (dot == std::string::npos) std::copy(parsed + 12, parsed + 16, bytes + 12);
  mapped = std::all_of(bytes, bytes + 10, [](std::uint8_t b) { return b == 0; }) &&
           bytes[10] == 0xFF && bytes[11] == 0xFF;
  return true;
}

// ADDRESS or ADDRESS/LENGTH (one to three digits); no bit set beyond the length, counted over
// the mapped form for IPv4, whose shortest length is then 96.
bool prefix_operand(const std::string& token, orv::AddressPrefix& prefix) {
  const std::size_t slash = token.find('/');
  std::uint8_t bytes[16];
  bool mapped = false;
  if (!address_operand(token.substr(0, slash), bytes, mapped)) return false;
  const bool written_ipv4 = token.substr(0, slash).find(':') == std::string::npos;
  int length = written_ipv4 ? 32 : 128;
  if (slash != std::string::npos && !strict_operand(token.substr(slash + 1), 0, length, length)) {
    return false;
  }
  if (slash != std::string::npos && token.size() - slash - 1 > 3) return false;
  if (written_ipv4) length += 96;
  if (mapped && length < 96) return false;
  for (int bit = length; bit < 128; ++bit) {
    if (bytes[bit / 8] & (0x80 >> (bit % 8))) return false;
  }
  prefix = orv::AddressPrefix{};
  if (mapped) {
    prefix.address.family = orv::Family::kIpv4;
    std::copy(bytes + 12, bytes + 16, prefix.address.bytes);
    prefix.length = length - 96;
  } else {
    prefix.address.family = orv::Family::kIpv6;
    std::copy(bytes, bytes + 16, prefix.address.bytes);
    prefix.length = length;
  }
  return true;
}

// The prefixes from tokens[first] on, at least one; the list is set either way.
bool list_operands(const std::vector<std::string>& tokens, std::size_t first,
                   orv::AllowList& list) {
  list.set = true;
  std::vector<orv::AddressPrefix> read;
  for (std::size_t i = first; i < tokens.size(); ++i) {
    orv::AddressPrefix prefix;
    if (!prefix_operand(tokens[i], prefix)) return false;
    read.push_back(prefix);
  }
  list.prefixes.insert(list.prefixes.end(), read.begin(), read.end());
  return !read.empty();
}

bool named_list_operands(const std::vector<std::string>& tokens,
                         std::vector<orv::NamedAllowList>& lists) {
  const std::string identifier = operand(tokens, 1);
  if (identifier.empty()) return false;
  const auto found = std::find_if(
      lists.begin(), lists.end(),
      [&](const orv::NamedAllowList& named) { return named.identifier == identifier; });
  if (found != lists.end()) return list_operands(tokens, 2, found->list);
  lists.push_back({identifier, {}});
  return list_operands(tokens, 2, lists.back().list);
}

bool same_list(const orv::AllowList& left, const orv::AllowList& right) {
  if (left.set != right.set || left.prefixes.size() != right.prefixes.size()) return false;
  for (std::size_t i = 0; i < left.prefixes.size(); ++i) {
    if (!(left.prefixes[i].address == right.prefixes[i].address) ||
        left.prefixes[i].length != right.prefixes[i].length) {
      return false;
    }
  }
  return true;
}

bool same_named_lists(const std::vector<orv::NamedAllowList>& left,
                      const std::vector<orv::NamedAllowList>& right) {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (left[i].identifier != right[i].identifier || !same_list(left[i].list, right[i].list)) {
      return false;
    }
  }
  return true;
}

struct Model {
  orv::Config config;
  // One entry per message: its line number, negative for the already-used message.
  std::vector<int> messages;
  std::vector<std::string> echoes;  // a rejected line's text as its message quotes it
};

// The line as read up to its NUL, less trailing CR and LF bytes while more than one is left.
std::string echo_of(std::string_view line) {
  while (line.size() > 1 && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return std::string(line);
}

void model_line(Model& model, std::string_view line, int number) {
  // A NUL ends the line's text.
  const std::size_t nul = line.find('\0');
  if (nul != std::string_view::npos) line = line.substr(0, nul);
  const std::vector<std::string> tokens = tokens_of(line);
  const std::string keyword = operand(tokens, 0);
  orv::Config& config = model.config;
  bool ok = true;
  int value = 0;
  if (keyword == "map") {
    const std::string identifier = operand(tokens, 1);
    ok = !identifier.empty() && port_operand(operand(tokens, 2), value);
    const auto same = [&](const orv::MappingEntry& mapping) {
      return mapping.identifier == identifier;
    };
    if (ok && std::any_of(config.mappings.begin(), config.mappings.end(), same)) {
      model.messages.push_back(-number);  // reported; the first mapping stays
    } else if (ok) {
      config.mappings.push_back({identifier, value});
    }
  } else if (keyword == "active-mode-port") {
    ok = port_operand(operand(tokens, 1), value);
    if (ok) config.active_mode_port = value;
  } else if (keyword == "session-log") {
    const std::string word = operand(tokens, 1);
    ok = word == "on" || word == "off";
    if (ok) config.session_log = word == "on";
  } else if (keyword == "status-port") {
    std::string address = operand(tokens, 2);
    if (address.empty()) address = "127.0.0.1";
    std::uint8_t bytes[16];
    bool mapped = false;
    ok = strict_operand(operand(tokens, 1), 1, 65535, value) &&
         address_operand(address, bytes, mapped);
    if (ok) {
      config.status_port = value;
      config.status_address = address;
    }
  } else if (keyword == "keepalive") {
    ok = strict_operand(operand(tokens, 1), 1, 7200, value);
    if (ok) config.keepalive_seconds = value;
  } else if (keyword == "handshake-timeout") {
    ok = strict_operand(operand(tokens, 1), 1, 50, value);
    if (ok) config.handshake_timeout_seconds = value;
  } else if (keyword == "log-size") {
    ok = strict_operand(operand(tokens, 1), 100000, 999999999, value);
    if (ok) config.log_size_bytes = value;
  } else if (keyword == "log-keep") {
    ok = strict_operand(operand(tokens, 1), 1, 100, value);
    if (ok) config.log_keep = value;
  } else if (keyword == "listen-address") {
    std::uint8_t bytes[16];
    bool mapped = false;
    ok = address_operand(operand(tokens, 1), bytes, mapped);
    if (ok) config.listen_address = operand(tokens, 1);
  } else if (keyword == "allow-devices") {
    ok = list_operands(tokens, 1, config.allow_devices);
  } else if (keyword == "allow-clients") {
    ok = list_operands(tokens, 1, config.allow_clients);
  } else if (keyword == "allow-clients-of") {
    ok = named_list_operands(tokens, config.allow_clients_of);
  } else if (keyword == "allow-devices-of") {
    ok = named_list_operands(tokens, config.allow_devices_of);
  } else if (keyword == "handshakes-per-address") {
    ok = strict_operand(operand(tokens, 1), 1, 20, value);
    if (ok) config.handshakes_per_address = value;
  } else if (keyword == "client-wait-timeout") {
    ok = strict_operand(operand(tokens, 1), 1, 86400, value);
    if (ok) config.client_wait_timeout_seconds = value;
  }
  if (!ok) {
    model.messages.push_back(number);
    model.echoes.push_back(echo_of(line));
  }
}

Model model_config(std::string_view text) {
  Model model;
  int number = 0;
  while (!text.empty()) {
    std::size_t length = std::min(text.size(), kLineRead);
    const std::size_t lf = text.substr(0, length).find('\n');
    if (lf != std::string_view::npos) length = lf + 1;
    model_line(model, text.substr(0, length), ++number);
    text.remove_prefix(length);
  }
  return model;
}

// The line number a message carries, negative for the already-used message, 0 if unreadable.
int message_line(const std::string& message) {
  if (message.compare(0, kPath.size() + 1, kPath + ":") != 0) return 0;
  char* end = nullptr;
  const long number = std::strtol(message.c_str() + kPath.size() + 1, &end, 10);
  if (std::string_view(end).starts_with(":\tAlready used identifier '")) return -number;
  if (std::string_view(end).starts_with(": '")) return number;
  return 0;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_config: the model disagrees on the %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  orv::Config config;
  std::vector<std::string> messages;
  orv::read_config(config, text, kPath, messages);
  const Model model = model_config(text);
  const orv::Config& expected = model.config;

  if (config.active_mode_port != expected.active_mode_port) fail("active-mode port");
  if (config.mappings.size() != expected.mappings.size()) fail("number of mappings");
  for (std::size_t i = 0; i < config.mappings.size(); ++i) {
    if (config.mappings[i].identifier != expected.mappings[i].identifier) fail("identifier");
    if (config.mappings[i].port != expected.mappings[i].port) fail("mapping port");
  }
  if (config.session_log != expected.session_log) fail("session-log");
  if (config.status_port != expected.status_port) fail("status port");
  if (config.status_address != expected.status_address) fail("status address");
  if (config.keepalive_seconds != expected.keepalive_seconds) fail("keepalive");
  if (config.handshake_timeout_seconds != expected.handshake_timeout_seconds) fail("timeout");
  if (config.log_size_bytes != expected.log_size_bytes) fail("log-size");
  if (config.log_keep != expected.log_keep) fail("log-keep");
  if (config.listen_address != expected.listen_address) fail("listen address");
  if (!same_list(config.allow_devices, expected.allow_devices)) fail("allow-devices");
  if (!same_list(config.allow_clients, expected.allow_clients)) fail("allow-clients");
  if (!same_named_lists(config.allow_clients_of, expected.allow_clients_of)) {
    fail("allow-clients-of");
  }
  if (!same_named_lists(config.allow_devices_of, expected.allow_devices_of)) {
    fail("allow-devices-of");
  }
  if (config.handshakes_per_address != expected.handshakes_per_address) fail("per address");
  if (config.client_wait_timeout_seconds != expected.client_wait_timeout_seconds) {
    fail("client wait");
  }
  if (messages.size() != model.messages.size()) fail("number of messages");
  for (std::size_t i = 0, rejected = 0; i < messages.size(); ++i) {
    if (message_line(messages[i]) != model.messages[i]) fail("message line or kind");
    if (model.messages[i] < 0) continue;
    const std::string expected_message =
        kPath + ":" + std::to_string(model.messages[i]) + ": '" + model.echoes[rejected++] + "'";
    if (messages[i] != expected_message) fail("rejected line's text");
  }
  return 0;
}
