// Placement of clients and devices into pairs, and the two channel moves on real sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

// Two connected loopback sockets: `relay` plays the relay's side, `peer` the remote one.
struct Link {
  Socket relay = kNoSocket, peer = kNoSocket;
};
Link make_link() {
  net_startup();
  Socket listener = net_tcp_socket();
  EXPECT_TRUE(net_bind_any(listener, 0) && net_listen(listener, 15));
  Link link;
  link.peer = net_connect_loopback(net_local_port(listener));
  char address[kAddressTextBytes];
  link.relay = net_accept(listener, address);
  net_close(listener);
  return link;
}

bool wait_readable(Socket socket) {
  SocketSetPtr read = socket_set_create(), write = socket_set_create();
  socket_set_add(*read, socket);
  return socket_wait(*read, *write, 2000) > 0;
}

// True when the peer sees end of stream (or a reset) within two seconds.
bool peer_sees_end(Socket peer) {
  if (!wait_readable(peer)) return false;
  char byte;
  return net_recv(peer, &byte, 1) <= 0;
}

struct Placement : ::testing::Test {
  Mapping mapping = make_mapping("meter-1", 9001);
  std::int64_t tickets = 0;
  std::vector<Link> links;
  Socket fresh() {
    links.push_back(make_link());
    return links.back().relay;
  }
  void TearDown() override {
    close_mapping(mapping);
    for (Link& link : links) net_close_connection(link.peer);
  }
};

TEST(MappingModel, BuildsFreeAndComparesExactly) {
  Mapping m = make_mapping("meter-1", 901);
  EXPECT_EQ(m.listener, kNoSocket);
  for (const RelayPair& pair : m.pairs) {
    EXPECT_EQ(pair.client.socket, kNoSocket);
    EXPECT_EQ(pair.device.socket, kNoSocket);
    EXPECT_EQ(pair.client.fill + pair.device.fill, 0u);
  }
  EXPECT_TRUE(mapping_equals(m, "meter-1"));
  for (const char* other : {"Meter-1", "meter-1 ", "meter-", ""}) {
    EXPECT_FALSE(mapping_equals(m, other)) << other;
  }
}

TEST_F(Placement, ClientsTakeTicketsFromOneAndJoiningAWaitingDeviceTakesNone) {
  place_client(mapping, fresh(), tickets);
  place_client(mapping, fresh(), tickets);
  EXPECT_EQ(mapping.pairs[0].client_ticket, 1);
  EXPECT_EQ(mapping.pairs[1].client_ticket, 2);
  Mapping other = make_mapping("meter-2", 9002);
  place_device(other, fresh());
  place_client(other, fresh(), tickets);  // joins the device
  EXPECT_EQ(tickets, 2);
  EXPECT_NE(other.pairs[0].client.socket, kNoSocket);
  close_mapping(other);
}

TEST_F(Placement, DeviceJoinsTheSmallestTicketNotTheLowestPair) {
  for (int i = 0; i < 8; ++i) place_client(mapping, fresh(), tickets);
  mapping.pairs[0].client_ticket = 5;
  mapping.pairs[7].client_ticket = 3;
  for (int i = 1; i < 7; ++i) mapping.pairs[i].client_ticket = 9;
  place_device(mapping, fresh());
  EXPECT_NE(mapping.pairs[7].device.socket, kNoSocket);
  EXPECT_EQ(mapping.pairs[0].device.socket, kNoSocket);
}

TEST_F(Placement, ClientJoinsTheLowestWaitingDeviceNotTheEarliest) {
  place_device(mapping, fresh());
  place_device(mapping, fresh());
  channel_close(mapping.pairs[0].device);
  place_device(mapping, fresh());  // arrives last, takes pair 0
  place_client(mapping, fresh(), tickets);
  EXPECT_NE(mapping.pairs[0].client.socket, kNoSocket);
  EXPECT_EQ(mapping.pairs[1].client.socket, kNoSocket);
}

TEST_F(Placement, TwentyFirstClientOrDeviceIsClosed) {
  for (bool devices : {false, true}) {
    for (int i = 0; i < kPairsPerMapping; ++i) {
      devices ? place_device(mapping, fresh()) : place_client(mapping, fresh(), tickets);
    }
    Socket extra = fresh();
    devices ? place_device(mapping, extra) : place_client(mapping, extra, tickets);
    EXPECT_TRUE(peer_sees_end(links.back().peer)) << (devices ? "device" : "client");
    for (const RelayPair& pair : mapping.pairs) EXPECT_NE(pair.client.socket, extra);
    close_mapping(mapping);
  }
}

