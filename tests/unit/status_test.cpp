// The status listener: request parsing, the two bodies, and connections served by the relay's
// pass without ever holding it: trickled requests, readers that never read, the 8-connection
// limit and the 10-second limit.
#include "status/status.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

TEST(StatusRequest, ClassifiesWhatHasArrived) {
  const std::string padded = "GET / HTTP/1.1\r\nX: " + std::string(4096 - 23, 'p') + "\r\n\r\n";
  struct Row {
    std::string bytes;
    StatusRequest kind;
    bool head;
  } rows[] = {
      {"GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n", StatusRequest::kMetrics, false},
      {"GET / HTTP/1.0\n\n", StatusRequest::kPage, false},
      {"HEAD /metrics HTTP/1.1\r\n\r\nignored", StatusRequest::kMetrics, true},
      {"GET /metrics?name[]=x HTTP/1.1\r\n\r\n", StatusRequest::kMetrics, false},
      {"GET /metrics/ HTTP/1.1\r\n\r\n", StatusRequest::kNotFound, false},
      {"GET /index.html HTTP/1.1\r\n\r\n", StatusRequest::kNotFound, false},
      {"POST /metrics HTTP/1.1\r\n\r\n", StatusRequest::kNotFound, false},
      {"get / HTTP/1.1\r\n\r\n", StatusRequest::kNotFound, false},
      {"GET /metrics HTTP/1.1\r\nHost: relay\r\n", StatusRequest::kIncomplete, false},
      {"GET /metrics\r\n\r\n", StatusRequest::kBadRequest, false},
      {"GET  / HTTP/1.1\r\n\r\n", StatusRequest::kBadRequest, false},
      {"GET / HTTP/2.0\r\n\r\n", StatusRequest::kBadRequest, false},
      {"GET / HTTP/1.1 extra\r\n\r\n", StatusRequest::kBadRequest, false},
      {"\r\n\r\n", StatusRequest::kBadRequest, false},
      {std::string(4095, 'a'), StatusRequest::kIncomplete, false},
      {std::string(4096, 'a'), StatusRequest::kTooLarge, false},
      {padded, StatusRequest::kPage, false},
  };
  ASSERT_EQ(padded.size(), kStatusRequestBytes);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes.substr(0, 40));
    const ParsedRequest parsed = parse_status_request(row.bytes.data(), row.bytes.size());
    EXPECT_EQ(parsed.kind, row.kind);
    EXPECT_EQ(parsed.head, row.head);
    // Arriving byte by byte, no shorter part of a complete request is taken for one.
    if (row.kind == StatusRequest::kIncomplete || row.bytes.size() >= kStatusRequestBytes) continue;
    const std::size_t end = row.bytes.find("\n\n") != std::string::npos
                                ? row.bytes.find("\n\n") + 2
                                : row.bytes.find("\r\n\r\n") + 4;
    for (std::size_t length = 0; length < end; ++length) {
      ASSERT_EQ(parse_status_request(row.bytes.data(), length).kind, StatusRequest::kIncomplete)
          << length;
    }
  }
}

// ---- rendering from a relay state built by hand (no sockets: rendering only reads) ----------

RelayState state_with(const std::vector<std::string>& identifiers) {
  RelayState state;
  for (std::size_t m = 0; m < identifiers.size(); ++m) {
    state.mappings.push_back(make_mapping(identifiers[m], 9001 + static_cast<int>(m)));
  }
  state.queue.assign(kPendingSlots, PendingSlot{});
  return state;
}

std::string metrics_of(const RelayState& state) {
  std::string body(status_body_capacity(state), 0);
  body.resize(render_metrics(state, body.data(), body.size()));
  return body;
}
std::string page_of(const RelayState& state, std::int64_t now) {
  std::string body(status_body_capacity(state), 0);
  body.resize(render_page(state, now, body.data(), body.size()));
  return body;
}

