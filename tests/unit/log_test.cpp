// The log: line shape, the file's CR LF, rotation at the threshold, a missing data folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "diag/log.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

struct Log : ::testing::Test {
  fs::path folder;
  std::string saved_folder;
  void SetUp() override {
    saved_folder = data_folder();
    folder = fs::temp_directory_path() /
             ("orv-log-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::create_directories(folder);
    set_data_folder(folder.string());
  }
  void TearDown() override {
    set_data_folder(saved_folder);
    fs::remove_all(folder);
  }
  std::string log_quietly(const char* text) {
    testing::internal::CaptureStderr();
    log_message(kSeverityNotice, "%s", text);
    return testing::internal::GetCapturedStderr();
  }
};

TEST(LogLine, HasTheTimestampShapeAndTheGivenEnd) {
  char line[64];
  const LogTime time{2026, 3, 7, 9, 5, 2, 41};
  EXPECT_EQ(format_log_line(line, sizeof line, time, "text", "\r\n"), 30u);
  EXPECT_STREQ(line, "2026-03-07 09:05:02.041 text\r\n");
  EXPECT_EQ(format_log_line(line, 10, time, "text", "\n"), 9u);  // cut, never overrun
  EXPECT_STREQ(line, "2026-03-0");
}

TEST_F(Log, WritesTheSameLineToStderrAndWithCrLfToTheFile) {
  const std::string console = log_quietly("hello");
  const std::string file = read_file(folder / "orv.log");
  ASSERT_GE(console.size(), 30u);
  EXPECT_EQ(console.substr(23), " hello\n");
  EXPECT_EQ(file, console.substr(0, console.size() - 1) + "\r\n");
  for (int severity : {kSeverityFailure, kSeverityNotice}) {
    testing::internal::CaptureStderr();
    log_message(severity, "n=%d", 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr().substr(23), " n=5\n");
  }
}

TEST_F(Log, RotatesOnlyBeyondTheThreshold) {
  for (long size : {kLogRotateBytes, kLogRotateBytes + 1}) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(folder / "orv.log.1", std::ios::binary) << "older";
    std::ofstream(folder / "orv.log", std::ios::binary)
        << std::string(static_cast<std::size_t>(size), 'a');
    log_quietly("next");
    const std::string log = read_file(folder / "orv.log");
    if (size == kLogRotateBytes) {
      EXPECT_EQ(log.size(), static_cast<std::size_t>(size) + 30);
      EXPECT_EQ(read_file(folder / "orv.log.1"), "older");
    } else {
      EXPECT_EQ(log.size(), 30u);  // the new log starts with this line
      EXPECT_EQ(fs::file_size(folder / "orv.log.1"), static_cast<std::uintmax_t>(size));
    }
  }
}

TEST_F(Log, MissingFolderGivesTheConsoleLineAndTheReason) {
  set_data_folder((folder / "absent").string());
  const std::string console = log_quietly("lost");
  EXPECT_NE(console.find(" lost\n"), std::string::npos);
  EXPECT_NE(console.find(data_file_path("orv.log") + ": No such file or directory\n"),
            std::string::npos)
      << console;
  EXPECT_FALSE(fs::exists(folder / "absent"));
}

TEST_F(Log, LongMessageIsCutWithinItsBuffer) {
  const std::string huge(20000, 'x');
  const std::string console = log_quietly(huge.c_str());
  EXPECT_EQ(console.size(), 24 + (kLogMessageBytes - 1) + 1);
}

}  // namespace
}  // namespace orv
