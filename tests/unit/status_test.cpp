// The status listener: requests, escaping, and connections served without holding up the pass.
#include "status/status.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <vector>

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

// Identifiers escaped for each text, never steering a terminal; and the buffer sized at start
// holds both bodies at their largest (every pair joined, the longest identifier expanded most).
TEST(StatusRender, IdentifiersAreEscapedAndTheLargestBodiesFit) {
  struct Row {
    std::string identifier, label, shown;
  } rows[] = {
      {"we\"ird\\id", "we\\\"ird\\\\id", "we\"ird\\\\id"},
      {"a\x01z\x7f", "a\x01z\x7f", "a\\x01z\\x7f"},
      {"\xc2\x9b[31m", "\xc2\x9b[31m", "\\xc2\\x9b[31m"},  // a C1 control
      {"x\xff\xc3", "x\\\\xff\\\\xc3", "x\\xff\\xc3"},     // not UTF-8, cut short
  };
  RelayState state;
  for (const Row& row : rows) state.mappings.push_back(make_mapping(row.identifier, 65535));
  state.mappings.push_back(make_mapping(std::string(245, '\xff'), 65535));
  for (Mapping& mapping : state.mappings)
    for (RelayPair& pair : mapping.pairs) {
      pair.joined_at = INT64_MIN;
      pair.client = pair.device = {
          .socket = 1000, .delivered = UINT64_MAX, .address = "255.255.255.255:65535"};
    }
  std::string metrics(status_body_capacity(state), 0), page = metrics;
  metrics.resize(render_metrics(state, metrics.data(), metrics.size()));
  page.resize(render_page(state, INT64_MAX, page.data(), page.size()));
  ASSERT_TRUE(!metrics.empty() && !page.empty());
  for (const Row& row : rows) {
    EXPECT_NE(metrics.find("{mapping=\"" + row.label + "\"} "), std::string::npos) << row.shown;
    EXPECT_NE(page.find("\n'" + row.shown + "' on port"), std::string::npos) << row.shown;
  }
}

struct StatusServerTest : RelayFixture {
  StatusServer server;
  int status_port = 0;

  void SetUp() override {
    net_startup();
    status_port = free_port();
    start({"m"}, "status-port " + std::to_string(status_port) + "\n");
    ASSERT_TRUE(status_start(server, state));
  }
  void TearDown() override {
    status_stop(server, state);
    RelayFixture::TearDown();
  }
  Socket status_client(const std::string& request = "", bool held = false) {
    const int before = server.open;
    const Socket socket = net_connect_loopback(status_port);
    if (!request.empty()) send_text(socket, request);
    EXPECT_TRUE(!held || cycle_until([&] { return server.open > before; }));
    return socket;
  }
  std::string answer(Socket socket) {
    bool ended = false;
    const std::string got = receive(socket, SIZE_MAX, &ended);
    net_close(socket);
    EXPECT_TRUE(ended);
    return got;
  }
};

// Fed byte by byte, a request is classified only once whole; then answered, and the stream ended.
TEST_F(StatusServerTest, ParsesEachRequestOnlyWholeAndAnswersIt) {
  const std::pair<std::string, std::string> rows[] = {
      {"GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n", "200 OK"},
      {"GET /?x[]=1 HTTP/1.0\n\n", "200 OK"},
      {"HEAD /metrics HTTP/1.1\r\n\r\n", "200 OK"},
      {"GET /metrics/ HTTP/1.1\r\n\r\n", "404 Not Found"},
      {"GET /metrics\r\n\r\n", "400 Bad Request"},
      {"GET / HTTP/1.1\r\nX: " + std::string(kStatusRequestBytes - 23, 'p') + "\r\n\r\n", "200 OK"},
      {"GET /" + std::string(5000, 'a'), "431 Request Header Fields Too Large"},
  };
  for (const auto& [bytes, status] : rows) {
    SCOPED_TRACE(bytes.substr(0, 40));
    for (std::size_t length = 0; length < std::min(bytes.size(), kStatusRequestBytes); ++length)
      ASSERT_EQ(parse_status_request(bytes.data(), length).kind, StatusRequest::kIncomplete);
    const std::string got = answer(status_client(bytes));
    EXPECT_EQ(got.substr(0, got.find("\r\n")), "HTTP/1.1 " + status);
    EXPECT_NE(got.find("\r\nConnection: close\r\n"), std::string::npos);
    const std::string length = std::to_string(got.size() - got.find("\r\n\r\n") - 4);
    const bool head = bytes.rfind("HEAD", 0) == 0;  // a length but no body
    EXPECT_EQ(got.find("\r\nContent-Length: " + length + "\r\n") == std::string::npos, head);
  }
}

