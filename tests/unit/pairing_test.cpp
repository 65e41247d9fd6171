// The relay pass end to end on loopback: pairing rules, what each side receives, the queue
// limits, accept pacing and handle reuse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

using Pairing = RelayFixture;

TEST_F(Pairing, DeviceJoinsTheClientThatWaitedLongestAndGetsWhatItSent) {
  start({"m"});
  const Socket first = placed_client(0), second = placed_client(0);
  send_text(second, "from second");
  net_close(first);  // pair 0 frees; the next client takes it with a later ticket
  ASSERT_TRUE(cycle_until([&] { return clients_placed(0) == 1; }));
  const Socket third = placed_client(0);
  EXPECT_EQ(mapping(0).pairs[0].client_ticket, 3);
  EXPECT_EQ(mapping(0).pairs[1].client_ticket, 2);
  const Socket device_side = identified_device("m");
  EXPECT_NE(mapping(0).pairs[1].device.socket, kNoSocket);
  EXPECT_EQ(receive(device_side, 11), "from second");
  send_text(device_side, "to second");
  EXPECT_EQ(receive(second, 9), "to second");
  for (Socket s : {second, third, device_side}) net_close(s);
}

TEST_F(Pairing, ClientJoinsTheLowestWaitingDeviceAndGetsOnlyLaterBytes) {
  start({"m"});
  const Socket first = identified_device("m", "early"), second = identified_device("m");
  net_close(identified_device("m"));
  send_text(first, "dropped");
  ASSERT_TRUE(cycle_until([&] { return mapping(0).pairs[0].device.fill == 12; }));
  ASSERT_TRUE(cycle_until([&] { return devices_placed() == 2; }));
  const Socket client_side = placed_client(0);
  EXPECT_NE(mapping(0).pairs[0].client.socket, kNoSocket);
  send_text(first, "kept");
  EXPECT_EQ(receive(client_side, 4), "kept");
  for (Socket s : {first, second, client_side}) net_close(s);
}

// Either side may send and end at once: what it sent still arrives, then the end of stream.
TEST_F(Pairing, DeliversTheTailOfASideThatEnded) {
  start({"m"});
  for (const bool client_ends : {true, false}) {
    SCOPED_TRACE(client_ends);
    const Socket client_side = placed_client(0);
    const Socket device_side = identified_device("m");
    const Socket sender = client_ends ? client_side : device_side;
    const Socket receiver = client_ends ? device_side : client_side;
    send_text(sender, "request");
    net_close(sender);
    bool ended = false;
    EXPECT_EQ(receive(receiver, 100, &ended), "request");
    EXPECT_TRUE(ended);
    EXPECT_TRUE(cycle_until([&] { return clients_placed(0) == 0 && devices_placed() == 0; }));
    net_close(receiver);
  }
}

TEST_F(Pairing, RelaysAMegabyteEachWayOverSeveralPairsByteForByte) {
  start({"a", "b"});
  constexpr std::size_t kBytes = 1 << 20;
  struct End {
    Socket socket;
    std::string out;
    Drained in;
    std::size_t sent = 0;
  };
  std::vector<End> ends;
  for (std::size_t i = 0; i < 3; ++i) {
    const Socket client_side = placed_client(i % 2);
    ends.push_back({client_side, {}, {}});
    ends.push_back({identified_device(i % 2 == 0 ? "a" : "b"), {}, {}});
  }
  for (std::size_t i = 0; i < ends.size(); ++i) {
    ends[i].out.resize(kBytes);
    for (std::size_t k = 0; k < kBytes; ++k)
      ends[i].out[k] = static_cast<char>((k * 131 + i * 7) ^ (k >> 9));
  }
  cycle_until(
      [&] {
        bool done = true;
        for (End& end : ends) {
          if (end.sent < kBytes && socket_ready(end.socket, true)) {
            const long n = net_send(end.socket, end.out.data() + end.sent,
                                    std::min<std::size_t>(16384, kBytes - end.sent));
            if (n > 0) end.sent += static_cast<std::size_t>(n);
          }
          drain(end.socket, end.in, kBytes);
          done = done && end.in.bytes.size() == kBytes;
        }
        return done;
      },
      60);
  for (std::size_t i = 0; i < ends.size(); i += 2) {
    EXPECT_TRUE(ends[i].in.bytes == ends[i + 1].out) << "pair " << i / 2 << " device to client";
    EXPECT_TRUE(ends[i + 1].in.bytes == ends[i].out) << "pair " << i / 2 << " client to device";
  }
  for (const End& end : ends) net_close(end.socket);
}

