// The real program's status listener, read over plain sockets while a pair relays: promtool
// accepts its /metrics, and the page names the pair.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/program/program.h"

namespace orv_test {
namespace {

namespace fs = std::filesystem;
constexpr int kStartMs = 30000;

struct Answer {
  std::string status, headers, body;
};

// One request on a fresh connection, read until the program ends the stream.
Answer ask(int port, const std::string& request) {
  Answer answer;
  const int s = connect_to(port);
  if (s < 0) return answer;
  if (send(s, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
    close(s);
    return answer;
  }
  const std::string got = receive(s, SIZE_MAX);
  close(s);
  const std::size_t head_end = got.find("\r\n\r\n");
  if (head_end == std::string::npos) return answer;
  answer.status = got.substr(0, got.find("\r\n"));
  answer.headers = got.substr(0, head_end + 2);
  answer.body = got.substr(head_end + 4);
  return answer;
}

TEST(StatusProgram, MetricsPassPromtoolAndThePageShowsTheJoinedPair) {
  if (under_wine()) GTEST_SKIP() << "promtool reads the native program's answer";
  ASSERT_FALSE(program_path().empty()) << "ORV_PROGRAM is not set";
  const fs::path out = fs::temp_directory_path() / ("orv-status-" + std::to_string(getpid()));
  const fs::path data = out / "data", checker = out / "promtool";
  fs::remove_all(out);
  fs::create_directories(data);
  fs::create_directories(checker);
  const int device_port = free_port(), client_port = free_port(), status_port = free_port();
  {
    std::ofstream config(data / "orv.conf", std::ios::binary);
    config << "active-mode-port " << device_port << "\nmap meter-1 " << client_port
           << "\nmap we\"ird\\id " << free_port() << "\nmap caf\xff\xc3 " << free_port()
           << "\nstatus-port " << status_port << "\n";
  }
  Child child =
      spawn_child({program_path(), "run"}, {"STATE_DIRECTORY=" + data.string()}, out.string());
  ASSERT_GT(child.pid, 0);
  const std::string log_path = (data / "orv.log").string();
  ASSERT_TRUE(wait_for_text(log_path, "Started 1.0", kStartMs)) << read_text(child.err_path);

  const int device = connect_to(device_port);
  const std::string handshake = "tcp-active-mode:1\nid:'meter-1'\n";
  ASSERT_EQ(send(device, handshake.data(), handshake.size(), 0),
            static_cast<ssize_t>(handshake.size()));
  const int client = connect_to(client_port);
  ASSERT_EQ(send(client, "request", 7, 0), 7);
  ASSERT_EQ(receive(device, 7), "request");
  ASSERT_EQ(send(device, "reply", 5, 0), 5);
  ASSERT_EQ(receive(client, 5), "reply");

  const Answer metrics = ask(status_port, "GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n");
  EXPECT_EQ(metrics.status, "HTTP/1.1 200 OK");
  EXPECT_NE(
      metrics.headers.find("\r\nContent-Length: " + std::to_string(metrics.body.size()) + "\r\n"),
      std::string::npos)
      << metrics.headers;
  for (const char* line : {"orv_pairs_relaying{mapping=\"meter-1\"} 1\n",
                           "orv_relayed_to_device_bytes_total{mapping=\"meter-1\"} 7\n",
                           "orv_relayed_to_client_bytes_total{mapping=\"meter-1\"} 5\n",
                           "orv_listener_up{mapping=\"we\\\"ird\\\\id\"} 1\n"}) {
    EXPECT_NE(metrics.body.find(line), std::string::npos) << line << metrics.body;
  }
  const fs::path body_path = checker / "metrics.txt";
  std::ofstream(body_path, std::ios::binary) << metrics.body;
  Child promtool = spawn_child(
      {"sh", "-c", "promtool check metrics < '" + body_path.string() + "'"}, {}, checker.string());
  EXPECT_EQ(wait_child(promtool, kStartMs), 0)
      << "promtool (Debian package prometheus): " << read_text(promtool.out_path)
      << read_text(promtool.err_path);

  const Answer page = ask(status_port, "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(page.status, "HTTP/1.1 200 OK");
  EXPECT_NE(page.body.find("'meter-1' on port " + std::to_string(client_port) +
                           ", listening: 1 relaying"),
            std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("7 bytes to the device, 5 bytes to the client\n"), std::string::npos)
      << page.body;
  EXPECT_EQ(ask(status_port, "GET /favicon.ico HTTP/1.1\r\n\r\n").status, "HTTP/1.1 404 Not Found");

  close(device);
  close(client);
  signal_child(child, SIGINT);
  EXPECT_EQ(wait_child(child, kStartMs), 0);
  const std::string log = read_text(log_path);
  EXPECT_NE(log.find("Stopped"), std::string::npos) << log;
  EXPECT_EQ(log.find("Status listener"), std::string::npos) << log;
  fs::remove_all(out);
}

}  // namespace
}  // namespace orv_test