void join(RelayPair& pair, const char* client, const char* device) {
  if (client != nullptr) {
    pair.client.socket = 1000;
    std::snprintf(pair.client.address, kPeerTextBytes, "%s", client);
  }
  if (device != nullptr) {
    pair.device.socket = 1001;
    std::snprintf(pair.device.address, kPeerTextBytes, "%s", device);
  }
}

// The format itself (HELP and TYPE, names, escaping) is promtool's to check, in the program test.
TEST(StatusRender, MetricsCountEachMappingAndTheRelay) {
  RelayState state = state_with({"m1", "m2"});
  Mapping& m1 = state.mappings[0];
  m1.listener = 7;
  join(m1.pairs[0], "10.0.0.1:5000", "10.0.0.2:6000");
  join(m1.pairs[3], "10.0.0.1:5001", nullptr);
  join(m1.pairs[4], nullptr, "10.0.0.3:6001");
  join(m1.pairs[5], nullptr, "10.0.0.4:6002");
  m1.counters = {1, 2, 3, 4, 5, 6, 7};
  state.queue[2].socket = state.queue[7].socket = 99;
  state.counters.refused[static_cast<int>(Refusal::kOverlongLine)] = 11;
  state.counters.unknown_identifiers = 12;
  state.counters.evictions = 13;
  state.counters.accept_errors = 14;
  state.counters.started_at = 1700000000;
  const std::string body = metrics_of(state);
  for (const char* line : {"orv_pairs_relaying{mapping=\"m1\"} 1\n",
                           "orv_devices_waiting{mapping=\"m1\"} 2\n",
                           "orv_clients_waiting{mapping=\"m1\"} 1\n",
                           "orv_listener_up{mapping=\"m1\"} 1\n",
                           "orv_listener_up{mapping=\"m2\"} 0\n",
                           "orv_pairs_relaying{mapping=\"m2\"} 0\n",
                           "orv_devices_identified_total{mapping=\"m1\"} 1\n",
                           "orv_clients_accepted_total{mapping=\"m1\"} 2\n",
                           "orv_clients_turned_away_total{mapping=\"m1\"} 3\n",
                           "orv_devices_turned_away_total{mapping=\"m1\"} 4\n",
                           "orv_pairs_ended_total{mapping=\"m1\"} 5\n",
                           "orv_relayed_to_device_bytes_total{mapping=\"m1\"} 6\n",
                           "orv_relayed_to_client_bytes_total{mapping=\"m1\"} 7\n",
                           "orv_pending_connections 2\n",
                           "orv_handshakes_refused_total{reason=\"over-long line\"} 11\n",
                           "orv_handshakes_refused_total{reason=\"bad greeting\"} 0\n",
                           "orv_unknown_identifiers_total 12\n",
                           "orv_evictions_total 13\n",
                           "orv_accept_errors_total 14\n",
                           "orv_start_time_seconds 1700000000\n",
                           "orv_build_info{version=\"1.0\"} 1\n"}) {
    EXPECT_NE(body.find(line), std::string::npos) << line << body;
  }
}

TEST(StatusRender, PageShowsEachMappingAndEachPair) {
  RelayState state = state_with({"m1", "m2"});
  state.mappings[1].listener = 7;
  join(state.mappings[0].pairs[2], "10.0.0.1:5000", "10.0.0.2:6000");
  join(state.mappings[0].pairs[5], nullptr, "10.0.0.4:6002");
  RelayPair& pair = state.mappings[0].pairs[2];
  pair.joined_at = 1700000000;
  pair.client.delivered = 123;
  pair.device.delivered = 456;
  state.counters.started_at = 86400 * 365;
  state.counters.refused[static_cast<int>(Refusal::kNoPrefix)] = 3;
  const std::string page = page_of(state, 1700000065);
  for (const char* text :
       {"ORV 1.0, started 1971-01-01 00:00:00 UTC\n", "3 no identification prefix",
        "'m1' on port 9001, not listening: 1 relaying, 1 devices waiting, 0 clients waiting\n",
        "'m2' on port 9002, listening: 0 relaying",
        "  pair 2: client 10.0.0.1:5000, device 10.0.0.2:6000, joined 2023-11-14 22:13:20 UTC "
        "(65 s ago), 123 bytes to the device, 456 bytes to the client\n",
        "  pair 5: device 10.0.0.4:6002 waiting\n"}) {
    EXPECT_NE(page.find(text), std::string::npos) << text << "\n" << page;
  }
}