TEST_F(Pairing, TwentyFirstClientOrDeviceIsTurnedAwayAndSaidSo) {
  start({"m"}, "session-log on\n");
  std::vector<Socket> sockets;
  for (const bool devices : {false, true}) {
    for (int i = 0; i < kPairsPerMapping; ++i) {
      sockets.push_back(devices ? identified_device("m") : placed_client(0));
    }
    testing::internal::CaptureStderr();
    const Socket extra = devices ? device() : client(0);
    if (devices) send_text(extra, std::string(kGreetingLine) + "id:'m'\n");
    bool ended = false;
    receive(extra, 1, &ended);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ended);
    EXPECT_NE(log.find(devices ? "identified as 'm' turned away: every pair holds a device"
                               : "of 'm' turned away: every pair holds a client"),
              std::string::npos)
        << log;
    net_close(extra);
  }
  EXPECT_EQ(mapping(0).counters.clients_turned_away + mapping(0).counters.devices_turned_away, 2u);
  for (Socket s : sockets) net_close(s);
}

TEST_F(Pairing, EvictsAFullQueuesFirstSlotOnlyAfterMoreThanFiftySeconds) {
  start({"m"});
  clock_pin(1000);
  std::vector<Socket> waiting;
  for (int i = 0; i < kPendingSlots; ++i) {
    waiting.push_back(device());
    ASSERT_TRUE(cycle_until([&] { return slots_in_use() == i + 1; }));
  }
  const Socket oldest = state.queue[0].socket;
  const Socket late = device();
  testing::internal::CaptureStderr();
  clock_pin(1050);
  relay_cycle(state);
  relay_cycle(state);
  EXPECT_EQ(state.queue[0].socket, oldest);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  clock_pin(1051);
  ASSERT_TRUE(cycle_until([&] { return state.queue[0].accepted_at == 1051; }));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Active mode connection timeout: 127.0.0.1\n"), std::string::npos) << log;
  EXPECT_EQ(slots_in_use(), kPendingSlots);  // the late device took the freed first slot
  bool ended = false;
  receive(waiting[0], 1, &ended);
  EXPECT_TRUE(ended);
  for (Socket s : waiting) net_close(s);
  net_close(late);
}

TEST_F(Pairing, AcceptsOneConnectionPerListenerPerPass) {
  start({"m"});
  std::vector<Socket> sockets;
  for (int i = 0; i < 3; ++i) {
    sockets.push_back(client(0));
    sockets.push_back(device());
  }
  // Let every connection reach the listeners' queues before counting passes.
  ASSERT_TRUE(socket_ready(mapping(0).listener, false, 2000));
  for (int pass = 1; pass <= 3; ++pass) {
    relay_cycle(state);
    EXPECT_EQ(clients_placed(0), pass);
    EXPECT_EQ(slots_in_use(), pass);
  }
  for (Socket s : sockets) net_close(s);
}

// A pair closed in a pass frees its handles; a client accepted later in that pass may get one of
// them back and must not be read on the closed socket's readiness.
TEST_F(Pairing, NeverServesANewSocketOnAClosedOnesReadiness) {
  start({"a", "b"});
  const Socket device_side = identified_device("a");
  const Socket client_side = placed_client(0);
  net_close(device_side);
  const Socket newcomer = client(1);
  send_text(newcomer, "early");
  ASSERT_TRUE(socket_ready(mapping(0).pairs[0].device.socket, false, 2000));
  ASSERT_TRUE(socket_ready(mapping(1).listener, false, 2000));
  relay_cycle(state);
  ASSERT_EQ(clients_placed(1), 1);
  EXPECT_FALSE(channel_holds_data(mapping(1).pairs[0].client));
  EXPECT_TRUE(cycle_until([&] { return channel_holds_data(mapping(1).pairs[0].client); }));
  for (Socket s : {client_side, newcomer}) net_close(s);
}

}  // namespace
}  // namespace orv
