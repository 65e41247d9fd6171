// The relay pass on loopback: the handshake, who joins whom, and how pairs and pending devices end.
#ifndef _WIN32
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <regex>

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

const std::string kGreeting = kGreetingLine;

// Each closed without a byte and counted; with no session log, only unknown identifiers logged.
TEST_F(Relay, RefusesMalformedHandshakesLoggingOnlyUnknownIdentifiers) {
  const std::pair<std::string, std::string> cases[] = {
      {"tcp-active-mode:1\r\nid:'m'\n", "refused: bad greeting"},
      {"TCP-ACTIVE-MODE:1\nid:'m'\n", "refused: bad greeting"},
      {kGreeting + "id:'m'\r\n", "refused: no closing quote"},
      {kGreeting + "ID:'m'\n", "refused: no identification prefix"},
      {kGreeting + std::string(200, 'a'), "refused: over-long line"},
      {kGreeting + "id:'m", "refused: ended early"},
      {kGreeting + "id:'M'\n", "invalid identifier 'M' from 127.0.0.1"},
      {kGreeting + "id:''\n", "invalid identifier '' from 127.0.0.1"},
      {kGreeting + "id:'a\rb\\c\x1b[2J\x7f\xc3\xa9'\n",
       "invalid identifier 'a\\x0db\\\\c\\x1b[2J\\x7f\xc3\xa9' from 127.0.0.1"},
  };
  for (const auto& [bytes, logged] : cases) {
    SCOPED_TRACE(logged);
    const Socket device_side = connect(device_port);
    const std::string log = stderr_of([&] {
      send_text(device_side, bytes);
      net_shutdown_send(device_side);  // "ended early" needs the end; the others are over before
      EXPECT_EQ(receive(device_side), "");
    });
    EXPECT_EQ(log.find(logged + "\n") != std::string::npos, logged.starts_with("invalid")) << log;
  }
  const std::uint64_t* refused = state.counters.refused;  // in the order of Refusal
  EXPECT_EQ(std::vector(refused, refused + 5), (std::vector<std::uint64_t>{2, 1, 1, 1, 1}));
  EXPECT_EQ(state.counters.unknown_identifiers, 3u);
}

// Tickets, not pair order; a waiting client's bytes are delivered, a waiting device's dropped.
TEST_F(Relay, JoinsTheLongestWaitingClientOrTheLowestWaitingDevice) {
  const Socket first = placed_client(), second = placed_client();
  send_text(second, "from second");
  hang_up(first);  // pair 0 frees; the next client takes it with a later ticket
  ASSERT_TRUE(cycle_until([&] { return mapping(0).pairs[0].client.socket == kNoSocket; }));
  placed_client();
  const std::string payload("to\0second\n'", 11);  // after the identification line, in its send
  EXPECT_EQ(receive(identified_device(0, payload), 11), "from second");
  EXPECT_EQ(receive(second, 11), payload);
  const Socket lowest = identified_device(1, "early");
  identified_device(1);
  send_text(lowest, "dropped");
  ASSERT_TRUE(cycle_until([&] { return mapping(1).pairs[0].device.fill == 12; }));
  const Socket client_side = placed_client(1);
  send_text(lowest, "kept");
  EXPECT_EQ(receive(client_side, 4), "kept");
}

// A client accepted in the pass that closed a pair may get one of its handles back.
TEST_F(Relay, NeverServesANewSocketOnAClosedOnesReadiness) {
  placed_client();
  hang_up(identified_device());
  send_text(connect(mapping(1).port), "early");
  ASSERT_TRUE(socket_ready(mapping(0).pairs[0].device.socket, false, 2000));
  ASSERT_TRUE(socket_ready(mapping(1).listener, false, 2000));
  relay_cycle(state);
  ASSERT_NE(mapping(1).pairs[0].client.socket, kNoSocket);
  EXPECT_FALSE(channel_holds_data(mapping(1).pairs[0].client));
  EXPECT_TRUE(cycle_until([&] { return channel_holds_data(mapping(1).pairs[0].client); }));
}

