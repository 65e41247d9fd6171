// The poller on loopback: more sockets than one select set held, a peer's end seen without read
// interest, more ready than a wait holds, flags changed while a wait's question is out, a refused
// registration.
#include <set>

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

// Connected pairs: the watched side accepted, its peer connected; all closed at the end.
struct Connections {
  Socket listener = (net_startup(), net_open_listener({}, 0, kBacklogMax));
  std::vector<Socket> watched, peer;
  explicit Connections(int count) {
    PeerAddress address;
    for (int i = 0; i < count; ++i) {
      peer.push_back(net_connect_loopback(net_local_port(listener)));
      watched.push_back(net_accept(listener, address));
    }
  }
  ~Connections() {
    for (Socket socket : watched) net_close(socket);
    for (Socket socket : peer) net_close(socket);
    net_close(listener);
  }
};

// What the only event of a wait of at most 5 s says: "rwe" for readable, writable, ended.
std::string one_event(Poller& poller, std::uint32_t tag) {
  if (poller_wait(poller, 5000) != 1 || poller_events(poller)[0].tag != tag) return "none";
  const PollEvent& event = poller_events(poller)[0];
  return std::string(event.readable ? "r" : "") + (event.writable ? "w" : "") +
         (event.ended ? "e" : "");
}

TEST(Poller, ReportsASocketRegisteredAfterThousandsOfOthersUntilItIsRead) {
  constexpr std::uint32_t kSockets = 4200;  // both sides watched: past select's 4,096
  PollerPtr poller = poller_create(16, kSockets);
  Connections connections(kSockets / 2);
  std::vector<std::uint8_t> watched(kSockets, kUnwatched);
  for (std::uint32_t i = 0; i < kSockets; ++i) {
    const Socket socket = (i % 2 ? connections.peer : connections.watched)[i / 2];
    ASSERT_TRUE(poller_watch(*poller, socket, i, kWatchRead, watched[i])) << i;
  }
  ASSERT_EQ(net_send(connections.peer.back(), "x", 1), 1);
  EXPECT_EQ(one_event(*poller, kSockets - 2), "r");
  EXPECT_EQ(one_event(*poller, kSockets - 2), "r");  // again while unread
  char byte;
  ASSERT_EQ(net_recv(connections.watched.back(), &byte, 1), 1);
  EXPECT_EQ(poller_wait(*poller, 0), 0);
}

// More ready sockets than a wait reports: the next wait reports the others first.
TEST(Poller, ReportsEveryReadySocketWhenMoreAreReadyThanAWaitHolds) {
  PollerPtr poller = poller_create(4, 8);
  Connections connections(8);
  std::vector<std::uint8_t> watched(8, kUnwatched);
  for (std::uint32_t i = 0; i < 8; ++i) {
    ASSERT_TRUE(poller_watch(*poller, connections.watched[i], i, kWatchRead, watched[i]));
    ASSERT_EQ(net_send(connections.peer[i], "x", 1), 1);
  }
  std::set<std::uint32_t> reported;
  for (int wait = 0; wait < 2; ++wait) {
    ASSERT_EQ(poller_wait(*poller, 5000), 4);
    for (int i = 0; i < 4; ++i) reported.insert(poller_events(*poller)[i].tag);
  }
  EXPECT_EQ(reported.size(), 8u);
}

// The peer ends its stream, or resets (it closes with a byte unread).
TEST(Poller, ReportsAPeersEndWithoutReadInterest) {
  const std::tuple<unsigned, bool, std::string> rows[] = {
      {kWatchEnd, false, "e"}, {kWatchEnd, true, "rwe"}, {kWatchNone, true, "rwe"}};
  PollerPtr poller = poller_create(4, 4);
  for (const auto& [flags, reset, reported] : rows) {
    Connections connections(1);
    std::uint8_t watched = kUnwatched;
    ASSERT_TRUE(poller_watch(*poller, connections.watched[0], 7, flags, watched));
    ASSERT_TRUE(!reset || (net_send(connections.watched[0], "x", 1) == 1 &&
                           socket_ready(connections.peer[0], false, 5000)));
    net_close(connections.peer[0]);
    connections.peer.clear();
    EXPECT_EQ(one_event(*poller, 7), reported) << flags << reset;
    poller_forget(*poller, connections.watched[0], watched);
  }
}

// Interest that grows, then shrinks, while the wait before still asks about the socket (Windows
// keeps its request out between waits): the flags in force alone decide what is reported.
TEST(Poller, ReportsWhatTheFlagsInForceAsk) {
  PollerPtr poller = poller_create(4, 4);
  Connections connections(1);
  std::uint8_t watched = kUnwatched;
  ASSERT_TRUE(poller_watch(*poller, connections.watched[0], 1, kWatchRead, watched));
  EXPECT_EQ(poller_wait(*poller, 0), 0);
  ASSERT_TRUE(poller_watch(*poller, connections.watched[0], 1, kWatchRead | kWatchWrite, watched));
  EXPECT_EQ(one_event(*poller, 1), "w");
  ASSERT_TRUE(poller_watch(*poller, connections.watched[0], 1, kWatchRead, watched));
  ASSERT_EQ(net_send(connections.peer[0], "x", 1), 1);
  EXPECT_EQ(one_event(*poller, 1), "r");
}

// A socket that is not one (any more) is refused, and its record stays unwatched. (A full
// registry, Windows' own, is the relay's test of a client turned away.)
TEST(Poller, RefusedRegistrationLeavesTheSocketUnwatched) {
  PollerPtr poller = poller_create(4, 4);
  Connections connections(1);
  net_close(connections.peer[0]);
  std::uint8_t watched = kUnwatched;
  EXPECT_FALSE(poller_watch(*poller, connections.peer[0], 0, kWatchRead, watched));
  EXPECT_EQ(watched, kUnwatched);
  connections.peer.clear();
}

}  // namespace
}  // namespace orv
