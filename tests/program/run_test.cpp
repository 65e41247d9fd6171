// The real program as a child process: run modes, stop signals, relaying, the service dispatch.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/program/program.h"

namespace orv_test {
namespace {

namespace fs = std::filesystem;
constexpr int kStartMs = 30000;  // a first Wine start can take seconds

struct Program : ::testing::Test {
  fs::path data, out;
  int device_port = 0, client_port = 0;
  std::vector<std::string> env;
  Child child;

  void SetUp() override {
    ASSERT_FALSE(program_path().empty()) << "ORV_PROGRAM is not set";
    out = fs::temp_directory_path() / ("orv-program-" + std::to_string(getpid()));
    fs::remove_all(out);
    fs::create_directories(out);
    if (under_wine()) {
      const char* prefix = std::getenv("WINEPREFIX");
      ASSERT_NE(prefix, nullptr) << "WINEPREFIX is not set";
      data = fs::path(prefix) / "drive_c" / "ProgramData" / "orv";
    } else {
      data = out / "data";
      env.push_back("STATE_DIRECTORY=" + data.string());
    }
    fs::remove_all(data);
    fs::create_directories(data);
  }
  void TearDown() override {
    if (child.pid > 0) wait_child(child, 0);
    fs::remove_all(out);
    fs::remove_all(data);
  }
  void write_config() {
    device_port = free_port();
    client_port = free_port();
    std::ofstream file(data / "orv.conf", std::ios::binary);
    file << "active-mode-port " << device_port << "\nmap meter-1 " << client_port << "\n";
  }
  std::string log() { return read_text((data / "orv.log").string()); }
  void start(std::vector<std::string> args) {
    args.insert(args.begin(), program_path());
    child = spawn_child(args, env, out.string());
    ASSERT_GT(child.pid, 0);
  }
  // Stops a running console relay as Ctrl+C does and checks its last words.
  void interrupt_and_expect_clean_stop() {
    signal_child(child, SIGINT);
    EXPECT_EQ(wait_child(child, kStartMs), 0);
    EXPECT_NE(log().find("Stopped"), std::string::npos) << log();
  }
};

TEST_F(Program, RunInAnyLetterCaseAndWithExtraArgumentsStopsCleanlyOnInterrupt) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"run"}, {"RUN"}, {"rUn", "extra", "words"}}) {
    write_config();
    fs::remove(data / "orv.log");
    start(args);
    ASSERT_TRUE(wait_for_text((data / "orv.log").string(), "Started 1.0", kStartMs))
        << args[0] << ": " << log() << read_text(child.err_path);
    interrupt_and_expect_clean_stop();
  }
}

TEST_F(Program, MissingConfigurationFailsTheStartWithItsReason) {
  start({"run"});
  EXPECT_EQ(wait_child(child, kStartMs), 0);
  const std::string text = log();
  EXPECT_NE(text.find("orv.conf: No such file or directory"), std::string::npos) << text;
  EXPECT_NE(text.find("orv_start() failed"), std::string::npos) << text;
  EXPECT_EQ(text.find("Started 1.0"), std::string::npos) << text;
}

TEST_F(Program, RelaysADeviceAndAClient) {
  write_config();
  start({"run"});
  ASSERT_TRUE(wait_for_text((data / "orv.log").string(), "Started 1.0", kStartMs));
  int device = connect_to(device_port);
  ASSERT_GE(device, 0);
  const std::string handshake = "tcp-active-mode:1\nid:'meter-1'\n";
  ASSERT_EQ(send(device, handshake.data(), handshake.size(), 0),
            static_cast<ssize_t>(handshake.size()));
  int client = connect_to(client_port);
  ASSERT_GE(client, 0);
  ASSERT_EQ(send(client, "request", 7, 0), 7);
  EXPECT_EQ(receive(device, 7), "request");
  ASSERT_EQ(send(device, "reply", 5, 0), 5);
  EXPECT_EQ(receive(client, 5), "reply");
  close(device);
  close(client);
  interrupt_and_expect_clean_stop();
}

TEST_F(Program, WithoutServiceManagerPrintsNothingAndReportsTheFailure) {
  if (under_wine()) env.push_back("WINEDEBUG=err+eventlog");
  start({});
  EXPECT_EQ(wait_child(child, kStartMs), 0);
  EXPECT_EQ(read_text(child.out_path), "");
  if (under_wine()) {
    EXPECT_NE(read_text(child.err_path).find("StartServiceCtrlDispatcher failed with 1063"),
              std::string::npos)
        << read_text(child.err_path);
  }
}

TEST_F(Program, NotifyServiceReportsItsStatesAndStopsOnSigterm) {
  if (under_wine()) GTEST_SKIP() << "systemd notify is the Linux service";
  write_config();
  const fs::path socket_path = out / "notify";
  int listener = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  env.push_back("NOTIFY_SOCKET=" + socket_path.string());
  start({});
  auto next_message = [&] {
    pollfd entry{listener, POLLIN, 0};
    if (poll(&entry, 1, kStartMs) < 1) return std::string("(none)");
    char buffer[256];
    ssize_t n = recv(listener, buffer, sizeof buffer, 0);
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  };
  EXPECT_EQ(next_message(), "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(next_message(), "READY=1");
  signal_child(child, SIGTERM);
  EXPECT_EQ(next_message(), "STOPPING=1");
  EXPECT_EQ(next_message(), "STATUS=Stopped");
  EXPECT_EQ(wait_child(child, kStartMs), 0);
  EXPECT_NE(log().find("Stopped"), std::string::npos);
  close(listener);
}

}  // namespace
}  // namespace orv_test
