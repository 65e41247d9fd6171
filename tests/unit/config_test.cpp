// The configuration reader on text alone (no sockets, no files), and the file it opens.
#include "config/config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "diag/log.h"

namespace orv {
namespace {

const std::string kPath = "/etc/orv/orv.conf";

struct Read {
  Config config;
  std::vector<std::string> messages;
  explicit Read(const std::string& text) { read_config(config, text, kPath, messages); }
  std::vector<std::pair<std::string, int>> mappings() const {
    std::vector<std::pair<std::string, int>> found;
    for (const MappingEntry& entry : config.mappings)
      found.emplace_back(entry.identifier, entry.port);
    return found;
  }
};

std::string rejected(int line, const std::string& text) {
  return kPath + ":" + std::to_string(line) + ": '" + text + "'";
}

TEST(ReadConfig, ReadsTheExampleWithItsMessagesAndLineNumbersWhateverTheLineEnds) {
  const std::string example =
      "\n# site A\nactive-mode-port 900\nmap meter-1 901\nmap meter-2\t902 trailing\n"
      "map meter-1 903\nmap meter-3\nmap meter-4 65536\nMap meter-5 904\n";
  std::string crlf;
  for (char byte : example) crlf += byte == '\n' ? std::string("\r\n") : std::string(1, byte);
  for (const std::string& text : {example, crlf}) {
    const Read read(text);
    EXPECT_EQ(read.config.active_mode_port, 900);
    EXPECT_EQ(read.mappings(),
              (std::vector<std::pair<std::string, int>>{{"meter-1", 901}, {"meter-2", 902}}));
    EXPECT_EQ(read.messages, (std::vector<std::string>{
                                 kPath + ":6:\tAlready used identifier 'meter-1'",
                                 rejected(7, "map meter-3"), rejected(8, "map meter-4 65536")}));
  }
}

TEST(ReadConfig, PortOperandsTakeSignAndLeadingDigitsWithinOneTo65535) {
  const struct {
    const char* token;
    int port;  // 0: the line is rejected
  } cases[] = {{"1", 1},    {"65535", 65535}, {"65536", 0}, {"0", 0}, {"80abc", 80},
               {"+81", 81}, {"abc", 0},       {"-1", 0},    {"", 0},  {"99999999999999999999", 0}};
  for (const auto& c : cases) {
    const Read read(std::string("map m ") + c.token + "\nactive-mode-port " + c.token + "\n");
    SCOPED_TRACE(c.token);
    EXPECT_EQ(read.config.mappings.size(), c.port != 0 ? 1u : 0u);
    EXPECT_EQ(read.config.active_mode_port, c.port != 0 ? c.port : kDefaultActiveModePort);
    EXPECT_EQ(read.messages.size(), c.port != 0 ? 0u : 2u);
  }
  EXPECT_EQ(convert_port("-99999999999999999999"), -2147483647 - 1);
  // The last valid active-mode-port wins; an invalid later one changes nothing.
  EXPECT_EQ(
      Read("active-mode-port 5\nactive-mode-port 6\nactive-mode-port 0\n").config.active_mode_port,
      6);
}

TEST(ReadConfig, KeywordsAndIdentifiersAreExactAndCaseSensitive) {
  const Read read("MAP x 1\nmapx y 2\n  \t map Meter 3 extra words\nmap meter 4\nmap meter 5\n");
  EXPECT_EQ(read.mappings(),
            (std::vector<std::pair<std::string, int>>{{"Meter", 3}, {"meter", 4}}));
  EXPECT_EQ(read.messages,
            std::vector<std::string>{kPath + ":5:\tAlready used identifier 'meter'"});
}

TEST(ReadConfig, LongLinesAreReadIn249BytePiecesAndNulEndsALinesText) {
  // 300 bytes before the LF: the first 249 end inside the port, the last 51 bytes form line 2,
  // so "map late 0" is line 3.
  const std::string line = "map " + std::string(240, 'x') + " 12345" + std::string(49, ' ') + "9";
  ASSERT_EQ(line.size(), 300u);
  const Read read(line + "\nmap late 0\n" + std::string("map a 70\0junk", 13) + "\nmap b\0 71\n");
  EXPECT_EQ(read.mappings(),
            (std::vector<std::pair<std::string, int>>{{std::string(240, 'x'), 1234}, {"a", 70}}));
  EXPECT_EQ(read.messages,
            (std::vector<std::string>{rejected(3, "map late 0"), rejected(5, "map b")}));
}

TEST(ReadConfig, OptionalDirectivesTakeStrictValuesAndRejectTheRest) {
  const struct {
    std::string line;
    bool accepted;
    void (*check)(const Config&);
  } cases[] = {
      {"session-log on", true, [](const Config& c) { EXPECT_TRUE(c.session_log); }},
      {"session-log off", true, [](const Config& c) { EXPECT_FALSE(c.session_log); }},
      {"session-log yes", false, nullptr},
      {"session-log", false, nullptr},
      {"status-port 9100", true,
       [](const Config& c) {
         EXPECT_EQ(c.status_port, 9100);
         EXPECT_EQ(c.status_address, "127.0.0.1");
       }},
      {"status-port 9100 0.0.0.0", true,
       [](const Config& c) { EXPECT_EQ(c.status_address, "0.0.0.0"); }},
      {"status-port 9100 256.0.0.1", false, nullptr},
      {"status-port 9100 1.2.3", false, nullptr},
      {"status-port 9100 localhost", false, nullptr},
      {"status-port 0", false, nullptr},
      {"status-port 65536", false, nullptr},
      {"status-port 80abc", false, nullptr},
      {"keepalive 1", true, [](const Config& c) { EXPECT_EQ(c.keepalive_seconds, 1); }},
      {"keepalive 7200", true, [](const Config& c) { EXPECT_EQ(c.keepalive_seconds, 7200); }},
      {"keepalive 7201", false, nullptr},
      {"keepalive 0", false, nullptr},
      {"keepalive -5", false, nullptr},
      {"keepalive 60s", false, nullptr},
      {"handshake-timeout 50", true,
       [](const Config& c) { EXPECT_EQ(c.handshake_timeout_seconds, 50); }},
      {"handshake-timeout 51", false, nullptr},
      {"handshake-timeout", false, nullptr},
      {"Keepalive 60", true, [](const Config& c) { EXPECT_EQ(c.keepalive_seconds, 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const Read read(c.line + "\r\n");
    EXPECT_EQ(read.messages, c.accepted ? std::vector<std::string>{}
                                        : std::vector<std::string>{rejected(1, c.line)});
    if (c.check != nullptr) c.check(read.config);
  }
  // Only map and active-mode-port lines: every optional field stays off.
  const Config plain = Read("map m 1\nactive-mode-port 2\n").config;
  EXPECT_FALSE(plain.session_log);
  EXPECT_EQ(plain.status_port + plain.keepalive_seconds + plain.handshake_timeout_seconds, 0);
}

TEST(NextToken, SplitsOnTheSixWhitespaceBytesOnly) {
  const char line[] = " \t\v\f\r a\"b\x80 c\n";
  const char* cursor = line;
  EXPECT_EQ(next_token(cursor), "a\"b\x80");
  EXPECT_EQ(next_token(cursor), "c");
  EXPECT_EQ(next_token(cursor), "");
  EXPECT_EQ(*cursor, 0);
}

TEST(LoadConfig, LogsEachMessageAndAFileThatCannotBeOpenedWithTheSystemsReason) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("orv-config-" + std::to_string(std::rand()));
  std::filesystem::create_directories(folder);
  const std::string saved = data_folder();
  set_data_folder(folder.string());
  const std::string path = (folder / "orv.conf").string();
  std::ofstream(path, std::ios::binary) << "map a 1\nmap a 2\n";
  Config config;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(load_config(config, path));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" " + path + ":2:\tAlready used identifier 'a'\n"), std::string::npos) << log;
  const struct {
    std::string path, reason;  // an empty reason: the system's own text varies
  } cases[] = {{(folder / "missing.conf").string(), "No such file or directory"},
               {(folder / "none" / "orv.conf").string(), "No such file or directory"},
               {folder.string(), ""}};
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(load_config(config, c.path)) << c.path;
    log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(" " + c.path + ": " + c.reason), std::string::npos) << log;
  }
  set_data_folder(saved);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace orv
