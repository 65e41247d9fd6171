// The poller on loopback: more sockets than one select set held, a peer's end seen without read
// interest, changes and closes of watched sockets, and refused registrations.
#include <optional>

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

// Connected pairs of sockets: the watched side accepted, its peer connected; all closed at the end.
struct Connections {
  Socket listener = (net_startup(), open_listener(0));
  std::vector<Socket> watched, peer;
  ~Connections() {
    for (Socket socket : watched) net_close(socket);
    for (Socket socket : peer) net_close(socket);
    net_close(listener);
  }
  void add(int count = 1) {
    char address[kAddressTextBytes];
    for (int i = 0; i < count; ++i) {
      peer.push_back(net_connect_loopback(net_local_port(listener)));
      watched.push_back(net_accept(listener, address));
      ASSERT_NE(watched.back(), kNoSocket);
    }
  }
};

// The one event of a wait of at most 5 s, or none.
std::optional<PollEvent> one_event(Poller& poller, int timeout_ms = 5000) {
  const int count = poller_wait(poller, timeout_ms);
  EXPECT_LE(count, 1);
  if (count < 1) return std::nullopt;
  return poller_events(poller)[0];
}

TEST(Poller, ReportsASocketRegisteredAfterThousandsOfOthersUntilItIsRead) {
  constexpr int kConnections = 2100;  // both sides watched: past select's 4,096
  PollerPtr poller = poller_create(16, 2 * kConnections);
  Connections connections;
  connections.add(kConnections);
  std::vector<std::uint8_t> watched(2 * kConnections, kUnwatched);
  for (std::uint32_t i = 0; i < 2 * kConnections; ++i) {
    const Socket socket = (i % 2 ? connections.peer : connections.watched)[i / 2];
    ASSERT_TRUE(poller_watch(*poller, socket, i, kWatchRead, watched[i])) << i;
  }
  const Socket last = connections.watched.back();
  ASSERT_EQ(net_send(connections.peer.back(), "x", 1), 1);
  for (int wait = 0; wait < 2; ++wait) {  // level-triggered: again while unread
    const std::optional<PollEvent> event = one_event(*poller);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->tag, 2u * kConnections - 2);
    EXPECT_TRUE(event->readable && !event->writable && !event->ended);
  }
  char byte;
  ASSERT_EQ(net_recv(last, &byte, 1), 1);
  EXPECT_EQ(poller_wait(*poller, 0), 0);
}

// The peer ends its stream, or resets (it closes with a byte unread); what a wait reports.
TEST(Poller, ReportsAPeersEndWithoutReadInterest) {
  const struct {
    unsigned flags;
    bool reset;
    bool readable, writable, ended;
  } rows[] = {{kWatchEnd, false, false, false, true},
              {kWatchEnd, true, true, true, true},
              {kWatchNone, true, true, true, true},
              {kWatchRead, false, true, false, false}};
  PollerPtr poller = poller_create(4, 4);
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "flags " << row.flags << ", reset " << row.reset);
    Connections connections;
    connections.add();
    std::uint8_t watched = kUnwatched;
    ASSERT_TRUE(poller_watch(*poller, connections.watched[0], 7, row.flags, watched));
    if (row.reset) {  // the byte the peer leaves unread
      ASSERT_EQ(net_send(connections.watched[0], "x", 1), 1);
      ASSERT_TRUE(socket_ready(connections.peer[0], false, 5000));
    }
    net_close(connections.peer[0]);
    connections.peer.clear();
    const std::optional<PollEvent> event = one_event(*poller);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->tag, 7u);
    EXPECT_EQ(event->readable, row.readable);
    EXPECT_EQ(event->writable, row.writable);
    EXPECT_EQ(event->ended, row.ended);
    poller_forget(*poller, connections.watched[0], watched);
  }
}

// A change is what the next wait watches; a socket forgotten, or closed while watched, leaves no
// trace, and its room serves the next socket.
TEST(Poller, ChangesTakeEffectAndForgottenOrClosedSocketsLeaveNoTrace) {
  PollerPtr poller = poller_create(4, 1);
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    Connections connections;
    connections.add();
    const Socket socket = connections.watched[0];
    std::uint8_t watched = kUnwatched;
    ASSERT_TRUE(poller_watch(*poller, socket, round, kWatchRead, watched));
    ASSERT_EQ(poller_wait(*poller, 0), 0);
    ASSERT_TRUE(poller_watch(*poller, socket, round, kWatchWrite, watched));
    const std::optional<PollEvent> event = one_event(*poller);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->tag, static_cast<std::uint32_t>(round));
    EXPECT_TRUE(event->writable && !event->readable);
    ASSERT_TRUE(poller_watch(*poller, socket, round, kWatchRead, watched));
    ASSERT_EQ(poller_wait(*poller, 0), 0);
    if (round % 2) poller_forget(*poller, socket, watched);  // else closed while watched
    net_close(socket);
    connections.watched.clear();
  }
  EXPECT_EQ(poller_wait(*poller, 0), 0);
}

// A socket that is not one is refused, as is one more than the registry holds where the
// registry is the program's own (Windows); the record then stays unwatched.
TEST(Poller, RefusedRegistrationLeavesTheSocketUnwatched) {
  PollerPtr poller = poller_create(4, 1);
  Connections connections;
  connections.add();
  const Socket closed = connections.watched[0];
  net_close(closed);
  connections.watched.clear();
  std::uint8_t watched = kUnwatched;
  EXPECT_FALSE(poller_watch(*poller, closed, 0, kWatchRead, watched));
  EXPECT_EQ(watched, kUnwatched);
  EXPECT_NE(net_last_error(), 0);
#ifdef _WIN32
  std::vector<std::uint8_t> records(64, kUnwatched);
  connections.add(64);
  std::size_t taken = 0;
  while (taken < 64 &&
         poller_watch(*poller, connections.watched[taken], 0, kWatchRead, records[taken])) {
    ++taken;
  }
  EXPECT_TRUE(taken >= 1 && taken < 64) << taken;
  EXPECT_EQ(records[taken], kUnwatched);
  poller_forget(*poller, connections.watched[0], records[0]);  // its room comes back
  EXPECT_TRUE(poller_watch(*poller, connections.watched[taken], 0, kWatchRead, records[taken]));
#endif
}

#ifndef _WIN32
// A signal (a stop, a reload) that interrupts the wait ends it early; that is no failure.
TEST(Poller, InterruptedWaitIsNoFailure) {
  PollerPtr poller = poller_create(4, 4);
  struct sigaction quiet {
  }, saved{};
  quiet.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGALRM, &quiet, &saved), 0);
  ualarm(50000, 0);
  EXPECT_EQ(poller_wait(*poller, 5000), 0);
  sigaction(SIGALRM, &saved, nullptr);
}
#endif

}  // namespace
}  // namespace orv
