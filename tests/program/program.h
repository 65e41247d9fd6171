// Runs the real program (orv.exe through wine when ORV_WINE=1) as a child process.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "relay/relay.h"

namespace orv_test {

namespace fs = std::filesystem;
inline std::string environment(const char* name) {
  return std::getenv(name) != nullptr ? std::getenv(name) : "";
}
inline bool under_wine() { return environment("ORV_WINE") == "1"; }
inline std::string program_path() { return environment("ORV_PROGRAM"); }
constexpr int kStartMs = 30000;  // a first Wine start can take seconds

struct Child {
  int pid = -1;
  std::string out_path, err_path;
};
struct ChildStreams {           // instead of /dev/null and two files in out_dir:
  int stderr_fd = -1;           // stderr a copy of this descriptor,
  bool close_standard = false;  // or descriptors 0 to 2 closed
};
// argv (through wine for a .exe) with extra "NAME=value" entries and SIGPIPE at its default.
Child spawn_child(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra,
                  const std::string& out_dir, const ChildStreams& streams = {});
// The exit code, 128 + the signal that ended the child, or -1 after killing it on timeout.
int wait_child(Child& child, int timeout_ms);
inline void signal_child(const Child& child, int signal_number) {
  if (child.pid > 0) kill(child.pid, signal_number);
}
bool wait_until(const std::function<bool()>& done, int timeout_ms);  // polls: files give no event
inline std::string read_text(const std::string& path) {  // whole, at once: some are large
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}
inline bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms) {
  return wait_until([&] { return read_text(path).find(text) != text.npos; }, timeout_ms);
}

inline int listen_on(int port) {  // on every IPv4 address; -1 on failure
  return orv::net_open_listener({}, port, orv::kBacklogMax);
}
inline int connect_to(int port) {  // on loopback, each receive waiting 5 s at most; -1 on failure
  const int s = orv::net_connect_loopback(port);
  const timeval wait{5, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  return s;
}
inline int free_port() {
  const int probe = listen_on(0);
  const int port = orv::net_local_port(probe);
  close(probe);
  return port;
}
inline bool send_all(int s, const std::string& bytes) {
  return send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}
inline std::string receive(int s, std::size_t count) {  // until count bytes, the end, or a wait
  std::string got;
  char buffer[4096];
  for (ssize_t n; got.size() < count && (n = recv(s, buffer, sizeof buffer, 0)) > 0;)
    got.append(buffer, static_cast<std::size_t>(n));
  return got;
}
inline bool ends_without_data(int s) {
  char byte;
  return recv(s, &byte, 1, 0) == 0;
}

// Whether text holds part; the message shows both.
inline ::testing::AssertionResult has(const std::string& text, const std::string& part) {
  if (text.find(part) != text.npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "'" << part << "' in:\n" << text;
}

// A run of the real program: its output folder and data folder (under Wine C:\ProgramData\orv).
struct ProgramTest : ::testing::Test {
  fs::path out = fs::temp_directory_path() / ("orv-program-" + std::to_string(getpid()));
  fs::path data =
      under_wine() ? fs::path(environment("WINEPREFIX")) / "drive_c/ProgramData/orv" : out / "data";
  std::vector<std::string> env;  // extra environment of the program
  Child child;
  int device_port = 0, client_port = 0;

  void SetUp() override {
    ASSERT_FALSE(program_path().empty()) << "ORV_PROGRAM is not set";
    if (!under_wine()) env.push_back("STATE_DIRECTORY=" + data.string());
    TearDown();
    fs::create_directories(out);
    fs::create_directories(data);
  }
  void TearDown() override {
    if (child.pid > 0) wait_child(child, 0);
    fs::remove_all(out);
    fs::remove_all(data);
  }
  // orv.conf with the active-mode port and "map meter-1" on fresh ports, then extra lines.
  void write_config(const std::string& extra = "", const fs::path& folder = {}) {
    device_port = free_port();
    client_port = free_port();
    std::ofstream((folder.empty() ? data : folder) / "orv.conf", std::ios::binary)
        << "active-mode-port " << device_port << "\nmap meter-1 " << client_port << "\n"
        << extra;
  }
  void start(std::vector<std::string> args, const ChildStreams& streams = {}) {
    args.insert(args.begin(), program_path());
    child = spawn_child(args, env, out.string(), streams);
  }
  int join_device(const std::string& identifier, const std::string& after = "") const {
    const int s = connect_to(device_port);  // identified, with what follows in the same send
    EXPECT_TRUE(send_all(s, "tcp-active-mode:1\nid:'" + identifier + "'\n" + after));
    return s;
  }
  std::string log() const { return read_text((data / "orv.log").string()); }
  bool wait_for_log(const std::string& text) const {
    return wait_for_text((data / "orv.log").string(), text, kStartMs);
  }
  void expect_logged(const std::vector<std::string>& parts) const {
    for (const std::string& part : parts) EXPECT_TRUE(has(log(), part));
  }
};

}  // namespace orv_test
