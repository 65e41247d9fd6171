// The configuration reader: line forms, messages with line numbers, ports, long lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "config/config.h"
#include "diag/log.h"

namespace orv {
namespace {

struct Config : ::testing::Test {
  RelayState state;
  std::filesystem::path folder;
  std::string path, log, saved_folder;
  void SetUp() override {
    saved_folder = data_folder();
    folder = std::filesystem::temp_directory_path() /
             ("orv-config-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(folder);
    set_data_folder(folder.string());
    path = (folder / "orv.conf").string();
  }
  void TearDown() override {
    set_data_folder(saved_folder);
    std::filesystem::remove_all(folder);
  }
  bool load(const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    testing::internal::CaptureStderr();
    bool loaded = load_config(state, path);
    log = testing::internal::GetCapturedStderr();
    return loaded;
  }
  void expect_mappings(std::vector<std::pair<std::string, int>> expected) {
    ASSERT_EQ(state.mappings.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(state.mappings[i].identifier, expected[i].first);
      EXPECT_EQ(state.mappings[i].port, expected[i].second);
    }
  }
  std::size_t messages() const {
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
  }
  bool logged(const std::string& text) const { return log.find(text) != std::string::npos; }
};

const char kExample[] =
    "\n# site A\nactive-mode-port 900\nmap meter-1 901\nmap meter-2\t902 trailing\n"
    "map meter-1 903\nmap meter-3\nmap meter-4 65536\nMap meter-5 904\n";

TEST_F(Config, ReadsTheExampleWithItsMessagesAndLineNumbers) {
  for (bool crlf : {false, true}) {
    state.mappings.clear();
    std::string text = kExample;
    if (crlf) {
      for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2))
        text.insert(at, "\r");
    }
    ASSERT_TRUE(load(text));
    EXPECT_EQ(state.active_mode_port, 900);
    expect_mappings({{"meter-1", 901}, {"meter-2", 902}});
    EXPECT_EQ(messages(), 3u) << log;
    EXPECT_TRUE(logged(path + ":6:\tAlready used identifier 'meter-1'\n")) << log;
    // Rejected lines are echoed without their CR LF.
    EXPECT_TRUE(logged(path + ":7: 'map meter-3'\n")) << log;
    EXPECT_TRUE(logged(path + ":8: 'map meter-4 65536'\n")) << log;
  }
}

TEST(ConvertPort, TakesSignAndLeadingDigitsAndSaturates) {
  const struct {
    const char* token;
    int value;
  } cases[] = {{"65535", 65535}, {"65536", 65536}, {"0", 0},         {"80abc", 80},
               {"+80", 80},      {"abc", 0},       {"-1", -1},       {"", 0},
               {"99999999999999999999", 2147483647}, {"-99999999999999999999", -2147483647 - 1}};
  for (const auto& c : cases) EXPECT_EQ(convert_port(c.token), c.value) << c.token;
}

TEST_F(Config, AcceptsOnlyPortsFromOneTo65535) {
  ASSERT_TRUE(load("active-mode-port 1\nactive-mode-port 65535\nactive-mode-port 0\n"
                   "map a 80abc\nmap b abc\nmap c -1\nmap d 99999999999999999999\nmap e +81\n"));
  EXPECT_EQ(state.active_mode_port, 65535);  // the last valid line wins
  expect_mappings({{"a", 80}, {"e", 81}});
  EXPECT_EQ(messages(), 4u) << log;
}

TEST_F(Config, KeywordsAndIdentifiersAreExactAndCaseSensitive) {
  ASSERT_TRUE(load("MAP x 1\nmapx y 2\n  \t map Meter 3 extra words\nmap meter 4\n"
                   "map meter 5\n"));
  expect_mappings({{"Meter", 3}, {"meter", 4}});
  EXPECT_TRUE(logged(path + ":5:\tAlready used identifier 'meter'")) << log;
  EXPECT_EQ(messages(), 1u);
}

TEST_F(Config, LongLineIsReadIn249BytePiecesThatCountAsLines) {
  // 300 bytes before the LF: the first 249 end inside the port, the last 51 bytes form line 2,
  // so "map late" below is line 3.
  std::string line = "map " + std::string(240, 'x') + " 12345" + std::string(49, ' ') + "9";
  ASSERT_EQ(line.size(), 300u);
  ASSERT_TRUE(load(line + "\nmap late 0\n"));
  expect_mappings({{std::string(240, 'x'), 1234}});
  EXPECT_TRUE(logged(path + ":3: 'map late 0'")) << log;
}

TEST_F(Config, NulEndsTheLinesText) {
  ASSERT_TRUE(load(std::string("map a 70\0junk", 13) + "\nmap b\0 71\n"));
  expect_mappings({{"a", 70}});
  EXPECT_TRUE(logged(path + ":2: 'map b'")) << log;
}

TEST_F(Config, FileThatCannotBeOpenedGivesTheSystemsReason) {
  const struct {
    std::string path, reason;  // an empty reason: the system's own text varies
  } cases[] = {{(folder / "missing.conf").string(), "No such file or directory"},
               {(folder / "none" / "orv.conf").string(), "No such file or directory"},
               {folder.string(), ""}};
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(load_config(state, c.path)) << c.path;
    log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(logged(" " + c.path + ": " + c.reason)) << log;
    EXPECT_TRUE(state.mappings.empty());
  }
}

TEST(NextToken, SplitsOnTheSixWhitespaceBytesOnly) {
  const char line[] = " \t\v\f\r a\"b\x80 c\n";
  const char* cursor = line;
  EXPECT_EQ(next_token(cursor), "a\"b\x80");
  EXPECT_EQ(next_token(cursor), "c");
  EXPECT_EQ(next_token(cursor), "");
  EXPECT_EQ(*cursor, 0);
  EXPECT_EQ(next_token(cursor), "");
}

}  // namespace
}  // namespace orv