TEST_F(Placement, WaitingClientKeepsItsBytesWaitingDeviceLosesThem) {
  place_client(mapping, fresh(), tickets);
  std::memcpy(mapping.pairs[0].client.buffer, "abc", 3);
  mapping.pairs[0].client.fill = 3;
  place_device(mapping, fresh(), reinterpret_cast<const unsigned char*>("xy"), 2);
  EXPECT_EQ(mapping.pairs[0].client.fill, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(mapping.pairs[0].device.buffer), 2), "xy");

  // A device that waits keeps its first bytes only until a client joins.
  place_device(mapping, fresh(), reinterpret_cast<const unsigned char*>("q\0r"), 3);
  EXPECT_EQ(mapping.pairs[1].device.fill, 3u);
  EXPECT_EQ(mapping.pairs[1].device.buffer[1], 0);
  place_client(mapping, fresh(), tickets);
  EXPECT_EQ(mapping.pairs[1].device.fill, 0u);
  EXPECT_EQ(mapping.pairs[1].client.fill, 0u);
}

TEST(Channels, ReceiveAppendsAndEndOfStreamClosesOrMarksEnded) {
  for (bool peer_present : {false, true}) {
    Link link = make_link();
    Channel channel;
    channel.socket = link.relay;
    ASSERT_EQ(net_send(link.peer, "abc", 3), 3);
    net_close_connection(link.peer);
    // The bytes first, then the end.
    while (channel.fill < 3 && channel.socket != kNoSocket) channel_receive(channel, peer_present);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(channel.buffer), channel.fill), "abc");
    for (int i = 0; i < 100 && channel.socket != kNoSocket && !channel.ended; ++i) {
      channel_receive(channel, peer_present);
    }
    if (peer_present) {
      EXPECT_TRUE(channel.ended);
      EXPECT_NE(channel.socket, kNoSocket);
      channel_close(channel);
      EXPECT_FALSE(channel.ended);
    } else {
      EXPECT_EQ(channel.socket, kNoSocket);
    }
    EXPECT_EQ(channel.fill, 3u);  // closing leaves the buffer alone
  }
}

TEST(Channels, PartialSendKeepsTheRestInOrder) {
  Link from = make_link(), to = make_link();
  Channel channel;
  channel.socket = from.relay;
  std::string sent;
  long total = 0;
  // Fill the peer until a send takes less than it was offered.
  for (int round = 0; round < 10000; ++round) {
    for (std::size_t i = channel.fill; i < kChannelBytes; ++i) {
      channel.buffer[i] = static_cast<unsigned char>('a' + (total + i - channel.fill) % 26);
    }
    total += static_cast<long>(kChannelBytes - channel.fill);
    channel.fill = kChannelBytes;
    if (!socket_ready(to.relay, true)) break;
    channel_send(channel, to.relay);
    ASSERT_NE(channel.socket, kNoSocket);
    if (channel.fill > 0) break;
  }
  ASSERT_GT(channel.fill, 0u);
  // Everything that arrives is the alphabet stream, unbroken, and its length adds up.
  std::size_t received = 0;
  char buffer[65536];
  for (;;) {
    while (channel.fill > 0 && socket_ready(to.relay, true)) channel_send(channel, to.relay);
    if (!socket_ready(to.peer, false)) {
      if (channel.fill == 0) break;
      continue;
    }
    long n = net_recv(to.peer, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    for (long i = 0; i < n; ++i) {
      ASSERT_EQ(buffer[i], 'a' + static_cast<long>(received + i) % 26) << received + i;
    }
    received += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(received, static_cast<std::size_t>(total));
  for (Socket s : {from.relay, from.peer, to.relay, to.peer}) net_close(s);
}

TEST(Channels, SendToAResetPeerClosesTheChannelsOwnSocket) {
  Link from = make_link(), to = make_link();
  // Closing with unread data makes the system answer with a reset.
  ASSERT_EQ(net_send(to.relay, "unread", 6), 6);
  ASSERT_TRUE(wait_readable(to.peer));
  net_close(to.peer);
  Channel channel;
  channel.socket = from.relay;
  for (int i = 0; i < 200 && channel.socket != kNoSocket; ++i) {
    std::memset(channel.buffer, 'z', 100);
    channel.fill = 100;
    SocketSetPtr read = socket_set_create(), write = socket_set_create();
    socket_set_add(*write, to.relay);
    if (socket_wait(*read, *write, 1000) > 0) channel_send(channel, to.relay);
  }
  EXPECT_EQ(channel.socket, kNoSocket);
  EXPECT_NE(to.relay, kNoSocket);  // the peer socket is left to the caller
  net_close(to.relay);
  net_close(from.peer);
}

}  // namespace
}  // namespace orv
