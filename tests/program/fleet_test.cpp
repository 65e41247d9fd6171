// A fleet past the 4,096 sockets one select set held: 120 mappings of 20 pairs, every pair
// joined to the partner it should be and relaying, every byte checked.
#include <sys/resource.h>

#include <chrono>

#include "tests/program/program.h"

namespace orv_test {
namespace {

constexpr int kMappings = 120;

// Bytes that name their pair and side, so a pair joined to the wrong partner shows.
std::string message(char side, std::size_t pair, std::size_t size) {
  std::string bytes = side + std::to_string(pair) + ":";
  for (std::size_t k = bytes.size(); k < size; ++k) bytes += static_cast<char>(k * 7 + pair);
  bytes.resize(size);
  return bytes;
}

TEST_F(ProgramTest, RelaysAFleetOfMoreSocketsThanOneSelectSetHeld) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;  // the test holds the peers of every pair; the relay inherits
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  const std::size_t pairs = kMappings * orv::kPairsPerMapping;
  ASSERT_GT(limit.rlim_cur, 2 * pairs + 100) << "descriptor limit";
  std::vector<int> probes, ports;  // held open together, so no port comes twice
  std::string config;
  for (int m = 0; m < kMappings; ++m) {
    probes.push_back(listen_on(0));
    ports.push_back(orv::net_local_port(probes.back()));
    config += "map fleet-" + std::to_string(m) + " " + std::to_string(ports.back()) + "\n";
  }
  for (int probe : probes) close(probe);
  write_config(config);
  start({"run"});
  ASSERT_TRUE(wait_for_log("Started 1.0")) << log();
  const auto began = std::chrono::steady_clock::now();
  // Round by round a new client and device per mapping, so each mapping has one way to pair
  // them; pair i is round i / kMappings of mapping i % kMappings.
  std::vector<int> clients, devices;
  struct Closer {
    std::vector<int>& sockets;
    ~Closer() {
      for (int s : sockets) close(s);
    }
  } close_clients{clients}, close_devices{devices};
  for (int round = 0; round < orv::kPairsPerMapping; ++round) {
    for (int m = 0; m < kMappings; ++m) {
      clients.push_back(connect_to(ports[m]));
      devices.push_back(join_device("fleet-" + std::to_string(m)));
    }
    for (std::size_t i = clients.size() - kMappings; i < clients.size(); ++i) {
      ASSERT_TRUE(send_all(clients[i], message('c', i, 16)));
    }
    for (std::size_t i = clients.size() - kMappings; i < clients.size(); ++i) {
      ASSERT_EQ(receive(devices[i], 16), message('c', i, 16)) << "pair " << i;
    }
  }
  const double set_up_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  RecordProperty("set_up_seconds", std::to_string(set_up_s));
  // All at once, both ways, more than a channel holds.
  for (std::size_t i = 0; i < pairs; ++i) {
    ASSERT_TRUE(send_all(clients[i], message('c', i, 6000)));
    ASSERT_TRUE(send_all(devices[i], message('d', i, 6000)));
  }
  for (std::size_t i = 0; i < pairs; ++i) {
    ASSERT_TRUE(receive(devices[i], 6000) == message('c', i, 6000)) << "pair " << i;
    ASSERT_TRUE(receive(clients[i], 6000) == message('d', i, 6000)) << "pair " << i;
  }
  signal_child(child, SIGINT);  // a stop with every pair joined
  EXPECT_EQ(wait_child(child, kStartMs), 0);
}

}  // namespace
}  // namespace orv_test
