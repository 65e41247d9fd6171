// The Windows service under Wine: registration, start through the service manager, a relayed
// pair, stop, and a start that fails.
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/program/program.h"

namespace orv_test {
namespace {

const std::string kServiceKey = "HKLM\\System\\CurrentControlSet\\Services\\ORV";
const std::string kEventSourceKey =
    "HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application\\ORV";

struct WindowsService : ProgramTest {
  int exit_code = -1;  // of the latest command
  void SetUp() override {
    if (!under_wine()) GTEST_SKIP() << "the Windows service manager runs under Wine";
    ProgramTest::SetUp();
    command({"reg", "delete", kEventSourceKey, "/f"});  // install must write it
  }
  void TearDown() override {
    if (!under_wine()) return;
    // A service left installed would start with every later Wine session.
    command({"sc", "stop", "ORV"});
    command({"sc", "delete", "ORV"});
    command({"reg", "delete", kEventSourceKey, "/f"});
    ProgramTest::TearDown();
  }
  // Runs a Wine command; its output, stdout then stderr. Its exit code goes to exit_code.
  std::string command(const std::vector<std::string>& argv) {
    Child child = spawn_child(argv, {}, out.string());
    exit_code = wait_child(child, 60000);
    return read_text(child.out_path) + read_text(child.err_path);
  }
  // Queries the service until it is stopped; the last answer.
  std::string wait_until_stopped() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string status;
    while ((status = command({"sc", "query", "ORV"})).find(": 1  STOPPED") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // sc query is the only event
    }
    return status;
  }
};

TEST_F(WindowsService, InstallsOnceRunsUnderTheManagerStopsAndReportsAFailedStart) {
  EXPECT_NE(command({program_path(), "install"}).find("Service installed successfully"),
            std::string::npos);
  EXPECT_EQ(exit_code, 0);
  EXPECT_NE(command({program_path(), "INSTALL"}).find("CreateService failed (1073)"),
            std::string::npos);
  EXPECT_EQ(exit_code, 1);
  // The image path is quoted, so a space in it cannot start another program. Wine's service
  // manager keeps no recovery actions, so nothing here can show them.
  const std::string values =
      command({"reg", "query", kServiceKey}) + command({"reg", "query", kEventSourceKey});
  for (const char* line :
       {"Start    REG_DWORD    0x2\r\n", "Type    REG_DWORD    0x10\r\n",
        "ObjectName    REG_SZ    LocalSystem", "ImagePath    REG_SZ    \"",
        "Description    REG_SZ    TCP rendezvous relay", "EventMessageFile    REG_EXPAND_SZ    ",
        "orv.exe\r\n", "TypesSupported    REG_DWORD    0x7\r\n"})
    EXPECT_NE(values.find(line), std::string::npos) << line << "\n" << values;
  // What the event viewer makes of an entry, through the registered message file.
  const std::string entry = "orv_start() failed, the reason is in C:\\ProgramData\\orv\\orv.log";
  EXPECT_EQ(command({std::string(std::getenv("ORV_TOOLS_DIR")) + "/event_text_tool.exe", entry}),
            entry);

  write_config();
  command({"sc", "start", "ORV"});
  ASSERT_TRUE(wait_for_log("Started 1.0")) << log();
  EXPECT_NE(command({"sc", "query", "ORV"}).find("RUNNING"), std::string::npos);
  const int device = connect_to(device_port), client = connect_to(client_port);
  ASSERT_TRUE(send_all(device, "tcp-active-mode:1\nid:'meter-1'\n") && send_all(client, "request"));
  EXPECT_EQ(receive(device, 7), "request");
  close(device);
  close(client);
  command({"sc", "stop", "ORV"});
  EXPECT_TRUE(wait_for_log("Stopped")) << log();
  std::string status = wait_until_stopped();
  EXPECT_NE(status.find("WIN32_EXIT_CODE    : 0  (0x0)"), std::string::npos) << status;

  // Without its configuration the start fails: the manager is told, with a code of our own.
  std::filesystem::remove(data / "orv.conf");
  command({"sc", "start", "ORV"});
  ASSERT_TRUE(wait_for_log("orv_start() failed")) << log();
  status = wait_until_stopped();
  for (const char* line : {"WIN32_EXIT_CODE    : 1066  (0x42a)", "SERVICE_EXIT_CODE  : 1  (0x1)"})
    EXPECT_NE(status.find(line), std::string::npos) << line << "\n" << status;
}

}  // namespace
}  // namespace orv_test
