// Test helpers: loopback links, waiting with a deadline, and a relay the test runs pass by pass.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "diag/log.h"
#include "relay/relay.h"

namespace orv {

inline int free_port() {
  net_startup();
  const Socket probe = open_listener(0);
  const int port = net_local_port(probe);
  net_close(probe);
  return port;
}

// Whether a test-side socket is readable (or writable) within timeout_ms.
inline bool socket_ready(Socket socket, bool for_write, int timeout_ms = 0) {
  static PollerPtr poller = poller_create(4);
  std::uint8_t watched = kUnwatched;
  poller_watch(*poller, socket, 0, for_write ? kWatchWrite : kWatchRead, watched);
  const bool ready = poller_wait(*poller, timeout_ms) > 0;
  poller_forget(*poller, socket, watched);
  return ready;
}

// Two connected loopback sockets: `inside` as a listener accepted it, `outside` the peer.
struct Link {
  Socket inside = kNoSocket, outside = kNoSocket;
};
inline Link make_link() {
  const Socket listener = open_listener(free_port());
  Link link{kNoSocket, net_connect_loopback(net_local_port(listener))};
  char address[kAddressTextBytes];
  link.inside = net_accept(listener, address);
  net_close(listener);
  return link;
}

// What a test-side socket received, and whether its stream ended (or was reset).
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

// How many entries of a list hold an open socket; `socket_of` picks it from an entry.
inline int open_sockets(const auto& list, auto socket_of) {
  return static_cast<int>(std::size(list) - std::ranges::count(list, kNoSocket, socket_of));
}

// Sends the next piece of bytes[sent..] if the socket takes it; true when that was the last.
inline bool send_some(Socket socket, const std::string& bytes, std::size_t& sent) {
  if (sent == bytes.size() || !socket_ready(socket, true)) return false;
  const long n =
      net_send(socket, bytes.data() + sent, std::min<std::size_t>(65536, bytes.size() - sent));
  sent += static_cast<std::size_t>(std::max(n, 0L));
  return sent == bytes.size();
}

// A started relay on loopback: its configuration in a temp folder, passes on demand.
struct RelayFixture : ::testing::Test {
  RelayState state;
  int device_port = free_port();
  std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("orv-relay-" + std::to_string(device_port));

  // Each mapping is "identifier" on a fresh port; extra lines go into orv.conf as they are.
  void start(std::initializer_list<const char*> identifiers, const std::string& extra = "") {
    std::filesystem::create_directories(folder);
    set_data_folder(folder.string());
    std::string text = "active-mode-port " + std::to_string(device_port) + "\n" + extra;
    for (const char* identifier : identifiers)
      text += "map " + std::string(identifier) + " " + std::to_string(free_port()) + "\n";
    std::ofstream(folder / "orv.conf", std::ios::binary) << text;
    ASSERT_TRUE(orv_start(state, (folder / "orv.conf").string()));
  }
  void TearDown() override {
    clock_release();
    relay_stop(state);
    for (PendingSlot& slot : state.queue) close_slot(state, slot);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  Mapping& mapping(std::size_t index) { return state.mappings.at(index); }
  Socket client(std::size_t index) { return net_connect_loopback(mapping(index).port); }
  Socket device() { return net_connect_loopback(device_port); }

  // Runs passes until the condition holds; false after `seconds`.
  bool cycle_until(const std::function<bool()>& done, int seconds = 5) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (; !done(); relay_cycle(state))
      if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
  }
  void send_text(Socket socket, const std::string& bytes) {
    ASSERT_EQ(net_send(socket, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
  }
  // Runs passes until `count` bytes or the end of stream arrived on a test-side socket.
  std::string receive(Socket socket, std::size_t count, bool* ended = nullptr) {
    Drained got;
    cycle_until([&] { return drain(socket, got, count); });
    if (ended != nullptr) *ended = got.ended;
    return got.bytes;
  }
  // Whether the relay ends the socket's stream without sending it a byte; closes the socket.
  bool closed_by_relay(Socket socket) {
    bool ended = false;
    const bool silent = receive(socket, 1, &ended).empty();
    net_close(socket);
    return ended && silent;
  }
  // A client that sits in a pair of the mapping.
  Socket placed_client(std::size_t index) {
    const int before = clients_placed(index);
    const Socket socket = client(index);
    EXPECT_TRUE(cycle_until([&] { return clients_placed(index) > before; }));
    return socket;
  }
  // A device that completed its handshake with the given identifier and sits in a pair.
  Socket identified_device(const char* identifier, const std::string& after = "") {
    const int before = devices_placed();
    const Socket socket = device();
    send_text(socket, std::string(kGreetingLine) + "id:'" + identifier + "'\n" + after);
    EXPECT_TRUE(cycle_until([&] { return devices_placed() > before; }));
    return socket;
  }
  int slots_in_use() const { return open_sockets(state.queue, &PendingSlot::socket); }
  int closing_sockets() const { return open_sockets(state.closing, &ClosingSocket::socket); }
  int clients_placed(std::size_t index) const {
    return open_sockets(state.mappings.at(index).pairs, [](auto& p) { return p.client.socket; });
  }
  int devices_placed() const {
    int placed = 0;
    for (const Mapping& m : state.mappings)
      placed += open_sockets(m.pairs, [](auto& p) { return p.device.socket; });
    return placed;
  }
};

}  // namespace orv
