// The Windows service under Wine: registration, start through the service manager, stop.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/program/program.h"

namespace orv_test {
namespace {

namespace fs = std::filesystem;

struct WindowsService : ::testing::Test {
  fs::path out, data;
  void SetUp() override {
    if (!under_wine()) GTEST_SKIP() << "the Windows service manager runs under Wine";
    out = fs::temp_directory_path() / ("orv-service-" + std::to_string(getpid()));
    fs::create_directories(out);
    data = fs::path(std::getenv("WINEPREFIX")) / "drive_c" / "ProgramData" / "orv";
    fs::create_directories(data);
    std::ofstream(data / "orv.conf", std::ios::binary) << "active-mode-port 2900\nmap m 2901\n";
    fs::remove(data / "orv.log");
  }
  void TearDown() override {
    if (!under_wine()) return;
    // A service left installed would start with every later Wine session.
    command({"sc", "stop", "ORV"});
    command({"sc", "delete", "ORV"});
    fs::remove_all(out);
    fs::remove_all(data);
  }
  // Runs a Wine command; its output, stdout then stderr.
  std::string command(const std::vector<std::string>& argv) {
    Child child = spawn_child(argv, {}, out.string());
    wait_child(child, 60000);
    return read_text(child.out_path) + read_text(child.err_path);
  }
};

TEST_F(WindowsService, InstallsOnceRunsUnderTheManagerAndStops) {
  EXPECT_NE(command({program_path(), "install"}).find("Service installed successfully"),
            std::string::npos);
  EXPECT_NE(command({program_path(), "INSTALL"}).find("CreateService failed (1073)"),
            std::string::npos);
  const std::string values =
      command({"reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\ORV"});
  // The image path is quoted, so a space in it cannot start another program.
  for (const char* value : {"Start    REG_DWORD    0x2\r\n", "Type    REG_DWORD    0x10\r\n",
                            "ObjectName    REG_SZ    LocalSystem", "ImagePath    REG_SZ    \""}) {
    EXPECT_NE(values.find(value), std::string::npos) << value << "\n" << values;
  }

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
}

}  // namespace
}  // namespace orv_test
