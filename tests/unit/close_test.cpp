// How pairs end: nothing lost at a close or a failed side; and what holds the relay: devices that
// never identify, waiting sides that leave, listeners out of descriptors, silent peers.
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

using Closing = RelayFixture;

// One side sends 300,000 bytes and ends its sending side while the other keeps talking and reads
// slowly: the slow reader still gets every byte, then a normal end of stream.
TEST_F(Closing, PeerStillSendingGetsEveryByteThenANormalEnd) {
  start({"m"});
  for (const bool client_ends : {true, false}) {
    SCOPED_TRACE(client_ends ? "client ends" : "device ends");
    const Socket client_side = placed_client(0), device_side = identified_device("m");
    const auto [ender, talker] =
        client_ends ? std::pair(client_side, device_side) : std::pair(device_side, client_side);
    const std::string payload = pattern(300000, client_ends), chatter(1000, 'c');
    std::size_t sent = 0;
    Drained heard, ignored;
    ASSERT_TRUE(cycle_until(
        [&] {
          if (send_some(ender, payload, sent)) net_shutdown_send(ender);
          if (socket_ready(talker, true)) (void)net_send(talker, chatter.data(), chatter.size());
          drain(talker, heard, heard.bytes.size() + 1000);  // a slow reader
          drain(ender, ignored);
          return heard.ended;
        },
        60));
    EXPECT_FALSE(heard.reset);
    EXPECT_TRUE(heard.bytes == payload) << heard.bytes.size() << " bytes";
    EXPECT_EQ(clients_placed(0) + devices_placed(), 0);
    for (Socket s : {client_side, device_side}) net_close(s);
    EXPECT_TRUE(cycle_until([&] { return closing_sockets() == 0; }));
  }
}

// The device fills the relay's channel towards a client that reads nothing, then resets while the
// client still sends to it: what the relay already had from the device still reaches the client.
TEST_F(Closing, FailedSideKeepsTheBytesItSentForTheOtherSide) {
  start({"m"});
  const Socket client_side = placed_client(0), device_side = identified_device("m");
  const std::string payload = pattern(32 << 20, 7), chatter(4000, 'c');
  RelayPair& pair = mapping(0).pairs[0];
  std::size_t sent = 0;
  // The client reads nothing, so the device's channel fills and stays full.
  ASSERT_TRUE(cycle_until(
      [&] {
        send_some(device_side, payload, sent);
        return pair.device.fill == kChannelBytes && !pair.client.writable;
      },
      30));
  // Closing with the client's bytes unread makes the device's system answer with a reset.
  send_text(client_side, chatter);
  ASSERT_TRUE(cycle_until([&] { return pair.client.delivered == chatter.size(); }));
  ASSERT_TRUE(socket_ready(device_side, false, 2000));
  const std::uint64_t held = pair.device.delivered + pair.device.fill;
  net_close(device_side);
  send_text(client_side, chatter);
  // The relay learns of the reset while the client still reads nothing.
  ASSERT_TRUE(cycle_until([&] { return pair.device.broken || pair.device.socket == kNoSocket; }));
  Drained heard;
  ASSERT_TRUE(cycle_until(
      [&] {
        if (socket_ready(client_side, true)) (void)net_send(client_side, chatter.data(), 4000);
        drain(client_side, heard);
        return heard.ended;
      },
      30));
  EXPECT_GE(heard.bytes.size(), held);
  EXPECT_TRUE(heard.bytes == payload.substr(0, heard.bytes.size()));
  net_close(client_side);
}

// A device that greets but never identifies holds its slot 10 s, not a millisecond more.
TEST_F(Closing, DeviceThatNeverIdentifiesIsClosedAfterTheHandshakeTimeout) {
  start({"m"}, "handshake-timeout 10\n");
  clock_pin_ms(5000000);
  const Socket idle = device();
  send_text(idle, kGreetingLine);
  ASSERT_TRUE(cycle_until([&] { return slots_in_use() == 1; }));
  clock_pin_ms(5000000 + 9999);
  relay_cycle(state);
  EXPECT_EQ(slots_in_use(), 1);
  clock_pin_ms(5000000 + 10000);
  const std::string log = stderr_of([&] { relay_cycle(state); });
  EXPECT_EQ(slots_in_use(), 0);
  EXPECT_NE(log.find("Active mode connection timeout: 127.0.0.1\n"), std::string::npos) << log;
  EXPECT_EQ(state.counters.evictions, 1u);
  EXPECT_TRUE(closed_by_relay(idle));
}

