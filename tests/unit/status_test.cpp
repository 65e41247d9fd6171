// The status listener: rendering, requests, and connections served without holding up the pass.
#include <regex>

#include "host/run.h"
#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

// The bodies as the server renders them, into a buffer of the size sized at start.
std::string body_of(decltype(&render_page) render, const RelayState& state, std::int64_t now) {
  std::string body(status_body_capacity(state), 0);
  body.resize(render(state, now, body.data(), body.size()));
  return body;
}
std::string metrics_of(const RelayState& state) {
  std::string body(status_body_capacity(state), 0);
  body.resize(render_metrics(state, body.data(), body.size()));
  return body;
}

// The buffers sized at start hold every body at its largest: every pair joined, the longest
// identifier expanded most. Rows: an identifier, as a metrics label, as the page shows it, in JSON.
TEST(StatusRender, IdentifiersAreEscapedAndTheLargestBodiesFit) {
  const std::string rows[][4] = {
      {"we\"ird\\id", "we\\\"ird\\\\id", "we\"ird\\\\id", "we\\\"ird\\\\\\\\id"},
      {"a\x01z\x7f", "a\x01z\x7f", "a\\x01z\\x7f", "a\\\\x01z\\\\x7f"},
      {"\xc2\x9b[31m", "\xc2\x9b[31m", "\\xc2\\x9b[31m", "\\\\xc2\\\\x9b[31m"},  // C1
      {"x\xff\xc3", "x\\\\xff\\\\xc3", "x\\xff\\xc3", "x\\\\xff\\\\xc3"},        // not UTF-8
  };
  RelayState state;
  for (const auto& row : rows) state.mappings.push_back(make_mapping(row[0], 65535));
  state.mappings.push_back(make_mapping(std::string(245, '\xff'), 65535));
  state.config_path = "/etc/orv/orv.conf" + std::string(4000, '\x01');
  IpAddress longest;  // the longest address text there is
  parse_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", longest);
  const Channel widest{.socket = 1000, .delivered = UINT64_MAX, .peer = make_peer(longest, 65535)};
  for (Mapping& mapping : state.mappings)
    for (RelayPair& pair : mapping.pairs) pair = {widest, widest, 0, INT64_MIN};
  const std::string metrics = metrics_of(state), page = body_of(render_page, state, INT64_MAX),
                    json = body_of(render_json, state, INT64_MAX);
  for (const auto& [identifier, label, shown, in_json] : rows) {
    EXPECT_NE(metrics.find("{mapping=\"" + label + "\"} "), std::string::npos) << shown;
    EXPECT_NE(page.find("\n'" + shown + "' on port"), std::string::npos) << shown;
    EXPECT_NE(json.find("{\"id\":\"" + in_json + "\",\"port\":65535,"), std::string::npos) << shown;
  }
}

// Times are the relay's local time as its log writes it, with the zone's offset at that moment.
TEST(StatusRender, TimesAreLocalWithTheOffsetOfTheirMoment) {
#ifdef _WIN32
  GTEST_SKIP() << "zone rules in TZ are POSIX";
#else
  const char* zone = std::getenv("TZ");
  const std::string saved = zone != nullptr ? zone : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  const std::pair<std::int64_t, std::string> rows[] = {
      {1700000000, "2023-11-14T23:13:20+01:00"},
      {1690000000, "2023-07-22T06:26:40+02:00"},
      {INT64_MAX, "10000-01-01T00:59:59+01:00"},  // the last second shown, 9999 in UTC
  };
  RelayState state;
  for (const auto& [seconds, local] : rows) {
    state.counters.started_at = seconds;
    const std::string page = body_of(render_page, state, 1700000000);
    const std::string json = body_of(render_json, state, 1700000000);
    EXPECT_TRUE(page.starts_with("ORV 1.0, times in the relay's local time (UTC+01:00)\n"));
    EXPECT_NE(page.find("\nstarted: " +
                        local.substr(0, local.size() - 6).replace(local.find('T'), 1, " ") + ", "),
              std::string::npos)
        << page;
    EXPECT_NE(json.find("\"started\":\"" + local + "\""), std::string::npos) << json;
  }
  zone != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
#endif
}

