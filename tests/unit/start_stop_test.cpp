// Start and stop of the relay: which listeners open, what fails the start, what stop leaves.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

struct StartStop : ::testing::Test {
  RelayState state;
  std::filesystem::path folder;
  void SetUp() override {
    net_startup();
    folder = std::filesystem::temp_directory_path() /
             ("orv-start-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(folder);
    set_data_folder(folder.string());
  }
  void TearDown() override {
    relay_stop(state);
    for (PendingSlot& slot : state.queue) close_slot(state, slot);
    std::filesystem::remove_all(folder);
  }
  std::string config(const std::string& text) {
    std::ofstream((folder / "orv.conf"), std::ios::binary) << text;
    return (folder / "orv.conf").string();
  }
  std::string start_logging(const std::string& path, bool* started) {
    testing::internal::CaptureStderr();
    *started = orv_start(state, path);
    return testing::internal::GetCapturedStderr();
  }
};

TEST_F(StartStop, EmptyConfigurationOpensOnlyTheActiveModeListener) {
  const int port = free_port();
  bool started = false;
  start_logging(config("active-mode-port " + std::to_string(port) + "\n"), &started);
  ASSERT_TRUE(started);
  EXPECT_NE(state.active_mode_listener, kNoSocket);
  EXPECT_EQ(net_local_port(state.active_mode_listener), port);
  EXPECT_TRUE(state.mappings.empty());
  ASSERT_EQ(state.queue.size(), static_cast<std::size_t>(kPendingSlots));
  for (const PendingSlot& slot : state.queue) EXPECT_EQ(slot.socket, kNoSocket);
}

TEST_F(StartStop, BusyActiveModePortFailsTheStart) {
  Socket busy = open_listener(0);
  const int port = net_local_port(busy);
  bool started = true;
  const std::string log = start_logging(
      config("active-mode-port " + std::to_string(port) + "\nmap m " + std::to_string(free_port())),
      &started);
  EXPECT_FALSE(started);
  EXPECT_NE(log.find("TCP listen\ton port\t" + std::to_string(port) + " error: "),
            std::string::npos)
      << log;
  EXPECT_EQ(state.active_mode_listener, kNoSocket);
  EXPECT_EQ(state.mappings.at(0).listener, kNoSocket);  // nothing is opened after it
  net_close(busy);
}

TEST_F(StartStop, SecondMappingOnAPortHasNoListenerButTheStartSucceeds) {
  const int shared = free_port();
  bool started = false;
  const std::string log = start_logging(
      config("active-mode-port " + std::to_string(free_port()) + "\nmap a " +
             std::to_string(shared) + "\nmap b " + std::to_string(shared) + "\n"),
      &started);
  ASSERT_TRUE(started);
  EXPECT_NE(state.mappings[0].listener, kNoSocket);
  EXPECT_EQ(state.mappings[1].listener, kNoSocket);
  EXPECT_NE(log.find("TCP listen\ton port\t" + std::to_string(shared) + " error: "),
            std::string::npos)
      << log;
}

TEST_F(StartStop, MissingConfigurationFailsWithItsReason) {
  bool started = true;
  const std::string path = (folder / "absent" / "orv.conf").string();
  const std::string log = start_logging(path, &started);
  EXPECT_FALSE(started);
  EXPECT_NE(log.find(path + ": No such file or directory"), std::string::npos) << log;
  EXPECT_EQ(state.active_mode_listener, kNoSocket);
}

TEST_F(StartStop, StopClosesListenersAndPairsButLeavesPendingDevices) {
  bool started = false;
  start_logging(config("active-mode-port " + std::to_string(free_port()) + "\nmap m " +
                       std::to_string(free_port()) + "\n"),
                &started);
  ASSERT_TRUE(started);
  Socket pending = net_connect_loopback(net_local_port(state.active_mode_listener));
  Socket client = net_connect_loopback(state.mappings[0].port);
  while (state.queue[0].socket == kNoSocket || state.mappings[0].pairs[0].client.socket == kNoSocket) {
    relay_cycle(state);
  }
  relay_stop(state);
  EXPECT_EQ(state.active_mode_listener, kNoSocket);
  EXPECT_EQ(state.mappings[0].listener, kNoSocket);
  EXPECT_EQ(state.mappings[0].pairs[0].client.socket, kNoSocket);
  EXPECT_NE(state.queue[0].socket, kNoSocket);
  net_close(pending);
  net_close(client);
}

}  // namespace
}  // namespace orv
