// One scripted run of the real program that makes every kind of session line, with its status
// page read while a pair is joined: promtool accepts the metrics, the page shows the pair.
#include <signal.h>
#include <sys/socket.h>

#include <regex>

#include "tests/program/program.h"

namespace orv_test {
namespace {

// The body of a 200 answer to one request on a fresh connection.
std::string body_of(int port, const std::string& request) {
  const int s = connect_to(port);
  EXPECT_TRUE(send_all(s, request));
  const std::string got = receive(s, SIZE_MAX);
  close(s);
  EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got;
  return got.substr(got.find("\r\n\r\n") + 4);
}

TEST_F(ProgramTest, SessionLogTellsEveryEventAndTheStatusPageTheJoinedPair) {
  if (under_wine()) GTEST_SKIP() << "one native run is enough for the wording and for promtool";
  const int spares = free_port(), status_port = free_port();
  // Two mappings whose names a metric label must escape.
  write_config("session-log on\nstatus-port " + std::to_string(status_port) + "\nmap spare " +
               std::to_string(spares) + "\nmap we\"ird\\id " + std::to_string(free_port()) +
               "\nmap caf\xff\xc3 " + std::to_string(free_port()) + "\n");
  start({"run"});
  const auto expect_line = [&](const std::string& pattern) {
    const std::regex line(pattern);
    EXPECT_TRUE(wait_until([&] { return std::regex_search(log(), line); }, 10000))
        << "no line matching " << pattern << " in\n"
        << log();
  };
  const std::string peer = R"(127\.0\.0\.1:\d+)";
  expect_line("Listening for devices on port " + std::to_string(device_port) + "\r\n");
  expect_line("Listening for clients of 'meter-1' on port " + std::to_string(client_port) + "\r\n");

  // A client waits, a device joins it, they talk, the status page shows them, the client ends.
  int client = connect_to(client_port);
  expect_line("Client " + peer + " of 'meter-1' accepted, waiting for a device\r\n");
  int meter = join_device("meter-1");
  expect_line("Device " + peer + " identified as 'meter-1', joined client " + peer + "\r\n");
  ASSERT_TRUE(send_all(client, "ping") && send_all(meter, "reply"));
  EXPECT_EQ(receive(meter, 4), "ping");
  EXPECT_EQ(receive(client, 5), "reply");
  const std::string metrics = body_of(status_port, "GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n");
  EXPECT_NE(metrics.find("orv_relayed_to_client_bytes_total{mapping=\"meter-1\"} 5\n"),
            std::string::npos)
      << metrics;
  std::ofstream(out / "metrics.txt", std::ios::binary) << metrics;
  std::filesystem::create_directories(out / "promtool");  // its own stdout.txt and stderr.txt
  Child promtool =
      spawn_child({"sh", "-c", "promtool check metrics < " + out.string() + "/metrics.txt"}, {},
                  (out / "promtool").string());
  EXPECT_EQ(wait_child(promtool, kStartMs), 0)
      << "promtool (Debian package prometheus): " << read_text(promtool.err_path);
  EXPECT_NE(body_of(status_port, "GET / HTTP/1.1\r\n\r\n")
                .find("4 bytes to the device, 5 bytes to the client\n"),
            std::string::npos);
  close(client);
  expect_line("Pair of 'meter-1' ended after \\d+ s: client " + peer + ", device " + peer +
              ", 4 bytes to the device, 5 bytes to the client, the client ended first \\(end of "
              "stream\\)\r\n");
  close(meter);

  // A device waits, a client joins it; then a waiting client and a waiting device leave.
  meter = join_device("meter-1");
  expect_line("Device " + peer + " identified as 'meter-1', waiting for a client\r\n");
  client = connect_to(client_port);
  expect_line("Client " + peer + " of 'meter-1' accepted, joined device " + peer + "\r\n");
  close(connect_to(spares));
  expect_line("Waiting client " + peer + " of 'spare' left\r\n");
  close(join_device("spare"));
  expect_line("Waiting device " + peer + " of 'spare' left\r\n");

  // Twenty devices fill 'spare'; the twenty-first, and a twenty-first client, are turned away.
  std::vector<int> held;
  for (int i = 0; i < 21; ++i) held.push_back(join_device("spare"));
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

  // The pair still joined ends with the relay's stop; the working status listener logged nothing.
  signal_child(child, SIGINT);
  EXPECT_EQ(wait_child(child, kStartMs), 0);
  expect_line("Pair of 'meter-1' ended after \\d+ s: client " + peer + ", device " + peer +
              ", 0 bytes to the device, 0 bytes to the client, ended by the relay stop\r\n");
  EXPECT_EQ(log().find("Status listener"), std::string::npos) << log();
  for (int s : held) close(s);
  close(client);
  close(meter);
}

}  // namespace
}  // namespace orv_test
