// The Windows service under Wine: registration, start through the service manager, stop, and a
// start that fails.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/program/program.h"

namespace orv_test {
namespace {

namespace fs = std::filesystem;
const std::string kServiceKey = "HKLM\\System\\CurrentControlSet\\Services\\ORV";
const std::string kEventSourceKey =
    "HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application\\ORV";

struct WindowsService : ::testing::Test {
  fs::path out, data;
  int exit_code = -1;  // of the latest command
  void SetUp() override {
    if (!under_wine()) GTEST_SKIP() << "the Windows service manager runs under Wine";
    out = fs::temp_directory_path() / ("orv-service-" + std::to_string(getpid()));
    fs::create_directories(out);
    data = fs::path(std::getenv("WINEPREFIX")) / "drive_c" / "ProgramData" / "orv";
    fs::create_directories(data);
    std::ofstream(data / "orv.conf", std::ios::binary) << "active-mode-port 2900\nmap m 2901\n";
    fs::remove(data / "orv.log");
    command({"reg", "delete", kEventSourceKey, "/f"});  // install must write it
  }
  void TearDown() override {
    if (!under_wine()) return;
    // A service left installed would start with every later Wine session.
    command({"sc", "stop", "ORV"});
    command({"sc", "delete", "ORV"});
    command({"reg", "delete", kEventSourceKey, "/f"});
    fs::remove_all(out);
    fs::remove_all(data);
  }
  // Runs a Wine command; its output, stdout then stderr. Its exit code goes to exit_code.
  std::string command(const std::vector<std::string>& argv) {
    Child child = spawn_child(argv, {}, out.string());
    exit_code = wait_child(child, 60000);
    return read_text(child.out_path) + read_text(child.err_path);
  }
  // Queries the service until its state is `state`; the last answer.
  std::string wait_for_state(const std::string& state) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string status;
    do {
      status = command({"sc", "query", "ORV"});
      if (status.find(": " + state) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // sc query is the only event
    } while (std::chrono::steady_clock::now() < deadline);
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
  // The image path is quoted, so a space in it cannot start another program. The recovery
  // actions are not kept by Wine's service manager, so nothing here can show them.
  const std::string service = command({"reg", "query", kServiceKey});
  const std::string source = command({"reg", "query", kEventSourceKey});
  struct Value {
    const std::string* values;
    const char* line;
  };
  for (Value value : {Value{&service, "Start    REG_DWORD    0x2\r\n"},
                      Value{&service, "Type    REG_DWORD    0x10\r\n"},
                      Value{&service, "ObjectName    REG_SZ    LocalSystem"},
                      Value{&service, "ImagePath    REG_SZ    \""},
                      Value{&service, "Description    REG_SZ    TCP rendezvous relay"},
                      Value{&source, "EventMessageFile    REG_EXPAND_SZ    "},
                      Value{&source, "orv.exe\r\n"},
                      Value{&source, "TypesSupported    REG_DWORD    0x7\r\n"}}) {
    EXPECT_NE(value.values->find(value.line), std::string::npos) << value.line << "\n"
                                                                 << *value.values;
  }
  // What the event viewer makes of an entry, through the registered message file.
  const char* tools = std::getenv("ORV_TOOLS_DIR");
  ASSERT_NE(tools, nullptr);
  const std::string entry = "orv_start() failed, the reason is in C:\\ProgramData\\orv\\orv.log";
  EXPECT_EQ(command({std::string(tools) + "/event_text_tool.exe", entry}), entry);

  command({"sc", "start", "ORV"});
  ASSERT_TRUE(wait_for_text((data / "orv.log").string(), "Started 1.0", 30000))
      << read_text((data / "orv.log").string());
  EXPECT_NE(command({"sc", "query", "ORV"}).find("RUNNING"), std::string::npos);
  const int device = connect_to(2900), client = connect_to(2901);
  ASSERT_GE(device, 0);
  ASSERT_GE(client, 0);
  // Whoever comes first waits; what the client sends reaches the device either way.
  const std::string handshake = "tcp-active-mode:1\nid:'m'\n";
  ASSERT_EQ(send(device, handshake.data(), handshake.size(), 0),
            static_cast<ssize_t>(handshake.size()));
  ASSERT_EQ(send(client, "request", 7, 0), 7);
  EXPECT_EQ(receive(device, 7), "request");
  close(device);
  close(client);
  command({"sc", "stop", "ORV"});
  EXPECT_TRUE(wait_for_text((data / "orv.log").string(), "Stopped", 30000))
      << read_text((data / "orv.log").string());
  std::string status = wait_for_state("1  STOPPED");
  EXPECT_NE(status.find("WIN32_EXIT_CODE    : 0  (0x0)"), std::string::npos) << status;

  // Without its configuration the start fails: the manager is told, with a code of our own.
  fs::remove(data / "orv.conf");
  command({"sc", "start", "ORV"});
  ASSERT_TRUE(wait_for_text((data / "orv.log").string(), "orv_start() failed", 30000))
      << read_text((data / "orv.log").string());
  status = wait_for_state("1  STOPPED");
  for (const char* line : {"WIN32_EXIT_CODE    : 1066  (0x42a)", "SERVICE_EXIT_CODE  : 1  (0x1)"}) {
    EXPECT_NE(status.find(line), std::string::npos) << line << "\n" << status;
  }
}

}  // namespace
}  // namespace orv_test