// POSIX: select shows no peer shutdown without read interest; descriptor limits, namespaces.
#ifndef _WIN32
// A waiting client that filled its channel and left frees its pair for the next client.
TEST_F(Closing, WaitingClientWithAFullChannelIsSeenLeaving) {
  start({"m"});
  const Socket gone = placed_client(0);
  send_text(gone, std::string(5000, 'x'));
  ASSERT_TRUE(cycle_until([&] { return mapping(0).pairs[0].client.fill == kChannelBytes; }));
  net_close(gone);
  ASSERT_TRUE(cycle_until([&] { return clients_placed(0) == 0; }));
  const Socket live = placed_client(0), device_side = identified_device("m");
  send_text(device_side, "hello");
  EXPECT_EQ(receive(live, 5), "hello");
  net_close(live);
  net_close(device_side);
}

// Out of descriptors, accept fails while the listener stays readable: the listener rests
// (100 ms, doubling) and the failure is logged at most once a second.
TEST_F(Closing, ListenerOutOfDescriptorsRestsAndLogsAtMostOnceASecond) {
  start({"m"});
  std::vector<Socket> waiting;
  for (int i = 0; i < 3; ++i) waiting.push_back(client(0));
  ASSERT_TRUE(socket_ready(mapping(0).listener, false, 2000));
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const int lowest_free = dup(0);
  close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free + 1);  // the capture below takes one
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
  std::size_t lines = 0;
  for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
    ++lines;
  EXPECT_EQ(lines, 2u) << log;
  clock_pin_ms(7000000 + 3000);
  EXPECT_TRUE(cycle_until([&] { return clients_placed(0) == 3; }));
  for (Socket s : waiting) net_close(s);
}

// A device whose network vanished without a FIN or reset (in private namespaces): keepalive
// ends the connection so the pair frees.
TEST_F(Closing, KeepaliveEndsAPairWhoseDeviceVanishedSilently) {
  const auto sh = [](const std::string& command) {
    return system((command + " 2>/dev/null").c_str());
  };
  const auto teardown = [&] { (void)!sh("ip netns del orv-ka-r; ip netns del orv-ka-p"); };
  teardown();
  if (sh("ip netns add orv-ka-r && ip netns add orv-ka-p && "
         "ip link add orvka0 netns orv-ka-r type veth peer name orvka1 netns orv-ka-p && "
         "ip -n orv-ka-r addr add 192.0.2.1/24 dev orvka0 && "
         "ip -n orv-ka-p addr add 192.0.2.2/24 dev orvka1 && ip -n orv-ka-r link set lo up && "
         "ip -n orv-ka-r link set orvka0 up && ip -n orv-ka-p link set orvka1 up") != 0) {
    teardown();
    GTEST_SKIP() << "network namespaces need root and iproute2";
  }
  const int home = open("/proc/self/ns/net", O_RDONLY);
  const int relay_ns = open("/run/netns/orv-ka-r", O_RDONLY);
  const int peer_ns = open("/run/netns/orv-ka-p", O_RDONLY);
  ASSERT_EQ(setns(relay_ns, CLONE_NEWNET), 0);
  start({"m"}, "keepalive 1\n");
  const Socket client_side = placed_client(0);
  ASSERT_EQ(setns(peer_ns, CLONE_NEWNET), 0);
  const Socket device_side = net_tcp_socket();
  sockaddr_in address{
      AF_INET, htons(static_cast<std::uint16_t>(device_port)), {inet_addr("192.0.2.1")}, {}};
  ASSERT_EQ(connect(device_side, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(setns(home, CLONE_NEWNET), 0);
  send_text(device_side, std::string(kGreetingLine) + "id:'m'\nup");
  ASSERT_EQ(receive(client_side, 2), "up");
  ASSERT_EQ(sh("ip -n orv-ka-p link set orvka1 down"), 0);
  EXPECT_TRUE(cycle_until([&] { return devices_placed() == 0; }, 30));
  EXPECT_TRUE(closed_by_relay(client_side));
  net_close(device_side);
  relay_stop(state);
  for (int fd : {home, relay_ns, peer_ns}) close(fd);
  teardown();
}
#endif

}  // namespace
}  // namespace orv
