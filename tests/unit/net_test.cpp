// The socket layer and the poller against real loopback sockets, and the clocks.
#include <gtest/gtest.h>

#include <chrono>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

struct Watched {
  PollerPtr poller = poller_create(16);
  std::vector<std::uint8_t> states = std::vector<std::uint8_t>(8, kUnwatched);
  void watch(Socket socket, std::uint32_t tag, unsigned flags) {
    poller_watch(*poller, socket, tag, flags, states[tag]);
  }
  // The events of one wait, as (tag, readable, writable) triples.
  std::vector<std::tuple<std::uint32_t, bool, bool>> wait(int timeout_ms = 2000) {
    std::vector<std::tuple<std::uint32_t, bool, bool>> seen;
    const int count = poller_wait(*poller, timeout_ms);
    for (int i = 0; i < count; ++i) {
      const PollEvent& event = poller_events(*poller)[i];
      seen.emplace_back(event.tag, event.readable, event.writable);
    }
    return seen;
  }
};
using Events = std::vector<std::tuple<std::uint32_t, bool, bool>>;

TEST(Poller, ReportsReadySocketsInTagOrderAndFollowsChanges) {
  Link a = make_link(), b = make_link();
  Watched w;
  w.watch(b.inside, 1, kWatchRead);
  w.watch(a.inside, 5, kWatchRead | kWatchWrite);
  EXPECT_EQ(w.wait(), (Events{{5, false, true}}));
  ASSERT_EQ(net_send(b.outside, "x", 1), 1);
  ASSERT_EQ(net_send(a.outside, "y", 1), 1);
  ASSERT_TRUE(socket_ready(a.inside, false, 2000) && socket_ready(b.inside, false, 2000));
  EXPECT_EQ(w.wait(), (Events{{1, true, false}, {5, true, true}}));
  w.watch(a.inside, 5, kWatchNone);
  EXPECT_EQ(w.wait(), (Events{{1, true, false}}));
  poller_forget(*w.poller, b.inside, w.states[1]);
  EXPECT_EQ(w.wait(100), Events{});
  for (Socket s : {a.inside, a.outside, b.inside, b.outside}) net_close(s);
}

TEST(Poller, TimesOutWithNothingReadyOrNothingWatched) {
  Link link = make_link();
  for (const bool with_socket : {true, false}) {
    Watched w;
    if (with_socket) w.watch(link.inside, 0, kWatchRead);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(poller_wait(*w.poller, 100), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(80));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
  }
  net_close(link.inside);
  net_close(link.outside);
}

TEST(Poller, PeerThatClosedIsReadableWithEndOfStream) {
  Link link = make_link();
  net_close_connection(link.outside);
  Watched w;
  w.watch(link.inside, 0, kWatchRead);
  ASSERT_EQ(w.wait(), (Events{{0, true, false}}));
  char byte;
  EXPECT_EQ(net_recv(link.inside, &byte, 1), 0);
  net_close(link.inside);
}

TEST(NetAccept, GivesThePeerAddressTextAndPort) {
  const Socket listener = net_tcp_socket();
  ASSERT_TRUE(net_bind_any(listener, 0) && net_listen(listener, kBacklogMax));
  const Socket outside = net_connect_loopback(net_local_port(listener));
  char address[kAddressTextBytes];
  int port = 0;
  const Socket inside = net_accept(listener, address, &port);
  EXPECT_STREQ(address, "127.0.0.1");
  EXPECT_GT(port, 0);
  // A second listener on a listening port fails.
  const Socket second = net_tcp_socket();
  EXPECT_FALSE(net_bind_any(second, net_local_port(listener)) && net_listen(second, 15));
  for (Socket s : {listener, outside, inside, second}) net_close(s);
}

#ifndef _WIN32
// A full channel is not read, but its peer's leaving must still be reported; and descriptors
// above 1023 are watched like any other.
TEST(Poller, ReportsAPeersEndWithoutReadInterestAndHighDescriptors) {
  Link link = make_link();
  const Socket high = fcntl(link.inside, F_DUPFD, 3000);
  if (high < 0) GTEST_SKIP() << "descriptor limit too low";
  Watched w;
  w.watch(high, 3, kWatchEnd);
  ASSERT_EQ(net_send(link.outside, "data", 4), 4);
  EXPECT_EQ(w.wait(200), Events{});
  net_close_connection(link.outside);
  ASSERT_EQ(poller_wait(*w.poller, 2000), 1);
  EXPECT_TRUE(poller_events(*w.poller)[0].ended);
  char byte;
  EXPECT_EQ(net_recv(link.inside, &byte, 1), 1);  // the data is still there, before the end
  net_close(high);
  net_close(link.inside);
}
#endif

TEST(Clock, PinnedClocksHoldUntilReleased) {
  clock_pin(1000);
  EXPECT_EQ(clock_seconds(), 1000);
  EXPECT_EQ(clock_milliseconds(), 1000000);
  clock_pin_ms(4294967296LL * 1000 + 5999);
  EXPECT_EQ(clock_seconds(), 4294967301LL);
  clock_release();
  EXPECT_GT(clock_seconds(), 1700000000LL);
}

}  // namespace
}  // namespace orv
