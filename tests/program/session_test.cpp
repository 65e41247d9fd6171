// One scripted run of the real program that makes every kind of session line, with its status
// page read while a pair is joined: promtool accepts the metrics, the page shows the pair.
#include <signal.h>
#include <sys/socket.h>

#include <regex>

#include "tests/program/program.h"

namespace orv_test {
namespace {

TEST_F(ProgramTest, RelaysAndTellsEveryEventInTheSessionLogAndTheJoinedPairOnTheStatusPage) {
  const int spares = free_port(), status_port = free_port();
  // Two mappings whose names a metric label must escape.
  write_config("session-log on\nstatus-port " + std::to_string(status_port) + "\nmap spare " +
               std::to_string(spares) + "\nmap we\"ird\\id " + std::to_string(free_port()) +
               "\nmap caf\xff\xc3 " + std::to_string(free_port()) + "\n");
  start({"rUn", "extra", "words"});  // any letter case; extra words are ignored
  // A line of the log, "@" standing for a peer's address.
  const auto expect_line = [&](const std::string& pattern) {
    const std::regex line(std::regex_replace(pattern, std::regex("@"), R"(127\.0\.0\.1:\d+)") +
                          "\r\n");
    EXPECT_TRUE(wait_until([&] { return std::regex_search(log(), line); }, kStartMs))
        << "no line " << pattern << " in\n"
        << log();
  };
  const auto body_of = [&](const std::string& request) {  // of a 200 answer of the status page
    const int s = connect_to(status_port);
    EXPECT_TRUE(send_all(s, request));
    const std::string got = receive(s, SIZE_MAX);
    close(s);
    EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got;
    return got.substr(got.find("\r\n\r\n") + 4);
  };
  expect_line("Listening for devices on port " + std::to_string(device_port));
  expect_line("Listening for clients of 'meter-1' on port " + std::to_string(client_port));

  // A client waits, a device joins it, they talk, the status page shows them, the client ends
  // and the device gets the end.
  int client = connect_to(client_port);
  expect_line("Client @ of 'meter-1' accepted, waiting for a device");
  int meter = join_device("meter-1");
  expect_line("Device @ identified as 'meter-1', joined client @");
  ASSERT_TRUE(send_all(client, "ping") && send_all(meter, "reply"));
  EXPECT_EQ(receive(meter, 4), "ping");
  EXPECT_EQ(receive(client, 5), "reply");
  const std::string metrics = body_of("GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n");
  EXPECT_NE(metrics.find("orv_relayed_to_client_bytes_total{mapping=\"meter-1\"} 5\n"),
            std::string::npos)
      << metrics;
  std::ofstream(out / "metrics.txt", std::ios::binary) << metrics;
  Child promtool = spawn_child(
      {"sh", "-c", "promtool check metrics <" + out.string() + "/metrics.txt"}, {}, data.string());
  EXPECT_EQ(wait_child(promtool, kStartMs), 0)
      << "promtool (Debian package prometheus): " << read_text(promtool.err_path);
  EXPECT_NE(
      body_of("GET / HTTP/1.1\r\n\r\n").find("4 bytes to the device, 5 bytes to the client\n"),
      std::string::npos);
  close(client);
  expect_line(R"(Pair of 'meter-1' ended after \d+ s: client @, device @, 4 bytes to the device, )"
              R"(5 bytes to the client, the client ended first \(end of stream\))");
  EXPECT_TRUE(ends_without_data(meter));
  close(meter);

  // A device waits, a client joins it; then a waiting client and a waiting device leave.
  meter = join_device("meter-1");
  expect_line("Device @ identified as 'meter-1', waiting for a client");
  client = connect_to(client_port);
  expect_line("Client @ of 'meter-1' accepted, joined device @");
  close(connect_to(spares));
  expect_line("Waiting client @ of 'spare' left");
  close(join_device("spare"));
  expect_line("Waiting device @ of 'spare' left");

  // Twenty devices fill 'spare'; the twenty-first, and a twenty-first client, are turned away.
  std::vector<int> held;
  for (int i = 0; i < 21; ++i) held.push_back(join_device("spare"));
  expect_line("Device @ identified as 'spare' turned away: every pair holds a device");
  for (int i = 0; i < 21; ++i) held.push_back(connect_to(spares));
  expect_line("Client @ of 'spare' turned away: every pair holds a client");

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
    expect_line("Handshake from @ refused: " + reason);
    close(s);
  }

  // Ctrl+C: the pair still joined ends with the relay's stop; the status listener logged nothing.
  signal_child(child, SIGINT);
  EXPECT_EQ(wait_child(child, kStartMs), 0);
  expect_line(R"(Pair of 'meter-1' ended after \d+ s: client @, device @, 0 bytes to the device, )"
              R"(0 bytes to the client, ended by the relay stop)");
  EXPECT_EQ(log().find("Status listener"), std::string::npos) << log();
  for (int s : held) close(s);
  close(client);
  close(meter);
}

}  // namespace
}  // namespace orv_test
