// Test helpers: waiting with a deadline, test-side loopback sockets, and a relay run pass by pass.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "diag/log.h"
#include "status/status.h"

namespace orv {

// Heap allocations inside the relay passes the fixture runs, which must make none; counted by
// the test binary's operator new (pass_allocations.cpp).
inline bool g_in_pass = false;
inline std::size_t g_pass_allocations = 0;

inline int free_port() {
  net_startup();
  const Socket probe = net_open_listener({}, 0, kBacklogMax);
  const int port = net_local_port(probe);
  net_close(probe);
  return port;
}

// Whether a test-side socket is readable (or writable) within timeout_ms.
inline bool socket_ready(Socket socket, bool for_write, int timeout_ms = 0) {
  static PollerPtr poller = poller_create(4, 4);
  std::uint8_t watched = kUnwatched;
  poller_watch(*poller, socket, 0, for_write ? kWatchWrite : kWatchRead, watched);
  const bool ready = poller_wait(*poller, timeout_ms) > 0;
  poller_forget(*poller, socket, watched);
  return ready;
}

struct Drained {
  std::string bytes;
  bool ended = false, reset = false;
};
// Reads what is there; true once the stream ended or `limit` bytes arrived.
inline bool drain(Socket socket, Drained& into, std::size_t limit = SIZE_MAX) {
  char buffer[16384];
  while (!into.ended && into.bytes.size() < limit && socket_ready(socket, false)) {
    const long n = net_recv(socket, buffer, std::min(sizeof buffer, limit - into.bytes.size()));
    if (n > 0)
      into.bytes.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || !net_error_is_retry(net_last_error()))
      into.ended = true, into.reset = n < 0;
  }
  return into.ended || into.bytes.size() >= limit;
}

// Sends the next piece of bytes[sent..] if the socket takes it; true when that was the last.
inline bool send_some(Socket socket, const std::string& bytes, std::size_t& sent) {
  if (sent == bytes.size() || !socket_ready(socket, true)) return false;
  const std::size_t piece = std::min<std::size_t>(65536, bytes.size() - sent);
  sent += static_cast<std::size_t>(std::max(net_send(socket, bytes.data() + sent, piece), 0L));
  return sent == bytes.size();
}

// Bytes that differ from their neighbours, so a lost or repeated piece shows.
inline std::string pattern(std::size_t size, int seed) {
  std::string bytes(size, 0);
  for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<char>((k * 31 + seed) ^ (k >> 8));
  return bytes;
}

inline std::string stderr_of(const std::function<void()>& run) {
  testing::internal::CaptureStderr();
  run();
  return testing::internal::GetCapturedStderr();
}

// A relay on loopback, started by the test: its configuration in a temp folder, passes on demand.
struct RelayFixture : ::testing::Test {
  RelayState state;
  StatusServer server;  // started by the tests of the status listener
  int device_port = free_port();
  std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("orv-relay-" + std::to_string(device_port));
  std::vector<Socket> peers;  // test-side sockets, closed once the relay stopped

  // With the mappings "m" and "n", each on a fresh port, and more lines of orv.conf.
  void start(const std::string& more = "") {
    std::filesystem::create_directories(folder);
    set_data_folder(folder.string());
    std::ofstream(folder / "orv.conf", std::ios::binary)
        << "active-mode-port " << device_port << "\nmap m " << free_port() << "\nmap n "
        << free_port() << "\n"
        << more;
    ASSERT_TRUE(orv_start(state, (folder / "orv.conf").string()));
  }
  void TearDown() override {
    EXPECT_EQ(std::exchange(g_pass_allocations, 0), 0u) << "allocations in relay passes";
    clock_release();
    status_stop(server, state);
    relay_stop(state);
    for (PendingSlot& slot : state.queue) close_slot(state, slot);
    for (Socket socket : peers) net_close(socket);
    std::filesystem::remove_all(folder);
  }
  Mapping& mapping(std::size_t index) { return state.mappings.at(index); }
  Socket connect(int port) { return peers.emplace_back(net_connect_loopback(port)); }
  // From a source address to its family's loopback: all of 127.0.0.0/8 is this machine.
  Socket connect_from(const std::string& source, int port) {
    IpAddress from, to = ipv4_address({127, 0, 0, 1});
    if (parse_address(source, from) && from.family == Family::kIpv6) to = kIpv6Loopback;
    return peers.emplace_back(net_connect(to, port, &from));
  }
  // Closes a test-side socket before the end of the test; nothing when it is closed already.
  void hang_up(Socket socket) {
    if (std::erase(peers, socket) > 0) net_close(socket);
  }

  // Runs passes until the condition holds; false after `seconds` (only a fault waits that long).
  bool cycle_until(const std::function<bool()>& done, int seconds = 30) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      g_in_pass = true;
      relay_cycle(state);
      g_in_pass = false;
    }
    return true;
  }
  void send_text(Socket socket, const std::string& bytes) {
    ASSERT_EQ(net_send(socket, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
  }
  // Runs passes until `count` bytes arrived on a test-side socket; by default, until it ends.
  std::string receive(Socket socket, std::size_t count = SIZE_MAX) {
    Drained got;
    EXPECT_TRUE(cycle_until([&] { return drain(socket, got, count); })) << got.bytes.size();
    return got.bytes;
  }
  // A client, then a device that completed its handshake, once the relay placed it in a pair.
  Socket placed_client(std::size_t index = 0) {
    const std::uint64_t before = mapping(index).counters.clients_accepted;
    const Socket socket = connect(mapping(index).port);
    EXPECT_TRUE(cycle_until([&] { return mapping(index).counters.clients_accepted > before; }));
    return socket;
  }
  Socket identified_device(std::size_t index = 0, const std::string& after = "") {
    const std::uint64_t before = mapping(index).counters.devices_identified;
    const Socket socket = connect(device_port);
    send_text(socket, kGreetingLine + ("id:'" + mapping(index).identifier + "'\n" + after));
    EXPECT_TRUE(cycle_until([&] { return mapping(index).counters.devices_identified > before; }));
    return socket;
  }
};

struct Relay : RelayFixture {
  void SetUp() override { start(); }
};

}  // namespace orv
