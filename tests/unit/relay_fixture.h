// A started relay on loopback for in-process tests: config in a temp folder, passes on demand.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "diag/log.h"
#include "net/net.h"
#include "relay/relay.h"

namespace orv {

// A port nobody listens on right now.
inline int free_port() {
  const Socket probe = net_tcp_socket();
  net_bind_any(probe, 0);
  const int port = net_local_port(probe);
  net_close(probe);
  return port;
}

inline bool socket_ready(Socket socket, bool for_write) {
  SocketSetPtr read = socket_set_create();
  SocketSetPtr write = socket_set_create();
  socket_set_add(for_write ? *write : *read, socket);
  return socket_wait(*read, *write, 0) > 0;
}

struct RelayFixture : ::testing::Test {
  RelayState state;
  int device_port = 0;
  std::filesystem::path folder;

  // Each mapping is "identifier" on a fresh port; port_of() finds it.
  void start(std::initializer_list<const char*> identifiers) {
    net_startup();
    folder = std::filesystem::temp_directory_path() /
             ("orv-relay-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(folder);
    set_data_folder(folder.string());
    device_port = free_port();
    std::ofstream file(folder / "orv.conf", std::ios::binary);
    file << "active-mode-port " << device_port << "\n";
    for (const char* identifier : identifiers)
      file << "map " << identifier << ' ' << free_port() << "\n";
    file.close();
    ASSERT_TRUE(orv_start(state, (folder / "orv.conf").string()));
  }
  void TearDown() override {
    clock_release();
    relay_stop(state);
    for (PendingSlot& slot : state.queue) close_slot(slot);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  Mapping& mapping(std::size_t index) { return state.mappings.at(index); }
  Socket client(std::size_t index) { return net_connect_loopback(mapping(index).port); }
  Socket device() { return net_connect_loopback(device_port); }

  // Runs passes until the condition holds; false after five seconds.
  bool cycle_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      relay_cycle(state);
    }
    return true;
  }
  void send_text(Socket socket, const std::string& bytes) {
    ASSERT_EQ(net_send(socket, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
  }
  // Runs passes until `count` bytes or the end of stream arrived on a test-side socket.
  std::string receive(Socket socket, std::size_t count, bool* ended = nullptr) {
    std::string got;
    bool end = false;
    cycle_until([&] {
      while (!end && got.size() < count && socket_ready(socket, false)) {
        char buffer[4096];
        const long n = net_recv(socket, buffer, sizeof(buffer));
        if (n <= 0) end = true;
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
      }
      return end || got.size() >= count;
    });
    if (ended != nullptr) *ended = end;
    return got;
  }
  // A device that completed its handshake with the given identifier and sits in a pair.
  Socket identified_device(const char* identifier, const std::string& after = "") {
    const int before = devices_placed();
    const Socket socket = device();
    send_text(socket, std::string(kGreetingLine) + "id:'" + identifier + "'\n" + after);
    EXPECT_TRUE(cycle_until([&] { return devices_placed() > before; }));
    return socket;
  }
  int slots_in_use() const {
    int used = 0;
    for (const PendingSlot& slot : state.queue) used += slot.socket != kNoSocket;
    return used;
  }
  int devices_placed() const {
    int placed = 0;
    for (const Mapping& m : state.mappings) {
      for (const RelayPair& pair : m.pairs) placed += pair.device.socket != kNoSocket;
    }
    return placed;
  }
};

}  // namespace orv
