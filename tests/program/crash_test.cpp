// A deliberate fault in a program with the crash handler: the dump and the log line.
#include "tests/program/program.h"

namespace orv_test {
namespace {

namespace fs = std::filesystem;

// The fault leaves a dump and says so in the log; a dump that cannot be written is not claimed.
TEST_F(ProgramTest, FaultLeavesADumpAndSaysSoOrSaysWhyNot) {
  const bool wine = under_wine();
  const fs::path dump =
      wine ? fs::path(environment("WINEPREFIX")) / "drive_c/orv.dmp" : fs::path("/var/tmp/orv.dmp");
  const std::string named = wine ? "c:\\orv.dmp" : "/var/tmp/orv.dmp";
  const std::string line = std::string("Exception with code ") + (wine ? "c0000005" : "000b");
  for (const bool writable : {true, false}) {
    fs::remove_all(dump);
    fs::remove(out / "orv.log");
    if (!writable) fs::create_directories(dump);  // a folder in the way of the file
    // The tool logs into the folder it is given; Wine's drive Z: is the Unix root.
    Child crashed =
        spawn_child({environment("ORV_TOOLS_DIR") + (wine ? "/crash_tool.exe" : "/crash_tool"),
                     (wine ? "Z:" : "") + out.string()},
                    {}, out.string());
    const int code = wait_child(crashed, kStartMs);
    EXPECT_TRUE(code != 0 && code != -1 && code != 127) << code << " (-1: it hung)";
    EXPECT_NE(read_text((out / "orv.log").string())
                  .find(line + (writable ? " captured to " : ", no dump written to ") + named +
                        (writable ? "" : " (error ")),
              std::string::npos)
        << read_text((out / "orv.log").string());
    EXPECT_EQ(fs::is_regular_file(dump) && fs::file_size(dump) > 0, writable);
    EXPECT_TRUE(!writable || wine || read_text(dump.string()).find("signal 11") != line.npos);
  }
  fs::remove_all(dump);
}

}  // namespace
}  // namespace orv_test
