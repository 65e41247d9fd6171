// A deliberate fault in a program with the crash handler: the dump and the log line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/program/program.h"

namespace orv_test {
namespace {

namespace fs = std::filesystem;

struct Crash : ::testing::Test {
  fs::path work, dump;
  std::string tool, folder_argument, expected_code, dump_text;
  void SetUp() override {
    const char* tools = std::getenv("ORV_TOOLS_DIR");
    ASSERT_NE(tools, nullptr) << "ORV_TOOLS_DIR is not set";
    work = fs::temp_directory_path() / ("orv-crash-" + std::to_string(getpid()));
    fs::remove_all(work);
    fs::create_directories(work);
    if (under_wine()) {
      tool = std::string(tools) + "/crash_tool.exe";
      dump = fs::path(std::getenv("WINEPREFIX")) / "drive_c" / "orv.dmp";
      folder_argument = "Z:" + work.string();  // Wine's drive for the Unix root
      expected_code = "c0000005";
      dump_text = "c:\\orv.dmp";
    } else {
      tool = std::string(tools) + "/crash_tool";
      dump = "/var/tmp/orv.dmp";
      folder_argument = work.string();
      expected_code = "000b";
      dump_text = "/var/tmp/orv.dmp";
    }
    fs::remove_all(dump);
  }
  void TearDown() override {
    fs::remove_all(work);
    fs::remove_all(dump);
  }
  std::string crash() {
    Child child = spawn_child({tool, folder_argument}, {}, work.string());
    int code = wait_child(child, 30000);
    EXPECT_NE(code, 0);
    EXPECT_NE(code, -1) << "the faulting program hung";
    return read_text((work / "orv.log").string());
  }
};

TEST_F(Crash, FaultLeavesADumpAndSaysSo) {
  const std::string log = crash();
  EXPECT_NE(log.find("Exception with code " + expected_code + " captured to " + dump_text),
            std::string::npos)
      << log;
  ASSERT_TRUE(fs::is_regular_file(dump));
  EXPECT_GT(fs::file_size(dump), 0u);
  if (!under_wine()) {
    EXPECT_NE(read_text(dump.string()).find("signal 11"), std::string::npos);
  }
}

TEST_F(Crash, DumpThatCannotBeWrittenIsNotClaimed) {
  fs::create_directories(dump);  // a folder in the way of the file
  const std::string log = crash();
  EXPECT_EQ(log.find("captured to"), std::string::npos) << log;
  EXPECT_NE(log.find("Exception with code " + expected_code + ", no dump written to " +
                     dump_text + " (error "),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace orv_test