// Since when each side waits and a pair relays; when a device was last seen (identified or gone)
// and a pair last ended, and whether one is connected: what a person and an alert ask.
TEST_F(Relay, TellsSinceWhenSidesWaitAndWhenDevicesWereLastSeen) {
  const auto page = [&](std::int64_t now) { return body_of(render_page, state, now); };
  const auto sample = [](const char* name, const char* mapping, int value) {
    return std::string(name) + "{mapping=\"" + mapping + "\"} " + std::to_string(value) + "\n";
  };
  clock_pin(1000);
  placed_client();
  clock_pin(1010);
  const Socket waiting = identified_device(1);
  const std::regex waits(R"(pair 0: client [0-9.:]+, waiting since [-0-9 :]+ \(25 s\)\n)"
                         R"((.|\n)*pair 0: device [0-9.:]+, waiting since [-0-9 :]+ \(15 s\)\n)");
  EXPECT_TRUE(std::regex_search(page(1025), waits)) << page(1025);
  for (const auto& part :
       {sample("orv_device_connected", "m", 0), sample("orv_device_connected", "n", 1),
        sample("orv_device_last_seen_timestamp_seconds", "n", 1010),
        sample("orv_device_last_seen_timestamp_seconds", "m", 0)})
    EXPECT_NE(metrics_of(state).find(part), std::string::npos) << part;
  clock_pin(1030);
  const Socket device = identified_device(0);
  EXPECT_TRUE(std::regex_search(page(1031), std::regex(R"(, relaying since [-0-9 :]+ \(1 s\), )")))
      << page(1031);
  clock_pin(1040);
  hang_up(device);
  ASSERT_TRUE(cycle_until([&] { return mapping(0).counters.pairs_ended == 1; }));
  clock_pin(1050);
  hang_up(waiting);
  ASSERT_TRUE(cycle_until([&] { return mapping(1).pairs[0].device.socket == kNoSocket; }));
  for (const auto& part : {sample("orv_device_connected", "m", 0),
                           sample("orv_device_last_seen_timestamp_seconds", "m", 1040),
                           sample("orv_last_pair_end_timestamp_seconds", "m", 1040),
                           sample("orv_device_last_seen_timestamp_seconds", "n", 1050),
                           sample("orv_last_pair_end_timestamp_seconds", "n", 0)})
    EXPECT_NE(metrics_of(state).find(part), std::string::npos) << part;
}

struct StatusServerTest : Relay {
  void SetUp() override {
    Relay::SetUp();
    state.config.status_port = free_port();
    ASSERT_TRUE(status_start(server, state));
  }
  // A connection that sent the request; held: once the server took it in.
  Socket status_client(const std::string& request, bool held = false,
                       const std::string& from = "127.0.0.1") {
    const int before = server.open;
    const Socket socket = connect_from(from, state.config.status_port);
    if (!request.empty()) send_text(socket, request);
    EXPECT_TRUE(!held || cycle_until([&] { return server.open > before; }));
    return socket;
  }
};

