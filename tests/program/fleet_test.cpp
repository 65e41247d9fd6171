// A fleet past the 4,096 sockets one select set held: 120 mappings of 20 pairs, every pair
// joined to the partner it should be and relaying, every byte checked.
#include "tests/program/program.h"

namespace orv_test {
namespace {

constexpr int kMappings = 120;

// Bytes that name their pair and side, so a pair joined to the wrong partner shows.
std::string message(char side, std::size_t pair, std::size_t size) {
  std::string bytes = side + std::to_string(pair) + ":";
  while (bytes.size() < size) bytes += static_cast<char>(bytes.size() * 7 + pair);
  return bytes.substr(0, size);
}

TEST_F(ProgramTest, RelaysAFleetOfMoreSocketsThanOneSelectSetHeld) {
  orv::net_startup();  // the descriptor limit up to the hard one: the relay inherits it
  std::vector<int> probes, ports, clients, devices;  // probes held together: no port twice
  std::string config;
  for (int m = 0; m < kMappings; ++m) {
    ports.push_back(orv::net_local_port(probes.emplace_back(listen_on(0))));
    config += "map fleet-" + std::to_string(m) + " " + std::to_string(ports.back()) + "\n";
  }
  for (int probe : probes) close(probe);
  write_config(config);
  start({"run"});
  ASSERT_TRUE(wait_for_log("Started 1.0")) << log();
  // Per round a client and a device per mapping, so each mapping can pair them one way only.
  for (std::size_t i = 0; i < kMappings * orv::kPairsPerMapping; ++i) {
    clients.push_back(connect_to(ports[i % kMappings]));
    devices.push_back(join_device("fleet-" + std::to_string(i % kMappings)));
    if (i % kMappings != kMappings - 1) continue;
    for (std::size_t j = i + 1 - kMappings; j <= i; ++j) send_all(clients[j], message('c', j, 16));
    for (std::size_t j = i + 1 - kMappings; j <= i; ++j)
      ASSERT_EQ(receive(devices[j], 16), message('c', j, 16)) << "pair " << j;
  }
  for (std::size_t i = 0; i < clients.size(); ++i)  // all at once, more than a channel holds
    send_all(clients[i], message('c', i, 6000)), send_all(devices[i], message('d', i, 6000));
  for (std::size_t i = 0; i < clients.size(); ++i) {
    ASSERT_TRUE(receive(devices[i], 6000) == message('c', i, 6000)) << "pair " << i;
    ASSERT_TRUE(receive(clients[i], 6000) == message('d', i, 6000)) << "pair " << i;
  }
  signal_child(child, SIGINT);
  EXPECT_EQ(wait_child(child, kStartMs), 0);
  for (std::size_t i = 0; i < clients.size(); ++i) close(clients[i]), close(devices[i]);
}

}  // namespace
}  // namespace orv_test