// The ender closes at once, or half-closes while the other side talks and reads slowly.
TEST_F(Relay, TheOtherSideGetsEveryByteThenANormalEnd) {
  const std::tuple<bool, std::size_t, bool> rows[] = {
      {true, 7, true}, {false, 7, true}, {true, 300000, false}, {false, 300000, false}};
  for (const auto& [client_ends, size, closes] : rows) {
    SCOPED_TRACE(testing::Message() << "client ends " << client_ends << ", closes " << closes);
    Socket ender = placed_client(), talker = identified_device();
    if (!client_ends) std::swap(ender, talker);
    const std::string payload = pattern(size, client_ends), chatter(closes ? 0 : 1000, 'c');
    std::size_t sent = 0;
    Drained heard, ignored;
    ASSERT_TRUE(cycle_until([&] {
      if (send_some(ender, payload, sent)) closes ? hang_up(ender) : net_shutdown_send(ender);
      if (socket_ready(talker, true)) (void)net_send(talker, chatter.data(), chatter.size());
      drain(talker, heard, heard.bytes.size() + 1000);  // a slow reader
      if (!closes) drain(ender, ignored);
      return heard.ended;
    }));
    EXPECT_FALSE(heard.reset);
    EXPECT_TRUE(heard.bytes == payload) << heard.bytes.size() << " bytes";
    EXPECT_EQ(mapping(0).pairs[0].client.socket, mapping(0).pairs[0].device.socket);  // both none
  }
}

// A device resets while the relay holds its bytes and the client still sends: they still arrive.
TEST_F(Relay, FailedSideKeepsTheBytesItSentForTheOtherSide) {
  const Socket client_side = placed_client(), device_side = identified_device();
  const std::string payload = pattern(32 << 20, 7), chatter(4000, 'c');
  RelayPair& pair = mapping(0).pairs[0];
  std::size_t sent = 0;
  ASSERT_TRUE(cycle_until([&] {
    send_some(device_side, payload, sent);
    return pair.device.fill == kChannelBytes && !pair.client.writable;
  }));
  // Closing with the client's bytes unread makes the device's system answer with a reset.
  send_text(client_side, chatter);
  ASSERT_TRUE(cycle_until([&] { return pair.client.delivered == chatter.size(); }));
  ASSERT_TRUE(socket_ready(device_side, false, 2000));
  const std::uint64_t held = pair.device.delivered + pair.device.fill;
  hang_up(device_side);
  send_text(client_side, chatter);
  ASSERT_TRUE(cycle_until([&] { return pair.device.broken || pair.device.socket == kNoSocket; }));
  Drained heard;
  ASSERT_TRUE(cycle_until([&] {
    if (socket_ready(client_side, true)) (void)net_send(client_side, chatter.data(), 4000);
    drain(client_side, heard);
    return heard.ended;
  }));
  EXPECT_GE(heard.bytes.size(), held);
  EXPECT_TRUE(heard.bytes == payload.substr(0, heard.bytes.size()));
}

// Closed silently, and logged, after the handshake-timeout of its arrival, or after 50 s when a
// full queue is asked.
TEST_F(Relay, PendingDeviceIsClosedOnlyOnceItsTimeIsUp) {
  // handshake-timeout, devices arriving, and when the first of them is still held, then closed (ms)
  const std::tuple<int, int, std::int64_t, std::int64_t> rows[] = {
      {10, 1, 9999, 10000}, {0, kPendingSlots + 1, 50999, 51000}};
  for (const auto& [timeout, devices, held_ms, closed_ms] : rows) {
    state.config.handshake_timeout_seconds = timeout;
    clock_pin_ms(1000000);
    const Socket first = connect(device_port);
    for (int i = 1; i < devices; ++i) connect(device_port);
    const PendingSlot& last = state.queue[std::min(devices, kPendingSlots) - 1];
    ASSERT_TRUE(cycle_until([&] { return last.socket != kNoSocket; }));
    state.config.handshake_timeout_seconds = 1;  // as a reload sets it: for later arrivals only
    clock_pin_ms(1000000 + held_ms);
    for (int pass = 0; pass < 2; ++pass) EXPECT_EQ(stderr_of([&] { relay_cycle(state); }), "");
    EXPECT_FALSE(socket_ready(first, false));  // still held
    clock_pin_ms(1000000 + closed_ms);
    const std::string log = stderr_of([&] { EXPECT_EQ(receive(first), ""); });
    EXPECT_NE(log.find("Active mode connection timeout: 127.0.0.1\n"), std::string::npos) << log;
    EXPECT_EQ(state.queue[0].socket != kNoSocket, devices > 1);  // the newcomer took its slot
  }
  EXPECT_EQ(state.counters.evictions, 2u);
}

