// The configuration reader on text alone: no sockets, no files.
#include "config/config.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

const std::string kPath = "/etc/orv/orv.conf";

struct Read {
  Config config;
  std::vector<std::string> messages;
  explicit Read(const std::string& text) { read_config(config, text, kPath, messages); }
  std::string fields() const {
    const Config& c = config;
    std::string text = std::to_string(c.active_mode_port) + (c.session_log ? " on " : " off ") +
                       std::to_string(c.status_port) + " " + c.status_address + " " +
                       std::to_string(c.keepalive_seconds) + " " +
                       std::to_string(c.handshake_timeout_seconds);
    for (const MappingEntry& m : c.mappings)
      text += " " + m.identifier + ":" + std::to_string(m.port);
    return text;
  }
};

std::string rejected(int line, const std::string& text) {
  return kPath + ":" + std::to_string(line) + ": '" + text + "'";
}

// Keywords are exact and case-sensitive (another word makes a comment), identifiers too; the
// first mapping of an identifier wins; messages carry line numbers, whatever the line ends.
TEST(ReadConfig, ReadsMappingsWithTheirMessagesAndLineNumbers) {
  const std::string example =
      "\n# site A\nactive-mode-port 900\nmap meter-1 901\n  map Meter-1\t902 trailing\n"
      "map meter-1 903\nmap meter-3\nMAP x 1\nmapx y 2\nactive-mode-port 0\n";
  std::string crlf;
  for (char byte : example) crlf += byte == '\n' ? std::string("\r\n") : std::string(1, byte);
  for (const std::string& text : {example, crlf}) {
    const Read read(text);
    EXPECT_EQ(read.fields(), "900 off 0 127.0.0.1 0 0 meter-1:901 Meter-1:902");
    EXPECT_EQ(read.messages, (std::vector<std::string>{
                                 kPath + ":6:\tAlready used identifier 'meter-1'",
                                 rejected(7, "map meter-3"), rejected(10, "active-mode-port 0")}));
  }
}

// Each directive takes strict values (ports as strtol reads them, within 1 to 65535); any other
// value rejects the line, which then changes nothing.
TEST(ReadConfig, DirectivesTakeStrictValuesAndRejectTheRest) {
  const struct {
    const char* line;
    const char* fields;
  } accepted[] = {
      {"map m 1", "2000 off 0 127.0.0.1 0 0 m:1"},
      {"map m 65535", "2000 off 0 127.0.0.1 0 0 m:65535"},
      {"map m 80abc", "2000 off 0 127.0.0.1 0 0 m:80"},
      {"active-mode-port +81", "81 off 0 127.0.0.1 0 0"},
      {"session-log on", "2000 on 0 127.0.0.1 0 0"},
      {"status-port 9100", "2000 off 9100 127.0.0.1 0 0"},
      {"status-port 9100 0.0.0.0", "2000 off 9100 0.0.0.0 0 0"},
      {"keepalive 1", "2000 off 0 127.0.0.1 1 0"},
      {"keepalive 7200", "2000 off 0 127.0.0.1 7200 0"},
      {"handshake-timeout 50", "2000 off 0 127.0.0.1 0 50"},
  };
  for (const auto& c : accepted) {
    const Read read(std::string(c.line) + "\r\n");
    EXPECT_EQ(read.fields(), c.fields) << c.line;
    EXPECT_EQ(read.messages, std::vector<std::string>{}) << c.line;
  }
  // Per directive, values that reject the line.
  const std::pair<const char*, std::vector<const char*>> refused[] = {
      {"map m", {"", " 0", " 65536", " abc", " -1", " 99999999999999999999"}},
      {"active-mode-port", {" 0"}},
      {"session-log", {" yes", ""}},
      {"status-port",
       {" 9100 256.0.0.1", " 9100 1.2.3", " 9100 localhost", " 0", " 65536", " 80abc"}},
      {"keepalive", {" 7201", " 0", " -5", " 60s"}},
      {"handshake-timeout", {" 51", ""}},
  };
  for (const auto& [directive, values] : refused) {
    for (const char* value : values) {
      const std::string line = directive + std::string(value);
      const Read read(line + "\r\n");
      EXPECT_EQ(read.fields(), "2000 off 0 127.0.0.1 0 0") << line;
      EXPECT_EQ(read.messages, std::vector<std::string>{rejected(1, line)});
    }
  }
}

}  // namespace
}  // namespace orv