// A label value names exactly its identifier, escaped as the format wants; the page shows it as
// the log does, and neither text carries bytes that are not UTF-8 or could steer a terminal.
TEST(StatusRender, IdentifiersAreEscapedForEachText) {
  struct Row {
    std::string identifier, label, shown;
  } rows[] = {
      {"meter-1", "meter-1", "meter-1"},
      {"we\"ird\\id", "we\\\"ird\\\\id", "we\"ird\\\\id"},
      {"a\x01z\x7f", "a\x01z\x7f", "a\\x01z\\x7f"},
      {"caf\xc3\xa9-\xe2\x82\xac-\xf0\x9f\x93\x9f", "caf\xc3\xa9-\xe2\x82\xac-\xf0\x9f\x93\x9f",
       "caf\xc3\xa9-\xe2\x82\xac-\xf0\x9f\x93\x9f"},
      {"\xc2\x9b"
       "31m",
       "\xc2\x9b"
       "31m",
       "\\xc2\\x9b"
       "31m"},                                                       // C1 CSI
      {"x\xff\xc3", "x\\\\xff\\\\xc3", "x\\xff\\xc3"},               // not UTF-8, cut short
      {"\xed\xa0\x80", "\\\\xed\\\\xa0\\\\x80", "\\xed\\xa0\\x80"},  // a surrogate
      {"\xe0\x80\xaf", "\\\\xe0\\\\x80\\\\xaf", "\\xe0\\x80\\xaf"},  // an overlong form
      {"\xf4\x90\x80\x80", "\\\\xf4\\\\x90\\\\x80\\\\x80", "\\xf4\\x90\\x80\\x80"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shown);
    const RelayState state = state_with({row.identifier});
    EXPECT_NE(metrics_of(state).find("orv_listener_up{mapping=\"" + row.label + "\"} 0\n"),
              std::string::npos)
        << metrics_of(state);
    EXPECT_NE(page_of(state, 0).find("\n'" + row.shown + "' on port"), std::string::npos);
    bool ascii = true;
    for (const char byte : row.identifier) ascii = ascii && static_cast<unsigned char>(byte) < 0x80;
    if (ascii) {
      EXPECT_EQ(row.shown, escape_identifier(row.identifier.data(), row.identifier.size()));
    }
  }
}

// The buffer size taken at start holds both bodies with every pair joined, every number at its
// largest and the longest identifiers of the most expanding bytes; a smaller buffer is refused.
TEST(StatusRender, BodiesFitTheBufferSizedAtStart) {
  RelayState state =
      state_with({std::string(245, '\xff'), std::string(245, '\x01'), std::string(245, '\\'), "m"});
  for (Mapping& mapping : state.mappings) {
    mapping.listener = 7;
    mapping.counters = {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX,
                        UINT64_MAX, UINT64_MAX, UINT64_MAX};
    for (RelayPair& pair : mapping.pairs) {
      join(pair, "255.255.255.255:65535", "255.255.255.255:65535");
      pair.joined_at = INT64_MIN;
      pair.client.delivered = pair.device.delivered = UINT64_MAX;
    }
  }
  for (PendingSlot& slot : state.queue) slot.socket = 99;
  for (std::uint64_t& count : state.counters.refused) count = UINT64_MAX;
  state.counters.unknown_identifiers = state.counters.evictions = UINT64_MAX;
  state.counters.accept_errors = UINT64_MAX;
  state.counters.started_at = INT64_MIN;
  const std::size_t capacity = status_body_capacity(state);
  std::string out(capacity, 0);
  const std::size_t metrics = render_metrics(state, out.data(), capacity);
  const std::size_t page = render_page(state, INT64_MAX, out.data(), capacity);
  EXPECT_GT(metrics, 0u);
  EXPECT_GT(page, 0u);
  EXPECT_EQ(render_metrics(state, out.data(), metrics - 1), 0u);
  EXPECT_EQ(render_page(state, INT64_MAX, out.data(), page - 1), 0u);
}