using StatusListener = RelayFixture;
TEST_F(StatusListener, ThatCannotOpenIsLoggedAndLeftOut) {
  start({"m"}, "status-port 9 192.0.2.1\n");  // no interface here has that address
  StatusServer server;
  EXPECT_FALSE(status_start(server, state));
  std::string log;
  std::getline(std::ifstream(folder / "orv.log", std::ios::binary), log, '\0');
  EXPECT_NE(log.find("Status listener on 192.0.2.1:9 error: "), std::string::npos) << log;
}

// Silent, not reading or not closing, a connection ends 10 s after its accept; a 9th waits in the
// backlog, costing the relay nothing, until a place is free.
TEST_F(StatusServerTest, EightAtMostEachClosedTenSecondsAfterItsAccept) {
  clock_pin_ms(1000000);
  std::vector<Socket> open = {status_client("GET /metrics HTTP/1.1\r\n\r\n", true),
                              status_client("GET / HTTP/1.1\r\n\r\n", true)};
  EXPECT_NE(receive(open[1], SIZE_MAX).find("HTTP/1.1 200 OK"), std::string::npos);
  while (open.size() < std::size_t{kStatusConnections}) open.push_back(status_client("", true));
  const Socket ninth = status_client("GET / HTTP/1.1\r\n\r\n");
  clock_pin_ms(1000000 + kStatusConnectionMs - 1);
  relay_cycle(state);
  EXPECT_EQ(server.open, kStatusConnections);
  EXPECT_EQ(server.listener_watched, kWatchNone);
  EXPECT_FALSE(socket_ready(ninth, false));
  clock_pin_ms(1000000 + kStatusConnectionMs);
  for (const Socket socket : open) answer(socket);
  EXPECT_EQ(answer(ninth).rfind("HTTP/1.1 200 OK", 0), 0u);
}

// A pair relays 4 MB alone, then beside a client sending its request byte by byte and one never
// reading its answer: not much slower.
TEST_F(StatusServerTest, TrickledRequestAndSilentReaderDoNotSlowAPair) {
  const std::string bytes = pattern(4000000, 1), request = "GET /metrics HTTP/1.1\r\n\r\n";
  const auto relay_run = [&](bool with_status) {
    const Socket client = placed_client(0), device = identified_device("m");
    const Socket trickler = with_status ? status_client("", true) : kNoSocket;
    const Socket silent = with_status ? status_client(request) : kNoSocket;
    std::size_t sent = 0, trickled = 0;
    Drained at_device;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(cycle_until(
        [&] {
          if (with_status && trickled < request.size() &&
              server.connections[0].received == trickled) {
            send_text(trickler, request.substr(trickled++, 1));
          }
          send_some(client, bytes, sent);
          drain(device, at_device, bytes.size());
          return at_device.bytes.size() == bytes.size();
        },
        120));
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_TRUE(at_device.bytes == bytes);
    EXPECT_TRUE(!with_status || answer(trickler).rfind("HTTP/1.1 200 OK", 0) == 0);
    for (const Socket socket : {client, device, silent}) net_close(socket);
    EXPECT_TRUE(cycle_until([&] { return clients_placed(0) == 0 && devices_placed() == 0; }));
    return std::chrono::duration<double>(took).count();
  };
  const double alone = relay_run(false), beside_status = relay_run(true);
  EXPECT_LT(beside_status, 3 * alone + 2) << alone << " s alone";
}

}  // namespace
}  // namespace orv
