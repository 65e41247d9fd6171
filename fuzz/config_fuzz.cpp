// Fuzz target: the configuration reader against a small model of orv.conf's rules, written
// from the rules rather than from the reader, so a disagreement points at one or the other.
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
    ok = strict_operand(operand(tokens, 1), 1, 65535, value) && dotted_quad(address);
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