// ---- the server in the relay's pass ---------------------------------------------------------

struct Answer {
  std::string status, headers, body;
  bool ended = false;
};
Answer split_answer(const Drained& got) {
  Answer answer;
  answer.ended = got.ended && !got.reset;
  const std::size_t head_end = got.bytes.find("\r\n\r\n");
  if (head_end == std::string::npos) return answer;
  answer.status = got.bytes.substr(0, got.bytes.find("\r\n"));
  answer.headers = got.bytes.substr(0, head_end + 2);
  answer.body = got.bytes.substr(head_end + 4);
  return answer;
}
std::string header_value(const Answer& answer, const std::string& name) {
  const std::size_t at = answer.headers.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "(none)";
  const std::size_t start = at + name.size() + 4;
  return answer.headers.substr(start, answer.headers.find("\r\n", start) - start);
}

struct StatusServerTest : RelayFixture {
  StatusServer server;
  int status_port = 0;

  void start_status(std::initializer_list<const char*> identifiers = {"m"},
                    const std::string& extra = "", const char* address = "") {
    net_startup();  // before the first socket of the test
    status_port = free_port();
    start(identifiers, "status-port " + std::to_string(status_port) + " " + address + "\n" + extra);
  }
  void TearDown() override {
    status_stop(server, state);
    RelayFixture::TearDown();
  }
  Socket status_client() { return net_connect_loopback(status_port); }
  // Opens a status connection and runs passes until the server holds it.
  Socket accepted_status_client() {
    const int before = server.open;
    const Socket socket = status_client();
    EXPECT_TRUE(cycle_until([&] { return server.open > before; }));
    return socket;
  }
  Answer ask(const std::string& request) {
    const Socket socket = status_client();
    send_text(socket, request);
    Drained got;
    EXPECT_TRUE(cycle_until([&] {
      drain(socket, got);
      return got.ended;
    }));
    net_close(socket);
    return split_answer(got);
  }
};