// Fed byte by byte, a request is classified only once whole; then answered, and the stream ended.
// Only a request that accepts text/html (a browser's) gets the page for browsers.
TEST_F(StatusServerTest, ParsesEachRequestOnlyWholeAndAnswersIt) {
  const std::string rows[][3] = {
      {"GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n", "200 OK", "text/plain; version=0.0.4"},
      {"GET /?x[]=1 HTTP/1.0\nAccept: */*\n\n", "200 OK", "text/plain"},
      {"GET / HTTP/1.1\r\nhost: h\r\naCCept: text/plain, Text/HTML;q=0.9\r\n\r\n", "200 OK",
       "text/html"},
      {"GET / HTTP/1.1\r\nX-Accept: text/html\r\n\r\nAccept: text/html\r\n\r\n", "200 OK",
       "text/plain"},
      {"GET /status.json HTTP/1.1\r\nAccept: text/html\r\n\r\n", "200 OK", "application/json"},
      {"HEAD /metrics HTTP/1.1\r\n\r\n", "200 OK", "text/plain; version=0.0.4"},
      {"GET /metrics/ HTTP/1.1\r\n\r\n", "404 Not Found", "text/plain"},
      {"GET /metrics\r\n\r\n", "400 Bad Request", "text/plain"},
      {"GET / HTTP/1.1\r\nX: " + std::string(kStatusRequestBytes - 23, 'p') + "\r\n\r\n", "200 OK",
       "text/plain"},
      {"GET /" + std::string(5000, 'a'), "431 Request Header Fields Too Large", "text/plain"},
  };
  for (const auto& [bytes, status, type] : rows) {
    SCOPED_TRACE(bytes.substr(0, 60));
    const std::size_t blank = std::min(bytes.find("\n\r\n"), bytes.find("\n\n"));
    for (std::size_t length = 0; length <= std::min(blank, kStatusRequestBytes - 1); ++length)
      ASSERT_EQ(parse_status_request(bytes.data(), length).kind, StatusRequest::kIncomplete);
    const Socket asking = status_client(bytes);
    const std::string got = receive(asking);
    hang_up(asking);  // or it holds one of its address's connections until its time is up
    EXPECT_TRUE(got.starts_with("HTTP/1.1 " + status + "\r\n")) << got;
    const std::string type_line = "\r\nContent-Type: " + type + (type[0] == 'a' ? "\r\n" : ";");
    for (const std::string& header :
         {std::string("\r\nConnection: close\r\n"), std::string("\r\nContent-Length: "), type_line})
      EXPECT_NE(got.find(header), std::string::npos) << header;
    const std::string length = std::to_string(got.size() - got.find("\r\n\r\n") - 4);
    const bool head = bytes.starts_with("HEAD");  // a length, but no body
    EXPECT_EQ(got.find("\r\nContent-Length: " + length + "\r\n") == std::string::npos, head);
  }
}

// A reload moves the listener and brings mappings that need larger answers; a connection taken
// in before it is answered from the state after it.
TEST_F(StatusServerTest, FollowsAReloadOfItsPortAndOfTheMappings) {
  const int old_port = state.config.status_port;
  const Socket early = status_client("", true);
  std::ofstream conf(folder / "orv.conf", std::ios::binary);
  conf << "active-mode-port " << device_port << "\nstatus-port " << free_port() << "\n";
  const std::string name(200, 'x');  // 50 of them do not fit the answers sized for m and n
  for (int i = 0; i < 50; ++i) conf << "map " << name << i << " " << mapping(0).port << "\n";
  conf.close();
  stderr_of([&] { reload_relay(state, server); });
  EXPECT_EQ(net_connect_loopback(old_port), kNoSocket);
  send_text(early, "GET /metrics HTTP/1.1\r\n\r\n");
  for (const Socket socket : {early, status_client("GET /metrics HTTP/1.1\r\n\r\n")}) {
    const std::string answer = receive(socket);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK")) << answer.substr(0, 40);
    EXPECT_NE(answer.find("{mapping=\"" + name + "49\"} "), std::string::npos);
    EXPECT_NE(answer.find("\norv_reloads_total 1\n"), std::string::npos);
  }
}

