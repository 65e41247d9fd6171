// The relay pass on loopback: who joins whom, what each side receives, the queue's limit, and
// handle reuse within a pass.
#include <string>
#include <vector>

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

using Pairing = RelayFixture;

// Tickets, not pair order: the device joins the client that waited longest and gets what that
// client sent while waiting.
TEST_F(Pairing, DeviceJoinsTheClientThatWaitedLongestAndGetsWhatItSent) {
  start({"m"});
  const Socket first = placed_client(0), second = placed_client(0);
  send_text(second, "from second");
  net_close(first);  // pair 0 frees; the next client takes it with a later ticket
  ASSERT_TRUE(cycle_until([&] { return clients_placed(0) == 1; }));
  const Socket third = placed_client(0);
  EXPECT_EQ(mapping(0).pairs[0].client_ticket, 3);
  const Socket device_side = identified_device("m");
  EXPECT_NE(mapping(0).pairs[1].device.socket, kNoSocket);
  EXPECT_EQ(receive(device_side, 11), "from second");
  send_text(device_side, "to second");
  EXPECT_EQ(receive(second, 9), "to second");
  for (Socket s : {second, third, device_side}) net_close(s);
}

// A client joins the lowest waiting device, and gets nothing that device sent before the client
// came, whether with its identification line or later.
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

// Either side may send and close at once: what it sent still arrives, then the end of stream.
TEST_F(Pairing, DeliversTheTailOfASideThatClosed) {
  start({"m"});
  for (const bool client_ends : {true, false}) {
    SCOPED_TRACE(client_ends ? "client ends" : "device ends");
    const Socket client_side = placed_client(0), device_side = identified_device("m");
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

// With all 20 slots identifying, a newcomer evicts the first slot only once it waited more
// than 50 s.
TEST_F(Pairing, EvictsAFullQueuesFirstSlotOnlyAfterMoreThanFiftySeconds) {
  start({"m"});
  clock_pin(1000);
  std::vector<Socket> waiting;
  for (int i = 0; i < kPendingSlots; ++i) {
    waiting.push_back(device());
    ASSERT_TRUE(cycle_until([&] { return slots_in_use() == i + 1; }));
  }
  const Socket oldest = state.queue[0].socket, late = device();
  clock_pin(1050);
  for (int pass = 0; pass < 2; ++pass) EXPECT_EQ(stderr_of([&] { relay_cycle(state); }), "");
  EXPECT_EQ(state.queue[0].socket, oldest);
  clock_pin(1051);
  const std::string log = stderr_of(
      [&] { ASSERT_TRUE(cycle_until([&] { return state.queue[0].accepted_at == 1051; })); });
  EXPECT_NE(log.find("Active mode connection timeout: 127.0.0.1\n"), std::string::npos) << log;
  EXPECT_EQ(slots_in_use(), kPendingSlots);  // the late device took the freed first slot
  EXPECT_TRUE(closed_by_relay(waiting[0]));
  for (std::size_t i = 1; i < waiting.size(); ++i) net_close(waiting[i]);
  net_close(late);
}

// A pair closed in a pass frees its handles; a client accepted later in that pass may get one of
// them back and must not be read on the closed socket's readiness.
TEST_F(Pairing, NeverServesANewSocketOnAClosedOnesReadiness) {
  start({"a", "b"});
  const Socket device_side = identified_device("a"), client_side = placed_client(0);
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
