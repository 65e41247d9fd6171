// The log: line shape, rotation at the threshold, a missing data folder.
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

}  // namespace
}  // namespace orv
