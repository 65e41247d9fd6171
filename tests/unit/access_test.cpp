// Who may connect: both address families, allowlists, limits per source, and a log no flood wipes.
#include <sstream>

#include "diag/peer_log.h"
#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

// Whether a line of log begins with start (after its timestamp) and ends with end.
bool has_line(const std::string& log, const std::string& start, const std::string& end) {
  for (std::size_t at = log.find(start); at != std::string::npos; at = log.find(start, at + 1)) {
    const std::string line = log.substr(at, log.find('\n', at) - at);
    if (line.ends_with(end)) return true;
  }
  return false;
}

struct Access : RelayFixture {
  Socket device_from(const std::string& source, std::size_t index, const std::string& after = "") {
    const Socket socket = connect_from(source, device_port);
    send_text(socket, kGreetingLine + ("id:'" + mapping(index).identifier + "'\n" + after));
    return socket;
  }
  bool pairs_free(std::size_t index) {
    for (const RelayPair& pair : mapping(index).pairs)
      if (pair.client.socket != kNoSocket || pair.device.socket != kNoSocket) return false;
    return true;
  }
  std::string peer_text(const std::string& host, Socket socket) {
    return host + ":" + std::to_string(net_local_port(socket));
  }
};

// Through "::", every byte both ways; the log and the status page show each side in its family.
TEST_F(Access, PairsAnIpv6DeviceWithAnIpv4ClientAndShowsBothAddresses) {
  start("listen-address ::\nsession-log on\nstatus-port " + std::to_string(free_port()) + " ::1\n");
  std::string page, client_text, device_text;
  const std::string log = stderr_of([&] {
    ASSERT_TRUE(status_start(server, state));
    const Socket client = connect_from("127.0.0.1", mapping(0).port);
    ASSERT_TRUE(cycle_until([&] { return mapping(0).counters.clients_accepted == 1; }));
    const Socket device = device_from("::1", 0);
    ASSERT_TRUE(cycle_until([&] { return mapping(0).counters.devices_identified == 1; }));
    client_text = peer_text("127.0.0.1", client);
    device_text = peer_text("[::1]", device);
    const std::string up = pattern(300000, 1), down = pattern(300000, 2);
    std::size_t up_sent = 0, down_sent = 0;
    Drained at_device, at_client;
    ASSERT_TRUE(cycle_until([&] {
      send_some(client, up, up_sent);
      send_some(device, down, down_sent);
      return drain(device, at_device, up.size()) & drain(client, at_client, down.size());
    }));
    EXPECT_TRUE(at_device.bytes == up && at_client.bytes == down);
    const Socket asking = connect_from("::1", state.config.status_port);
    send_text(asking, "GET / HTTP/1.1\r\n\r\n");
    page = receive(asking);
  });
  EXPECT_NE(page.find("client " + client_text + ", device " + device_text + ", relaying since"),
            std::string::npos)
      << page;
  EXPECT_TRUE(has_line(log, "Device " + device_text, " as 'm', joined client " + client_text))
      << log;
  EXPECT_TRUE(has_line(log, "Status page on [::1]:" + std::to_string(state.config.status_port), ""))
      << log;
}

// Rows: who connects, from where, to which mapping, and the line that refuses it ("": allowed).
// Through "::", IPv4 peers arrive mapped and are matched as IPv4.
TEST_F(Access, AllowlistsLetInOnlyTheirPrefixesAndRefusedPeersGetNoByte) {
  start(
      "listen-address ::\nsession-log on\nallow-devices 127.0.0.0/29 ::1\n"
      "allow-devices-of m 127.0.0.2\nallow-clients 127.0.0.0/30\n"
      "allow-clients-of n ::ffff:127.0.0.8/125 ::1\n");
  const std::string not_as = " refused: identifier not allowed from this address";
  const struct {
    Side side;
    std::string from;
    std::size_t index;
    std::string refused_start, refused_end;
  } rows[] = {
      {Side::kDevice, "127.0.0.2", 0, "", ""},
      {Side::kDevice, "::1", 1, "", ""},
      {Side::kDevice, "127.0.0.9", 1, "Device connection from 127.0.0.9:", " not allowed"},
      {Side::kDevice, "::1", 0, "Handshake from [::1]:", not_as},
      {Side::kDevice, "127.0.0.3", 0, "Handshake from 127.0.0.3:", not_as},
      {Side::kClient, "127.0.0.1", 0, "", ""},
      {Side::kClient, "127.0.0.9", 1, "", ""},
      {Side::kClient, "::1", 1, "", ""},
      {Side::kClient, "127.0.0.5", 0, "Client 127.0.0.5:", " of 'm' not allowed"},
      {Side::kClient, "::1", 0, "Client [::1]:", " of 'm' not allowed"},
      {Side::kClient, "127.0.0.2", 1, "Client 127.0.0.2:", " of 'n' not allowed"},
  };
  const std::string client_from[] = {"127.0.0.1", "::1"}, device_from_[] = {"127.0.0.2", "::1"};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(side_text(row.side)) + " from " + row.from);
    const bool device = row.side == Side::kDevice;
    const std::size_t i = row.index;
    const std::string log = stderr_of([&] {
      Socket partner =
          device ? connect_from(client_from[i], mapping(i).port) : device_from(device_from_[i], i);
      ASSERT_TRUE(cycle_until([&] { return !pairs_free(i); }));
      const Socket tested =
          device ? device_from(row.from, i) : connect_from(row.from, mapping(i).port);
      if (row.refused_start.empty()) {
        send_text(tested, "x");
        EXPECT_EQ(receive(partner, 1), "x");
        send_text(partner, "y");
        EXPECT_EQ(receive(tested, 1), "y");
      } else {
        EXPECT_EQ(receive(tested), "");
        EXPECT_FALSE(socket_ready(partner, false));
      }
      hang_up(tested);
      hang_up(partner);
      ASSERT_TRUE(cycle_until([&] { return pairs_free(i); }));
    });
    EXPECT_TRUE(row.refused_start.empty() || has_line(log, row.refused_start, row.refused_end))
        << log;
  }
  EXPECT_EQ(state.counters.devices_not_allowed, 1u);
  EXPECT_EQ(state.counters.refused[static_cast<int>(Refusal::kNotAllowedAs)], 2u);
  EXPECT_EQ(mapping(0).counters.clients_not_allowed, 2u);
  EXPECT_EQ(mapping(1).counters.clients_not_allowed, 1u);
}

