// The session log of the real program: one scripted run that makes every kind of session line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/program/program.h"

namespace orv_test {
namespace {

namespace fs = std::filesystem;

TEST(SessionLog, TellsEveryEventOfOneScriptedRun) {
  if (under_wine()) GTEST_SKIP() << "one run natively is enough for the log's wording";
  const fs::path out = fs::temp_directory_path() / ("orv-session-" + std::to_string(getpid()));
  fs::remove_all(out);
  fs::create_directories(out);
  const int devices = free_port(), meters = free_port(), spares = free_port();
  std::ofstream(out / "orv.conf") << "session-log on\nactive-mode-port " << devices
                                  << "\nmap meter " << meters << "\nmap spare " << spares << "\n";
  Child child =
      spawn_child({program_path(), "run"}, {"STATE_DIRECTORY=" + out.string()}, out.string());
  const std::string log_path = (out / "orv.log").string();
  const auto expect_line = [&](const std::string& pattern) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const std::regex line(pattern);
    for (;;) {
      const std::string log = read_text(log_path);
      if (std::regex_search(log, line)) return;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "no line matching " << pattern << " in\n" << log;
        return;
      }
      usleep(20000);  // the log is a file: poll it
    }
  };
  const std::string peer = R"(127\.0\.0\.1:\d+)";
  const auto send_all = [](int s, const std::string& bytes) {
    ASSERT_EQ(send(s, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  };
  const auto device = [&](const std::string& identifier) {
    const int s = connect_to(devices);
    send_all(s, "tcp-active-mode:1\nid:'" + identifier + "'\n");
    return s;
  };
  expect_line("Listening for devices on port " + std::to_string(devices) + "\r\n");
  expect_line("Listening for clients of 'meter' on port " + std::to_string(meters) + "\r\n");

  // A client waits, a device joins it, they talk, the client ends.
  int client = connect_to(meters);
  expect_line("Client " + peer + " of 'meter' accepted, waiting for a device\r\n");
  int meter = device("meter");
  expect_line("Device " + peer + " identified as 'meter', joined client " + peer + "\r\n");
  send_all(client, "ping");
  EXPECT_EQ(receive(meter, 4), "ping");
  close(client);
  expect_line("Pair of 'meter' ended after \\d+ s: client " + peer + ", device " + peer +
              ", 4 bytes to the device, 0 bytes to the client, the client ended first \\(end of "
              "stream\\)\r\n");
  close(meter);

  // A device waits, a client joins it; then a waiting client and a waiting device leave.
  meter = device("meter");
  expect_line("Device " + peer + " identified as 'meter', waiting for a client\r\n");
  client = connect_to(meters);
  expect_line("Client " + peer + " of 'meter' accepted, joined device " + peer + "\r\n");
  const int lone_client = connect_to(spares);
  expect_line("Client " + peer + " of 'spare' accepted, waiting for a device");
  close(lone_client);
  expect_line("Waiting client " + peer + " of 'spare' left\r\n");
  const int lone_device = device("spare");
  expect_line("identified as 'spare', waiting for a client");
  close(lone_device);
  expect_line("Waiting device " + peer + " of 'spare' left\r\n");

  // Twenty devices fill 'spare'; the twenty-first, and a twenty-first client, are turned away.
  std::vector<int> held;
  for (int i = 0; i < 20; ++i) held.push_back(device("spare"));
  held.push_back(device("spare"));
  expect_line("Device " + peer + " identified as 'spare' turned away: every pair holds a device");
  for (int i = 0; i < 20; ++i) held.push_back(connect_to(spares));
  held.push_back(connect_to(spares));
  expect_line("Client " + peer + " of 'spare' turned away: every pair holds a client");

  // Every refusal says why.
  const struct {
    std::string bytes, reason;
  } refusals[] = {{"hello\n", "bad greeting"},
                  {"tcp-active-mode:1\nname\n", "no identification prefix"},
                  {"tcp-active-mode:1\nid:'meter'\r\n", "no closing quote"},
                  {"tcp-active-mode:1\n" + std::string(250, 'x'), "over-long line"},
                  {"tcp-active-mode:1\nid:'me", "ended early"}};
  for (const auto& refusal : refusals) {
    const int s = connect_to(devices);
    send_all(s, refusal.bytes);
    shutdown(s, SHUT_WR);
    expect_line("Handshake from " + peer + " refused: " + refusal.reason + "\r\n");
    close(s);
  }

  // The pair still joined ends with the relay's stop.
  kill(child.pid, SIGINT);
  EXPECT_EQ(wait_child(child, 30000), 0);
  expect_line("Pair of 'meter' ended after \\d+ s: client " + peer + ", device " + peer +
              ", 0 bytes to the device, 0 bytes to the client, ended by the relay stop\r\n");
  for (int s : held) close(s);
  close(client);
  close(meter);
  fs::remove_all(out);
}

}  // namespace
}  // namespace orv_test
