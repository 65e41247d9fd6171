// The socket layer against real loopback sockets: readiness sets, waits, accept, the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include "net/net.h"

namespace orv {
namespace {

struct NetEnvironment : testing::Environment {
  void SetUp() override { ASSERT_TRUE(net_startup()); }
  void TearDown() override { net_cleanup(); }
};
const auto* const kNetEnvironment = testing::AddGlobalTestEnvironment(new NetEnvironment);

// A listener on an ephemeral port and one connection accepted from it.
struct Connection {
  Socket listener = kNoSocket, outside = kNoSocket, inside = kNoSocket;
  char address[kAddressTextBytes] = {};
  ~Connection() {
    net_close_connection(outside);
    net_close_connection(inside);
    if (listener != kNoSocket) net_close(listener);
  }
};

void connect_through_listener(Connection& c) {
  c.listener = net_tcp_socket();
  ASSERT_NE(c.listener, kNoSocket);
  ASSERT_TRUE(net_bind_any(c.listener, 0));
  ASSERT_TRUE(net_listen(c.listener, 15));
  int port = net_local_port(c.listener);
  ASSERT_GT(port, 0);
  c.outside = net_connect_loopback(port);
  ASSERT_NE(c.outside, kNoSocket);
  c.inside = net_accept(c.listener, c.address);
  ASSERT_NE(c.inside, kNoSocket);
}

TEST(SocketSet, AddsWithoutDuplicatesAndRemoves) {
  SocketSetPtr set = socket_set_create();
  socket_set_add(*set, 7);
  socket_set_add(*set, 7);
  socket_set_add(*set, kNoSocket);
  socket_set_add(*set, 3);
  EXPECT_EQ(socket_set_size(*set), 2u);
  EXPECT_TRUE(socket_set_contains(*set, 7));
  EXPECT_FALSE(socket_set_contains(*set, kNoSocket));
  socket_set_remove(*set, 7);
  socket_set_remove(*set, 99);  // not a member: nothing happens
  EXPECT_FALSE(socket_set_contains(*set, 7));
  EXPECT_TRUE(socket_set_contains(*set, 3));
  socket_set_clear(*set);
  EXPECT_EQ(socket_set_size(*set), 0u);
  EXPECT_FALSE(socket_set_contains(*set, 3));
}

TEST(SocketWait, ReportsOnlyReadySockets) {
  Connection c;
  connect_through_listener(c);
  SocketSetPtr read = socket_set_create(), write = socket_set_create();

  // Nothing to read yet, but both ends can be written.
  socket_set_add(*read, c.inside);
  socket_set_add(*read, c.listener);
  socket_set_add(*write, c.inside);
  EXPECT_EQ(socket_wait(*read, *write, 2000), 1);
  EXPECT_EQ(socket_set_size(*read), 0u);
  EXPECT_TRUE(socket_set_contains(*write, c.inside));

  ASSERT_EQ(net_send(c.outside, "x", 1), 1);
  socket_set_clear(*read);
  socket_set_clear(*write);
  socket_set_add(*read, c.inside);
  socket_set_add(*read, c.listener);
  EXPECT_EQ(socket_wait(*read, *write, 2000), 1);
  EXPECT_TRUE(socket_set_contains(*read, c.inside));
  EXPECT_FALSE(socket_set_contains(*read, c.listener));
}

TEST(SocketWait, TimesOutWithNothingReadyAndEmptySets) {
  Connection c;
  connect_through_listener(c);
  SocketSetPtr read = socket_set_create(), write = socket_set_create();
  for (bool with_socket : {true, false}) {
    socket_set_clear(*read);
    if (with_socket) socket_set_add(*read, c.inside);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(socket_wait(*read, *write, 100), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(80));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
  }
}

TEST(SocketWait, PeerThatClosedIsReadableWithEndOfStream) {
  Connection c;
  connect_through_listener(c);
  net_close_connection(c.outside);
  SocketSetPtr read = socket_set_create(), write = socket_set_create();
  socket_set_add(*read, c.inside);
  ASSERT_EQ(socket_wait(*read, *write, 2000), 1);
  char byte;
  EXPECT_EQ(net_recv(c.inside, &byte, 1), 0);
}

TEST(NetAccept, GivesThePeerAddressText) {
  Connection c;
  connect_through_listener(c);
  EXPECT_STREQ(c.address, "127.0.0.1");
}

#ifndef _WIN32
// Winsock sockets stay blocking and are only read after a readiness report; on POSIX a spurious
// report must cost one retry and not the thread.
TEST(NetRecv, EmptySocketIsARetryNotAnEnd) {
  Connection c;
  connect_through_listener(c);
  char byte;
  EXPECT_EQ(net_recv(c.inside, &byte, 1), -1);
  EXPECT_TRUE(net_error_is_retry(net_last_error()));
}

// select() cannot watch descriptors above 1023; the poll-based sets must.
TEST(SocketWait, WatchesDescriptorsAbove1023) {
  Connection c;
  connect_through_listener(c);
  Socket high = fcntl(c.inside, F_DUPFD, 3000);
  if (high < 0) GTEST_SKIP() << "descriptor limit too low";
  ASSERT_EQ(net_send(c.outside, "x", 1), 1);
  SocketSetPtr read = socket_set_create(), write = socket_set_create();
  socket_set_add(*read, high);
  EXPECT_EQ(socket_wait(*read, *write, 2000), 1);
  EXPECT_TRUE(socket_set_contains(*read, high));
  net_close(high);
}
#endif

TEST(NetBind, SecondListenerOnAListeningPortFails) {
  Socket first = net_tcp_socket();
  ASSERT_TRUE(net_bind_any(first, 0));
  ASSERT_TRUE(net_listen(first, 15));
  Socket second = net_tcp_socket();
  EXPECT_FALSE(net_bind_any(second, net_local_port(first)) && net_listen(second, 15));
  net_close(second);
  net_close(first);
}

TEST(Clock, PinnedClockHoldsUntilReleased) {
  clock_pin(1000);
  EXPECT_EQ(clock_seconds(), 1000);
  clock_pin(4294967296LL + 5);
  EXPECT_EQ(clock_seconds(), 4294967301LL);
  clock_release();
  EXPECT_GT(clock_seconds(), 1700000000LL);
}

}  // namespace
}  // namespace orv