// 40 silent connections from one address hold four places; a device from another is taken at
// once (the clock stands still: no place frees by age).
TEST_F(Access, SilentConnectionsFromOneAddressHoldOnlyTheirShareOfThePlaces) {
  start("handshakes-per-address 4\n");
  clock_pin_ms(1000000);
  for (int i = 0; i < 40; ++i) connect_from("127.0.0.1", device_port);
  ASSERT_TRUE(cycle_until([&] { return state.counters.devices_over_address_limit == 36; }));
  const Socket client = placed_client();
  device_from("127.0.0.2", 0, "hello");
  EXPECT_EQ(receive(client, 5), "hello");
}

// A client that waited client-wait-timeout leaves, as a waiting client; a device waits on.
TEST_F(Access, WaitingClientLeavesAfterItsTimeoutWhileADeviceWaitsOn) {
  start("client-wait-timeout 5\nsession-log on\n");
  clock_pin_ms(1000000);
  const Socket client = placed_client(0), device = identified_device(1);
  clock_pin_ms(1000000 + 4999);
  relay_cycle(state);
  EXPECT_FALSE(socket_ready(client, false));
  clock_pin_ms(1000000 + 5000);
  const std::string log = stderr_of([&] { EXPECT_EQ(receive(client), ""); });
  EXPECT_TRUE(has_line(log, "Waiting client " + peer_text("127.0.0.1", client), " of 'm' left"));
  clock_pin_ms(1000000 + 100000000);
  const Socket joining = placed_client(1);
  send_text(joining, "z");
  EXPECT_EQ(receive(device, 1), "z");
}

// Unknown identifiers from 8 connections at a time for 5 s: ten lines a second, the rest counted
// in one line a second; the log grows by a few kilobytes and keeps what came before.
TEST_F(Access, AFloodOfUnknownIdentifiersCostsTheLogAFewKilobytes) {
  start();
  const auto log_bytes = [&] {  // orv.log and orv.log.1, the older one perhaps not there yet
    return fs::file_size(folder / "orv.log") +
           (fs::exists(folder / "orv.log.1") ? fs::file_size(folder / "orv.log.1") : 0);
  };
  stderr_of([] { log_message(kSeverityNotice, "Before the flood"); });
  const std::uintmax_t before = log_bytes();
  const std::string log = stderr_of([&] {
    for (int step = 0; step < 50; ++step) {
      clock_pin_ms(1000000 + 100 * step);
      std::vector<Socket> flood;
      for (int i = 0; i < 8; ++i) {
        flood.push_back(connect(device_port));
        send_text(flood.back(), kGreetingLine + std::string("id:'nobody\xe2\x80\xae'\n"));
      }
      for (const Socket socket : flood) {
        EXPECT_EQ(receive(socket), "");
        hang_up(socket);
      }
    }
    clock_pin_ms(1000000 + 6000);
    relay_cycle(state);
  });
  std::uint64_t logged = 0, left_out = 0;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    logged += line.ends_with("invalid identifier 'nobody\\xe2\\x80\\xae' from 127.0.0.1");
    if (line.ends_with(" lines left out: invalid identifier"))
      left_out += std::stoull(line.substr(24));
  }
  EXPECT_EQ(state.counters.unknown_identifiers, 400u);
  EXPECT_EQ(logged, 5u * kPeerLinesPerSecond);
  EXPECT_EQ(logged + left_out, 400u);
  EXPECT_LE(log_bytes() - before, 6000u);
  std::ifstream kept(folder / "orv.log", std::ios::binary);
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(kept), {}).find("Before the flood"),
            std::string::npos);
}

}  // namespace
}  // namespace orv
