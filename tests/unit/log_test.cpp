// The log: line shape, rotation at the threshold, a missing data folder.
#include "diag/escape.h"
#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

std::string log_quietly(const std::string& text) {
  return stderr_of([&] { log_message(kSeverityNotice, "%s", text.c_str()); });
}

// A line is its timestamp, the text and the given end; a short buffer cuts it, never overruns.
TEST(Log, LineHasTheTimestampShapeAndIsCutNeverOverrun) {
  set_data_folder((fs::temp_directory_path() / "orv-no-such-folder").string());  // stderr only
  char line[64];
  const LogTime time{2026, 3, 7, 9, 5, 2, 41};
  EXPECT_EQ(format_log_line(line, sizeof line, time, "text", "\r\n"), 30u);
  EXPECT_STREQ(line, "2026-03-07 09:05:02.041 text\r\n");
  EXPECT_EQ(format_log_line(line, 10, time, "text", "\n"), 9u);  // cut, the rest left alone
  EXPECT_EQ(std::string(line, 30), std::string("2026-03-0\0 09:05:02.041 text\r\n", 30));
  EXPECT_EQ(log_quietly(std::string(20000, 'x')).find('\n'), 24 + (kLogMessageBytes - 1));
}

// Only a log over 1,000,000 bytes moves to orv.log.1; without its folder it still reaches stderr.
TEST(Log, RotatesOnlyBeyondTheThresholdAndLivesWithoutItsFolder) {
  const fs::path folder = fs::temp_directory_path() / ("orv-log-" + std::to_string(std::rand()));
  set_data_folder(folder.string());
  // The log's size before a 30-byte line, and the sizes of both files after it.
  const std::uintmax_t rows[][3] = {{1000000, 1000030, 5}, {1000001, 30, 1000001}};
  for (const auto& [before, log, older] : rows) {
    fs::create_directories(folder);
    std::ofstream(folder / "orv.log.1", std::ios::binary) << "older";
    std::ofstream(folder / "orv.log", std::ios::binary) << std::string(before, 'a');
    log_quietly("next");
    EXPECT_EQ(fs::file_size(folder / "orv.log"), log) << before;
    EXPECT_EQ(fs::file_size(folder / "orv.log.1"), older) << before;
    fs::remove_all(folder);
  }
  const std::string console = log_quietly("lost"), reason = ": No such file or directory\n";
  EXPECT_TRUE(console.ends_with(" lost\n" + data_file_path("orv.log") + reason)) << console;
}

// Rows: bytes a peer or orv.conf chose, as the log and the status page show them.
TEST(Log, ShowsForeignBytesSoNoneCanActOnAViewer) {
  const std::pair<std::string, std::string> rows[] = {
      {"meter-1 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9f",
       "meter-1 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9f"},
      {"a\rb\\c\x1b[2J\x7f", "a\\x0db\\\\c\\x1b[2J\\x7f"},
      {"\x9b"
       "31m \xc2\x9b"
       "31m \xc2\xa0",
       "\\x9b31m \\xc2\\x9b31m \xc2\xa0"},  // C1, raw and encoded
      {"\xe2\x80\xae"
       "exe.txt \xe2\x81\xa6 \xd8\x9c \xe2\x80\x8f \xe2\x80\xa8",
       "\\xe2\\x80\\xaeexe.txt \\xe2\\x81\\xa6 \\xd8\\x9c \\xe2\\x80\\x8f \\xe2\\x80\\xa8"},
      {"\xff\xc3 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82",  // cut, overlong, beyond
       "\\xff\\xc3 \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x82"},
  };
  for (const auto& [bytes, shown] : rows) EXPECT_EQ(shown_text(bytes), shown) << shown;
  EXPECT_EQ(shown_text(std::string(100, '\x9b')).size(), kShownBytesPerByte * 100);
}

}  // namespace
}  // namespace orv
