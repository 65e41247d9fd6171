// The real program as a child process: run modes, stop signals, relaying, the service dispatch.
#include <arpa/inet.h>
#include <fcntl.h>
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
const std::string kHandshake = "tcp-active-mode:1\nid:'meter-1'\n";

// True when the peer ends its stream within five seconds without sending a byte.
bool ends_without_data(int s) {
  pollfd entry{s, POLLIN, 0};
  if (poll(&entry, 1, 5000) != 1) return false;
  char byte;
  return recv(s, &byte, 1, 0) == 0;
}

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
  void write_config(const fs::path& folder = {}) {
    device_port = free_port();
    client_port = free_port();
    std::ofstream file((folder.empty() ? data : folder) / "orv.conf", std::ios::binary);
    file << "active-mode-port " << device_port << "\nmap meter-1 " << client_port << "\n";
  }
  std::string log() { return read_text((data / "orv.log").string()); }
  void start(std::vector<std::string> args, const ChildStreams& streams = {}) {
    args.insert(args.begin(), program_path());
    child = spawn_child(args, env, out.string(), streams);
    ASSERT_GT(child.pid, 0);
  }
  // Where the program says its files are: as it prints them.
  std::string data_file(const char* name) {
    return under_wine() ? std::string("C:\\ProgramData\\orv\\") + name : (data / name).string();
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

TEST_F(Program, FailedStartExitsWithCodeOneAndItsReason) {
  struct Case {
    const char* name;
    bool write_config, hold_active_mode_port;
    std::string reason;
  };
  for (Case c : {Case{"missing configuration", false, false, "orv.conf: No such file or directory"},
                 Case{"active-mode port taken", true, true, "TCP listen\ton port\t"}}) {
    fs::remove(data / "orv.conf");
    fs::remove(data / "orv.log");
    if (c.write_config) write_config();
    int holder = -1;
    if (c.hold_active_mode_port) {
      holder = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(device_port));
      ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      ASSERT_EQ(listen(holder, 1), 0);
    }
    start({"run"});
    EXPECT_EQ(wait_child(child, kStartMs), 1) << c.name;
    if (holder >= 0) close(holder);
    const std::string text = log();
    for (const std::string& line : {c.reason, std::string("orv_start() failed")}) {
      EXPECT_NE(text.find(line), std::string::npos) << c.name << ": " << text;
    }
    EXPECT_EQ(text.find("Started 1.0"), std::string::npos) << c.name << ": " << text;
    EXPECT_EQ(read_text(child.out_path), "") << c.name;
  }
}

TEST_F(Program, RelaysADeviceAndAClient) {
  write_config();
  start({"run"});
  ASSERT_TRUE(wait_for_text((data / "orv.log").string(), "Started 1.0", kStartMs));
  int device = connect_to(device_port);
  ASSERT_GE(device, 0);
  ASSERT_EQ(send(device, kHandshake.data(), kHandshake.size(), 0),
            static_cast<ssize_t>(kHandshake.size()));
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

TEST_F(Program, WithoutServiceManagerReportsTheFailureAndPrintsUsageOnStandardError) {
  if (under_wine()) env.push_back("WINEDEBUG=err+eventlog");
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"--help"}, {"install-please", "run"}}) {
    start(args);
    EXPECT_EQ(wait_child(child, kStartMs), 1);
    EXPECT_EQ(read_text(child.out_path), "");
    const std::string err = read_text(child.err_path);
    const std::string line_end = under_wine() ? "\r\n" : "\n";  // a Windows text stream
    const std::string expected[] = {
        "ORV 1.0",
        "orv install",
        "orv run",
        "Configuration: " + data_file("orv.conf") + line_end,
        "Log: " + data_file("orv.log") + line_end,
        // The dispatch was tried first, and its failure went where a service's failures go.
        under_wine() ? "StartServiceCtrlDispatcher failed with 1063" : ""};
    for (const std::string& text : expected) {
      EXPECT_NE(err.find(text), std::string::npos) << text << " in\n" << err;
    }
  }
}

TEST_F(Program, NotifyServiceReportsItsStatesAndItsExitCodeShowsAFailedStart) {
  if (under_wine()) GTEST_SKIP() << "systemd notify is the Linux service";
  const fs::path socket_path = out / "notify";
  int listener = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  env.push_back("NOTIFY_SOCKET=" + socket_path.string());
  auto next_message = [&] {
    pollfd entry{listener, POLLIN, 0};
    if (poll(&entry, 1, kStartMs) < 1) return std::string("(none)");
    char buffer[256];
    ssize_t n = recv(listener, buffer, sizeof buffer, 0);
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  };
  for (bool configured : {true, false}) {
    SCOPED_TRACE(configured ? "configured" : "no configuration");
    fs::remove(data / "orv.conf");
    if (configured) write_config();
    start({});
    EXPECT_EQ(next_message(), "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000");
    if (configured) {
      EXPECT_EQ(next_message(), "READY=1");
      signal_child(child, SIGTERM);
      EXPECT_EQ(next_message(), "STOPPING=1");
    }
    EXPECT_EQ(next_message(), "STATUS=Stopped");
    // Code 1 is what makes systemd call the unit failed and Restart=on-failure act.
    EXPECT_EQ(wait_child(child, kStartMs), configured ? 0 : 1);
    EXPECT_NE(log().find(configured ? "Stopped" : "orv_start() failed"), std::string::npos);
  }
  close(listener);
}