TEST_F(StatusServerTest, AnswersOneRequestThenEndsTheConnection) {
  start_status();
  ASSERT_TRUE(status_start(server, state));
  const std::string page = ask("GET / HTTP/1.1\r\n\r\n").body;
  struct Row {
    std::string request, status, type, body_part;
    bool head;
  } rows[] = {
      {"GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n", "HTTP/1.1 200 OK",
       "text/plain; version=0.0.4; charset=utf-8", "orv_listener_up{mapping=\"m\"} 1\n", false},
      {"GET / HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", "text/plain; charset=utf-8", "\n'm' on port",
       false},
      {"HEAD / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "text/plain; charset=utf-8", "", true},
      {"GET /nothing HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "text/plain; charset=utf-8",
       "Not Found\n", false},
      {"BREW / HTCPCP/1.0\r\n\r\n", "HTTP/1.1 400 Bad Request", "text/plain; charset=utf-8",
       "Bad Request\n", false},
      // Larger than the limit, and still sending: the answer arrives whole, not reset away.
      {"GET /" + std::string(20000, 'a'), "HTTP/1.1 431 Request Header Fields Too Large",
       "text/plain; charset=utf-8", "Request Header Fields Too Large\n", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.request.substr(0, 30));
    const Answer answer = ask(row.request);
    EXPECT_TRUE(answer.ended);
    EXPECT_EQ(answer.status, row.status);
    EXPECT_EQ(header_value(answer, "Content-Type"), row.type);
    EXPECT_EQ(header_value(answer, "Connection"), "close");
    EXPECT_EQ(header_value(answer, "Content-Length"),
              std::to_string(row.head ? page.size() : answer.body.size()));
    EXPECT_NE(answer.body.find(row.body_part), std::string::npos) << answer.body;
  }
  EXPECT_TRUE(cycle_until([&] { return server.open == 0; }));
}

TEST_F(StatusServerTest, ListenerThatCannotOpenIsLoggedAndTheRelayGoesOnWithoutIt) {
  net_startup();
  const Socket taken = net_tcp_socket();
  ASSERT_TRUE(net_bind(taken, "127.0.0.1", 0) && net_listen(taken, 1));
  start({"m"}, "status-port " + std::to_string(net_local_port(taken)) + "\n");
  EXPECT_FALSE(status_start(server, state));
  EXPECT_EQ(state.hook.serve, nullptr);
  const std::string expected =
      "Status listener on 127.0.0.1:" + std::to_string(net_local_port(taken)) + " error: ";
  std::ifstream log(folder / "orv.log", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(expected), std::string::npos) << text;
  net_close(taken);
}

TEST_F(StatusServerTest, ListensOnTheConfiguredAddressOnly) {
  start_status({"m"}, "", "127.0.0.2");
  ASSERT_TRUE(status_start(server, state));
  EXPECT_EQ(status_client(), kNoSocket);  // nothing on 127.0.0.1
}

// With 8 connections open the listener leaves the wait: a 9th waits in the backlog, costing the
// relay nothing, and is answered once a place is free.
TEST_F(StatusServerTest, NinthConnectionWaitsUntilAPlaceIsFree) {
  start_status();
  ASSERT_TRUE(status_start(server, state));
  std::vector<Socket> silent;
  for (int i = 0; i < kStatusConnections; ++i) silent.push_back(accepted_status_client());
  const Socket ninth = status_client();
  send_text(ninth, "GET / HTTP/1.1\r\n\r\n");
  relay_cycle(state);
  EXPECT_EQ(server.open, kStatusConnections);
  EXPECT_EQ(server.listener_watched, kWatchNone);
  EXPECT_FALSE(socket_ready(ninth, false));
  net_close(silent.back());
  silent.pop_back();
  Drained got;
  ASSERT_TRUE(cycle_until([&] {
    drain(ninth, got);
    return got.ended;
  }));
  EXPECT_EQ(split_answer(got).status, "HTTP/1.1 200 OK");
  for (const Socket socket : silent) net_close(socket);
  net_close(ninth);
}

// Whatever a connection is doing, it is closed 10 s after its accept: one that never sends, one
// that never reads its answer, one that read its answer but never closes.
TEST_F(StatusServerTest, EveryConnectionIsClosedTenSecondsAfterItsAccept) {
  start_status();
  ASSERT_TRUE(status_start(server, state));
  const std::int64_t start_ms = 1000000;
  clock_pin_ms(start_ms);
  const Socket silent = accepted_status_client();
  const Socket not_reading = accepted_status_client();
  const Socket not_closing = accepted_status_client();
  send_text(not_reading, "GET /metrics HTTP/1.1\r\n\r\n");
  send_text(not_closing, "GET /metrics HTTP/1.1\r\n\r\n");
  Drained answer;
  ASSERT_TRUE(cycle_until([&] {
    drain(not_closing, answer);
    return answer.ended && server.connections[1].phase != StatusPhase::kReading;
  }));
  clock_pin_ms(start_ms + kStatusConnectionMs - 1);
  relay_cycle(state);
  EXPECT_EQ(server.open, 3);
  clock_pin_ms(start_ms + kStatusConnectionMs);
  relay_cycle(state);
  EXPECT_EQ(server.open, 0);
  for (const Socket socket : {silent, not_reading}) {
    Drained got;
    ASSERT_TRUE(socket_ready(socket, false, 2000));
    drain(socket, got);
    EXPECT_TRUE(got.ended);
    net_close(socket);
  }
  net_close(not_closing);
}

std::string pattern(std::size_t size, int seed) {
  std::string bytes(size, 0);
  for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<char>((k * 131 + seed) ^ (k >> 9));
  return bytes;
}

// A pair relays 2 MB each way, once alone and once while one status client sends its request a
// byte at a time and another never reads its answer (40 long identifiers make it about 100 KB):
// the second run must not take much longer.
TEST_F(StatusServerTest, TrickledRequestAndSilentReaderDoNotSlowAPair) {
  std::string extra;
  for (int i = 0; i < 40; ++i) {
    extra += "map " + std::to_string(i) + std::string(200, 'x') + " " +
             std::to_string(free_port()) + "\n";
  }
  start_status({"m"}, extra);
  ASSERT_TRUE(status_start(server, state));
  const std::size_t m = state.mappings.size() - 1;
  const std::string to_device = pattern(2000000, 1), to_client = pattern(2000000, 2);
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n";

  const auto relay_run = [&](bool with_status) {
    const Socket client = placed_client(m);
    const Socket device = identified_device("m");
    Socket trickler = kNoSocket, silent = kNoSocket;
    if (with_status) {
      trickler = accepted_status_client();
      silent = status_client();
      send_text(silent, request);
    }
    std::size_t client_sent = 0, device_sent = 0, trickled = 0;
    Drained at_device, at_client, trickle_answer;
    const auto began = std::chrono::steady_clock::now();
    const auto push = [](Socket socket, const std::string& bytes, std::size_t& sent) {
      if (sent == bytes.size() || !socket_ready(socket, true)) return;
      const long n =
          net_send(socket, bytes.data() + sent, std::min<std::size_t>(65536, bytes.size() - sent));
      if (n > 0) sent += static_cast<std::size_t>(n);
    };
    EXPECT_TRUE(cycle_until(
        [&] {
          // The next byte of the request goes only once the server has taken the last one.
          if (with_status && trickled < request.size() &&
              server.connections[0].received == trickled) {
            send_text(trickler, request.substr(trickled++, 1));
          }
          push(client, to_device, client_sent);
          push(device, to_client, device_sent);
          drain(device, at_device, to_device.size());
          drain(client, at_client, to_client.size());
          if (with_status) drain(trickler, trickle_answer);
          return at_device.bytes.size() == to_device.size() &&
                 at_client.bytes.size() == to_client.size();
        },
        120));
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_TRUE(at_device.bytes == to_device && at_client.bytes == to_client);
    // The silent reader still holds its connection, within its 10 s.
    if (with_status && took < std::chrono::seconds(9)) {
      EXPECT_NE(server.connections[1].phase, StatusPhase::kFree);
    }
    if (with_status) {
      EXPECT_TRUE(cycle_until([&] {
        drain(trickler, trickle_answer);
        return trickle_answer.ended;
      }));
      const Answer answer = split_answer(trickle_answer);
      EXPECT_EQ(answer.status, "HTTP/1.1 200 OK");
      EXPECT_EQ(header_value(answer, "Content-Length"), std::to_string(answer.body.size()));
      EXPECT_GT(answer.body.size(), 100000u);
      net_close(trickler);
      net_close(silent);
    }
    net_close(client);
    net_close(device);
    EXPECT_TRUE(cycle_until([&] { return clients_placed(m) == 0 && devices_placed() == 0; }));
    return took;
  };
  const auto alone = relay_run(false);
  const auto beside_status = relay_run(true);
  EXPECT_LT(beside_status, 3 * alone + std::chrono::seconds(2))
      << std::chrono::duration_cast<std::chrono::milliseconds>(alone).count() << " ms alone, "
      << std::chrono::duration_cast<std::chrono::milliseconds>(beside_status).count()
      << " ms beside status clients";
}

}  // namespace
}  // namespace orv