// Natively with bytes still unread behind the full channel; on Windows with just what the channel
// takes, since Wine's socket driver reports the end only once nothing is left unread.
TEST_F(Relay, WaitingClientWithAFullChannelIsSeenLeaving) {
  const Socket gone = placed_client();
#ifdef _WIN32
  const std::size_t sent = kChannelBytes;
#else
  const std::size_t sent = 5000;
#endif
  send_text(gone, std::string(sent, 'x'));
  ASSERT_TRUE(cycle_until([&] { return mapping(0).pairs[0].client.fill == kChannelBytes; }));
  hang_up(gone);
  EXPECT_TRUE(cycle_until([&] { return mapping(0).pairs[0].client.socket == kNoSocket; }));
}

// A wait that keeps failing rests the pass, 100 ms doubling to 1 s, logged once a second at most.
TEST_F(Relay, FailedWaitRestsThePassAndLogsAtMostOnceASecond) {
  using Wait = int (*)(Poller&, int);
  const Wait failing = [](Poller&, int) { return net_set_last_error(22), -1; };
  const Wait idle = [](Poller&, int) { return 0; };
  // Each pass's wait and its rest; a good wait starts the rests over. Lines at 0, 1.5, 2.5, 3.5 s.
  const std::pair<Wait, std::int64_t> passes[] = {{failing, 100}, {failing, 200},  {failing, 400},
                                                  {failing, 800}, {failing, 1000}, {failing, 1000},
                                                  {idle, 0},      {failing, 100}};
  clock_pin_ms(9000000);
  const std::string log = stderr_of([&] {
    for (const auto& [wait, rest] : passes) {
      const std::int64_t before = clock_milliseconds();
      state.wait = wait;
      relay_cycle(state);
      EXPECT_EQ(clock_milliseconds() - before, rest);
    }
  });
  const std::regex line("Readiness wait failed: 22\n");
  const std::sregex_iterator first(log.begin(), log.end(), line), end;
  EXPECT_EQ(std::distance(first, end), 4) << log;
}

#ifdef _WIN32
// With the poller's registry full, a new client is closed at once and counted; room brings it in.
TEST_F(Relay, ClientThePollerCannotWatchIsTurnedAwayAndCounted) {
  relay_cycle(state);  // the active-mode listener in the wait
  const Socket listener = peers.emplace_back(net_open_listener({}, 0, kBacklogMax));
  std::vector<std::uint8_t> records(1000, kUnwatched);
  PeerAddress address;
  std::size_t i = 0;  // the test's own sockets fill the relay's poller
  while (connect(net_local_port(listener)) != kNoSocket &&
         poller_watch(*state.poller, peers.emplace_back(net_accept(listener, address)),
                      kHookTagBase, kWatchNone, records[i]))
    ++i;
  const Socket last_in = peers[peers.size() - 3];  // the last one the poller took
  const std::string log = stderr_of([&] { EXPECT_EQ(receive(connect(mapping(0).port)), ""); });
  EXPECT_NE(log.find("Readiness watch failed: 10055\n"), std::string::npos) << log;
  EXPECT_EQ(state.counters.watch_refusals, 1u);
  poller_forget(*state.poller, last_in, records[i - 1]);
  EXPECT_TRUE(placed_client() != kNoSocket && mapping(0).pairs[0].client.socket != kNoSocket);
}
#endif