// Standard streams the relay cannot count on. Each once ended or stalled the relay, or sent the
// log to a peer: a stderr whose reader is gone (SIGPIPE on the next line), descriptors 0 to 2
// closed (a socket became descriptor 2), a stderr pipe nobody drains (the write blocked).
TEST_F(Program, StandardStreamsNeitherStopTheRelayNorReachAPeer) {
  if (under_wine()) GTEST_SKIP() << "POSIX descriptors and signals";
  struct Case {
    const char* name;
    bool close_standard, reader_gone;
    int unknown_devices;  // each one a log line
  };
  for (Case c : {Case{"stderr reader gone", false, true, 3},
                 Case{"descriptors 0, 1 and 2 closed", true, false, 3},
                 Case{"stderr never drained", false, false, 200}}) {
    SCOPED_TRACE(c.name);
    write_config();
    fs::remove(data / "orv.log");
    int stderr_pipe[2] = {-1, -1};
    ChildStreams streams;
    streams.close_standard = c.close_standard;
    if (!c.close_standard) {
      ASSERT_EQ(pipe2(stderr_pipe, O_CLOEXEC), 0);
      ASSERT_GT(fcntl(stderr_pipe[1], F_SETPIPE_SZ, 4096), 0);  // full after a few dozen lines
      if (c.reader_gone) close(stderr_pipe[0]);
      streams.stderr_fd = stderr_pipe[1];
    }
    start({"run"}, streams);
    if (!c.close_standard) close(stderr_pipe[1]);
    ASSERT_TRUE(wait_for_text((data / "orv.log").string(), "Started 1.0", kStartMs)) << log();

    const int client = connect_to(client_port), device = connect_to(device_port);
    ASSERT_GE(client, 0);
    ASSERT_GE(device, 0);
    ASSERT_EQ(send(device, kHandshake.data(), kHandshake.size(), 0),
              static_cast<ssize_t>(kHandshake.size()));
    ASSERT_EQ(send(client, "request", 7, 0), 7);
    EXPECT_EQ(receive(device, 7), "request");
    for (int i = 0; i < c.unknown_devices; ++i) {
      const int stranger = connect_to(device_port);
      ASSERT_GE(stranger, 0);
      const std::string unknown = "tcp-active-mode:1\nid:'nobody'\n";
      ASSERT_EQ(send(stranger, unknown.data(), unknown.size(), 0),
                static_cast<ssize_t>(unknown.size()));
      const bool closed = ends_without_data(stranger);
      close(stranger);
      ASSERT_TRUE(closed) << "unknown device " << i << " not closed in time, or sent bytes";
    }
    // orv.log has every line, whatever became of standard error...
    const std::string text = log();
    std::size_t lines = 0;
    for (std::size_t at = text.find("identifier 'nobody'"); at != std::string::npos;
         at = text.find("identifier 'nobody'", at + 1)) {
      ++lines;
    }
    EXPECT_EQ(lines, static_cast<std::size_t>(c.unknown_devices));
    // ...and neither peer of the pair received any of them.
    ASSERT_EQ(send(device, "reply", 5, 0), 5);
    EXPECT_EQ(receive(client, 5), "reply");
    shutdown(client, SHUT_WR);
    EXPECT_TRUE(ends_without_data(device));
    EXPECT_TRUE(ends_without_data(client));
    close(client);
    close(device);
    interrupt_and_expect_clean_stop();
    if (stderr_pipe[0] >= 0 && !c.reader_gone) close(stderr_pipe[0]);
  }
}

TEST_F(Program, ConfigurationDirectoryHoldsTheConfigurationAndTheDataFolderTheLog) {
  if (under_wine()) GTEST_SKIP() << "systemd's ConfigurationDirectory is Linux";
  write_config();
  const int data_folder_port = device_port;
  const fs::path etc = out / "etc";
  fs::create_directories(etc);
  write_config(etc);
  // systemd lists every configuration directory of the unit, separated by colons.
  env.push_back("CONFIGURATION_DIRECTORY=" + etc.string() + ":" + (out / "more").string());
  start({"run"});
  ASSERT_TRUE(wait_for_text((data / "orv.log").string(), "Started 1.0", kStartMs)) << log();
  const int device = connect_to(device_port);
  EXPECT_GE(device, 0);
  close(device);
  EXPECT_LT(connect_to(data_folder_port), 0);
  EXPECT_FALSE(fs::exists(etc / "orv.log"));
  interrupt_and_expect_clean_stop();
}

TEST_F(Program, InstallWithoutSystemdSaysSoAndExitsWithCodeOne) {
  if (under_wine()) GTEST_SKIP() << "the service test installs the Windows service";
  if (fs::exists("/run/systemd/system")) GTEST_SKIP() << "systemd runs here: install would be real";
  start({"install"});
  EXPECT_EQ(wait_child(child, kStartMs), 1);
  EXPECT_EQ(read_text(child.out_path), "Cannot install service: systemd is not running\n");
}

}  // namespace
}  // namespace orv_test