// Each says which step failed; the relay runs without the status listener, and does not start
// without its active-mode listener (here on "::", its IPv4 side taken by the running relay).
TEST_F(Relay, ListenersThatCannotOpenAreLoggedWithTheStepThatFailed) {
  state.config.status_address = "192.0.2.1";  // no interface here has that address
  state.config.status_port = 9;
  std::string log = stderr_of([&] { EXPECT_FALSE(status_start(server, state)); });
  EXPECT_NE(log.find("Status listener on 192.0.2.1:9 error: bind failed with "), std::string::npos)
      << log;
  std::ofstream(folder / "orv.conf", std::ios::binary)
      << "listen-address ::\nactive-mode-port " << device_port << "\n";
  RelayState second;
  log = stderr_of([&] { EXPECT_FALSE(orv_start(second, (folder / "orv.conf").string())); });
  EXPECT_NE(log.find("TCP listen\ton [::]:" + std::to_string(device_port) + " error: bind failed"),
            std::string::npos)
      << log;
}

// Four at most from one address, a newcomer closing the oldest still silent; of eight, silent
// ones end 2 s after their accept, one that does not read its answer at 10 s, one that trickles
// its request is answered while a pair relays; a 9th request waits for a free connection.
TEST_F(StatusServerTest, NoAddressHoldsItAndSilenceEndsAConnectionAfterTwoSeconds) {
  clock_pin_ms(1000000);
  const std::string request = "GET /metrics HTTP/1.1\r\n\r\n";
  const auto connection_from = [&](const char* source) -> const StatusConnection& {
    IpAddress address;
    parse_address(source, address);
    return *std::find_if(std::begin(server.connections), std::end(server.connections),
                         [&](const StatusConnection& c) { return c.peer == address; });
  };
  std::vector<Socket> silent;
  for (int i = 0; i < 2 * kStatusConnectionsPerAddress; ++i) silent.push_back(status_client(""));
  for (int i = 0; i < kStatusConnectionsPerAddress; ++i) EXPECT_EQ(receive(silent[i]), "");
  const Socket asking = status_client(request);
  EXPECT_TRUE(receive(asking).starts_with("HTTP/1.1 200 OK"));
  hang_up(asking);
  ASSERT_TRUE(cycle_until([&] { return server.open == kStatusConnectionsPerAddress - 1; }));
  const Socket unread = status_client(request, true, "127.0.0.2");
  const Socket trickling = status_client("", true, "127.0.0.3");
  const StatusConnection& trickled_into = connection_from("127.0.0.3");
  for (int i = 4; server.open < kStatusConnections; ++i)
    status_client("", true, "127.0.0." + std::to_string(i));
  const Socket ninth = status_client(request, false, "127.0.0.9");
  const Socket client = placed_client(), device = identified_device();
  const std::string bytes = pattern(400000, 1);
  std::size_t sent = 0, trickled = 0;
  Drained at_device;
  ASSERT_TRUE(cycle_until([&] {
    if (trickled < request.size() && trickled_into.received == trickled)
      send_text(trickling, request.substr(trickled++, 1));
    send_some(client, bytes, sent);
    return drain(device, at_device, bytes.size()) && trickled == request.size();
  }));
  EXPECT_TRUE(at_device.bytes == bytes);
  EXPECT_TRUE(receive(trickling).starts_with("HTTP/1.1 200 OK"));
  clock_pin_ms(1000000 + kStatusRequestMs - 1);
  relay_cycle(state);
  EXPECT_FALSE(socket_ready(ninth, false));
  clock_pin_ms(1000000 + kStatusRequestMs);
  EXPECT_TRUE(receive(ninth).starts_with("HTTP/1.1 200 OK"));
  EXPECT_EQ(receive(silent.back()), "");
  clock_pin_ms(1000000 + kStatusConnectionMs - 1);
  relay_cycle(state);
  EXPECT_NE(connection_from("127.0.0.2").socket, kNoSocket);  // it does not read, yet
  clock_pin_ms(1000000 + kStatusConnectionMs);
  EXPECT_TRUE(receive(unread).starts_with("HTTP/1.1 200 OK"));
}

}  // namespace
}  // namespace orv