// POSIX: descriptor limits, namespaces.
#ifndef _WIN32

// Accept fails while the listener stays readable: it rests, and logs once a second at most.
TEST_F(Relay, ListenerOutOfDescriptorsRestsAndLogsAtMostOnceASecond) {
  for (int i = 0; i < 3; ++i) connect(mapping(0).port);
  ASSERT_TRUE(socket_ready(mapping(0).listener, false, 2000));
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const int lowest_free = dup(0);
  close(lowest_free);
  const rlimit tight{static_cast<rlim_t>(lowest_free + 1), saved.rlim_max};  // capture takes one
  const std::string log = stderr_of([&] {
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    // (ms since the first attempt, attempts so far): the rest is 100 ms, then 200 ms.
    const std::pair<int, std::uint64_t> steps[] = {{0, 1}, {0, 1}, {100, 2}, {250, 2}, {1300, 3}};
    for (const auto& [at, attempts] : steps) {
      clock_pin_ms(7000000 + at);
      relay_cycle(state);
      EXPECT_EQ(state.counters.accept_errors, attempts) << at;
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  });
  const std::string line = "Accept error on master listen socket: 24\n";
  const std::size_t second = log.find(line, log.find(line) + 1);  // and no third
  EXPECT_TRUE(second != std::string::npos && log.rfind(line) == second) << log;
  clock_pin_ms(7000000 + 3000);
  EXPECT_TRUE(cycle_until([&] { return mapping(0).counters.clients_accepted == 3; }));
}

// A device whose network vanished without a FIN or reset (private network namespaces).
TEST_F(RelayFixture, KeepaliveEndsAPairWhoseDeviceVanishedSilently) {
  const auto sh = [](std::string command) { return system((command + " 2>/dev/null").c_str()); };
  const auto teardown = [&] { (void)!sh("ip netns del orv-kr; ip netns del orv-kp"); };
  teardown();
  if (sh("ip netns add orv-kr && ip netns add orv-kp && ip link add orvk0 netns orv-kr type veth "
         "peer name orvk1 netns orv-kp && ip -n orv-kr link set lo up && ip -n orv-kr link set "
         "orvk0 up && ip -n orv-kr addr add 192.0.2.1/24 dev orvk0 && ip -n orv-kp link set "
         "orvk1 up && ip -n orv-kp addr add 192.0.2.2/24 dev orvk1")) {
    teardown();
    GTEST_SKIP() << "network namespaces need root and iproute2";
  }
  const int home = open("/proc/self/ns/net", O_RDONLY);
  const int relay_ns = open("/run/netns/orv-kr", O_RDONLY);
  const int peer_ns = open("/run/netns/orv-kp", O_RDONLY);
  ASSERT_EQ(setns(relay_ns, CLONE_NEWNET), 0);
  start();
  state.config.keepalive_seconds = 1;
  const Socket client_side = placed_client();
  ASSERT_EQ(setns(peer_ns, CLONE_NEWNET), 0);
  const Socket device_side =
      peers.emplace_back(net_connect(ipv4_address({192, 0, 2, 1}), device_port));
  ASSERT_NE(device_side, kNoSocket);
  ASSERT_EQ(setns(home, CLONE_NEWNET), 0);
  send_text(device_side, kGreeting + "id:'m'\nup");
  ASSERT_EQ(receive(client_side, 2), "up");
  ASSERT_EQ(sh("ip -n orv-kp link set orvk1 down"), 0);
  EXPECT_TRUE(cycle_until([&] { return mapping(0).pairs[0].device.socket == kNoSocket; }));
  EXPECT_EQ(receive(client_side), "");
  for (int fd : {home, relay_ns, peer_ns}) close(fd);
  teardown();
}
#endif

}  // namespace
}  // namespace orv
