// The real program's status listener while a pair relays: promtool accepts its /metrics, and
// the page names the pair.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

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

using StatusProgram = ProgramTest;

TEST_F(StatusProgram, MetricsPassPromtoolAndThePageShowsTheJoinedPair) {
  if (under_wine()) GTEST_SKIP() << "promtool reads the native program's answer";
  const int status_port = free_port();
  write_config("map we\"ird\\id " + std::to_string(free_port()) + "\nmap caf\xff\xc3 " +
               std::to_string(free_port()) + "\nstatus-port " + std::to_string(status_port) + "\n");
  start({"run"});
  ASSERT_TRUE(wait_for_log("Started 1.0")) << read_text(child.err_path);
  const int device = connect_to(device_port);
  ASSERT_TRUE(send_all(device, "tcp-active-mode:1\nid:'meter-1'\n"));
  const int client = connect_to(client_port);
  ASSERT_TRUE(send_all(client, "request"));
  ASSERT_EQ(receive(device, 7), "request");
  ASSERT_TRUE(send_all(device, "reply"));
  ASSERT_EQ(receive(client, 5), "reply");

  const std::string metrics = body_of(status_port, "GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n");
  EXPECT_NE(metrics.find("orv_relayed_to_client_bytes_total{mapping=\"meter-1\"} 5\n"),
            std::string::npos)
      << metrics;
  const std::filesystem::path checker = out / "promtool";  // its own stdout.txt and stderr.txt
  std::filesystem::create_directories(checker);
  std::ofstream(checker / "metrics.txt", std::ios::binary) << metrics;
  Child promtool = spawn_child(
      {"sh", "-c", "promtool check metrics < '" + (checker / "metrics.txt").string() + "'"}, {},
      checker.string());
  EXPECT_EQ(wait_child(promtool, kStartMs), 0)
      << "promtool (Debian package prometheus): " << read_text(promtool.err_path);
  EXPECT_NE(body_of(status_port, "GET / HTTP/1.1\r\n\r\n")
                .find("7 bytes to the device, 5 bytes to the client\n"),
            std::string::npos);

  close(device);
  close(client);
  signal_child(child, SIGINT);
  EXPECT_EQ(wait_child(child, kStartMs), 0);
  EXPECT_EQ(log().find("Status listener"), std::string::npos) << log();
}

}  // namespace
}  // namespace orv_test
