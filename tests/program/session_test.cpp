// The session log of the real program: one scripted run that makes every kind of session line.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "tests/program/program.h"

namespace orv_test {
namespace {

TEST_F(ProgramTest, SessionLogTellsEveryEventOfOneScriptedRun) {
  if (under_wine()) GTEST_SKIP() << "one run natively is enough for the log's wording";
  const int spares = free_port();
  write_config("session-log on\nmap spare " + std::to_string(spares) + "\n");
  start({"run"});
  const auto expect_line = [&](const std::string& pattern) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::regex_search(log(), std::regex(pattern))) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "no line matching " << pattern << " in\n" << log();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a file gives no event
    }
  };
  const std::string peer = R"(127\.0\.0\.1:\d+)";
  const auto device = [&](const std::string& identifier) {
    const int s = connect_to(device_port);
    EXPECT_TRUE(send_all(s, "tcp-active-mode:1\nid:'" + identifier + "'\n"));
    return s;
  };
  expect_line("Listening for devices on port " + std::to_string(device_port) + "\r\n");
  expect_line("Listening for clients of 'meter-1' on port " + std::to_string(client_port) + "\r\n");

  // A client waits, a device joins it, they talk, the client ends.
  int client = connect_to(client_port);
  expect_line("Client " + peer + " of 'meter-1' accepted, waiting for a device\r\n");
  int meter = device("meter-1");
  expect_line("Device " + peer + " identified as 'meter-1', joined client " + peer + "\r\n");
  ASSERT_TRUE(send_all(client, "ping"));
  EXPECT_EQ(receive(meter, 4), "ping");
  close(client);
  expect_line("Pair of 'meter-1' ended after \\d+ s: client " + peer + ", device " + peer +
              ", 4 bytes to the device, 0 bytes to the client, the client ended first \\(end of "
              "stream\\)\r\n");
  close(meter);

  // A device waits, a client joins it; then a waiting client and a waiting device leave.
  meter = device("meter-1");
  expect_line("Device " + peer + " identified as 'meter-1', waiting for a client\r\n");
  client = connect_to(client_port);
  expect_line("Client " + peer + " of 'meter-1' accepted, joined device " + peer + "\r\n");
  close(connect_to(spares));
  expect_line("Waiting client " + peer + " of 'spare' left\r\n");
  close(device("spare"));
  expect_line("Waiting device " + peer + " of 'spare' left\r\n");

  // Twenty devices fill 'spare'; the twenty-first, and a twenty-first client, are turned away.
  std::vector<int> held;
  for (int i = 0; i < 21; ++i) held.push_back(device("spare"));
  expect_line("Device " + peer + " identified as 'spare' turned away: every pair holds a device");
  for (int i = 0; i < 21; ++i) held.push_back(connect_to(spares));
  expect_line("Client " + peer + " of 'spare' turned away: every pair holds a client");

  // Every refusal says why.
  const std::string refusals[][2] = {
      {"hello\n", "bad greeting"},
      {"tcp-active-mode:1\nname\n", "no identification prefix"},
      {"tcp-active-mode:1\nid:'meter'\r\n", "no closing quote"},
      {"tcp-active-mode:1\n" + std::string(250, 'x'), "over-long line"},
      {"tcp-active-mode:1\nid:'me", "ended early"}};
  for (const auto& [bytes, reason] : refusals) {
    const int s = connect_to(device_port);
    EXPECT_TRUE(send_all(s, bytes));
    shutdown(s, SHUT_WR);
    expect_line("Handshake from " + peer + " refused: " + reason + "\r\n");
    close(s);
  }

  // The pair still joined ends with the relay's stop.
  signal_child(child, SIGINT);
  EXPECT_EQ(wait_child(child, kStartMs), 0);
  expect_line("Pair of 'meter-1' ended after \\d+ s: client " + peer + ", device " + peer +
              ", 0 bytes to the device, 0 bytes to the client, ended by the relay stop\r\n");
  for (int s : held) close(s);
  close(client);
  close(meter);
}

}  // namespace
}  // namespace orv_test
