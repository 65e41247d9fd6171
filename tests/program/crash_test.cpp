// A deliberate fault in a program with the crash handler: the dump and the log line.
#include "tests/program/program.h"

namespace orv_test {
namespace {

namespace fs = std::filesystem;

// The fault leaves a dump and says so in the log; a dump that cannot be written is not claimed.
TEST_F(ProgramTest, FaultLeavesADumpAndSaysSoOrSaysWhyNot) {
  const std::string tools =
      std::getenv("ORV_TOOLS_DIR") != nullptr ? std::getenv("ORV_TOOLS_DIR") : "";
  ASSERT_FALSE(tools.empty()) << "ORV_TOOLS_DIR is not set";
  const bool wine = under_wine();
  const fs::path dump =
      wine ? fs::path(std::getenv("WINEPREFIX")) / "drive_c/orv.dmp" : "/var/tmp/orv.dmp";
  const std::string dump_text = wine ? "c:\\orv.dmp" : "/var/tmp/orv.dmp";
  const std::string line = std::string("Exception with code ") + (wine ? "c0000005" : "000b");
  for (const bool writable : {true, false}) {
    fs::remove_all(dump);
    fs::remove(out / "orv.log");
    if (!writable) fs::create_directories(dump);  // a folder in the way of the file
    // Wine's drive Z: is the Unix root.
    Child crashed = spawn_child(
        {tools + (wine ? "/crash_tool.exe" : "/crash_tool"), (wine ? "Z:" : "") + out.string()}, {},
        out.string());
    const int code = wait_child(crashed, kStartMs);
    EXPECT_TRUE(code != 0 && code != -1) << code << " (-1: the faulting program hung)";
    const std::string log = read_text((out / "orv.log").string());
    EXPECT_NE(log.find(writable ? line + " captured to " + dump_text
                                : line + ", no dump written to " + dump_text + " (error "),
              std::string::npos)
        << log;
    EXPECT_EQ(fs::is_regular_file(dump) && fs::file_size(dump) > 0, writable);
    if (writable && !wine) {
      EXPECT_NE(read_text(dump.string()).find("signal 11"), std::string::npos);
    }
  }
  fs::remove_all(dump);
}

}  // namespace
}  // namespace orv_test
