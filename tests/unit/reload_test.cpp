// Reloads between two passes: what stays is untouched, what goes ends cleanly, what comes works.
#include "host/run.h"
#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

struct Reload : Relay {
  // orv.conf with the device port, m on its port and the lines; returns what the reload logged.
  std::string reload_with(const std::string& lines) {
    std::ofstream(folder / "orv.conf", std::ios::binary)
        << "active-mode-port " << device_port << "\nmap m " << mapping(0).port << "\n"
        << lines;
    return stderr_of([&] { reload_relay(state, server); });
  }
  bool refused(int port) {
    const Socket socket = net_connect_loopback(port);
    if (socket != kNoSocket) net_close(socket);
    return socket == kNoSocket;
  }
  // Bytes go from the client to the device and back.
  void exchange(Socket client, Socket device, const std::string& bytes) {
    send_text(client, bytes);
    EXPECT_EQ(receive(device, bytes.size()), bytes);
    send_text(device, bytes);
    EXPECT_EQ(receive(client, bytes.size()), bytes);
  }
};

// m's pair streams while n goes, x changes its port with its pair joined, a new mapping comes in
// each reload into the slot of the one before, and the device port moves each time; the device
// of x began its handshake before the first move, and the last move, to a taken port, fails.
// From the tenth on, every listener is on listen-address.
TEST_F(Reload, KeptPairStreamsOnWhileTwentyReloadsAddChangeAndRemoveOthers) {
  const Socket client = placed_client(0), device = identified_device(0);
  const Socket n_client = placed_client(1), n_device = identified_device(1);
  const Socket n_waiting = placed_client(1), x_device = connect(device_port);
  send_text(x_device, kGreetingLine);
  send_text(n_device, "last words");
  ASSERT_EQ(receive(n_client, 10), "last words");
  ASSERT_NE(state.queue[0].socket, kNoSocket);
  const std::size_t size = 300000;
  const std::string to_device = pattern(size, 1), to_client = pattern(size, 2);
  std::size_t to_device_sent = 0, to_client_sent = 0;
  Drained at_device, at_client;
  int reloads = 0, x_port = 0, added_port = mapping(1).port;
  Socket x_client = kNoSocket, holder = kNoSocket;
  const auto reload = [&] {
    const int was_x = std::exchange(x_port, free_port());
    const int was_added = std::exchange(added_port, free_port());
    const std::string added = "a" + std::to_string(++reloads);
    const int was_device = std::exchange(
        device_port, reloads < 20 ? free_port()
                                  : net_local_port(holder = net_open_listener({}, 0, kBacklogMax)));
    // The session log in the first alone: the peer log counts its lines against a rate.
    const std::string log =
        reload_with((reloads == 1 ? "session-log on\n" : "") + std::string("map x ") +
                    std::to_string(x_port) + "\nmap " + added + " " + std::to_string(added_port) +
                    (reloads < 10 ? "\n" : "\nlisten-address 127.0.0.1\n"));
    EXPECT_NE(log.find(reloads == 1 ? "Reloaded: 2 mappings added, 1 removed, 0 changed, 1 kept\n"
                                    : "Reloaded: 1 mappings added, 1 removed, 1 changed, 1 kept\n"),
              std::string::npos)
        << log;
    if (reloads == 1) {
      EXPECT_NE(log.find(" 10 bytes to the client, ended by a reload\n"), std::string::npos) << log;
      for (const Socket gone : {n_client, n_device, n_waiting}) {
        Drained end;
        EXPECT_TRUE(cycle_until([&] { return drain(gone, end); }));
        EXPECT_TRUE(end.bytes.empty() && !end.reset);
      }
      x_client = placed_client(1);  // x takes n's slot, freed in the same reload
      send_text(x_device, "id:'x'\n");
    }
    if (reloads == 20) {
      EXPECT_NE(log.find("TCP listen\ton 127.0.0.1:" + std::to_string(device_port) + " error: "),
                std::string::npos);
      device_port = was_device;
    }
    EXPECT_TRUE(mapping(1).identifier == "x" && mapping(2).identifier == added);
    for (const int gone : {was_x, was_added, reloads < 20 ? was_device : 0})
      EXPECT_TRUE(gone == 0 || refused(gone)) << gone;
    exchange(x_client, x_device, "x" + std::to_string(reloads));
    exchange(placed_client(2), identified_device(2), added);  // each in the slot the last freed
  };
  // Each reload comes once both sides have handed the next 14,000 bytes to the system, so they
  // are still on their way through the relay.
  const auto until = [&] { return reloads < 20 ? std::size_t(reloads + 1) * 14000 : size; };
  const auto feed = [&](Socket socket, const std::string& bytes, std::size_t& sent) {
    if (sent < until() && socket_ready(socket, true))
      sent += std::size_t(std::max(net_send(socket, bytes.data() + sent, until() - sent), 0L));
  };
  ASSERT_TRUE(cycle_until(
      [&] {
        if (reloads < 20 && to_device_sent == until() && to_client_sent == until()) reload();
        feed(client, to_device, to_device_sent);
        feed(device, to_client, to_client_sent);
        drain(device, at_device, size);
        drain(client, at_client, size);
        return at_device.bytes.size() == size && at_client.bytes.size() == size;
      },
      120));
  EXPECT_TRUE(at_device.bytes == to_device && at_client.bytes == to_client);
  const MappingCounters& kept = mapping(0).counters;  // on from where they were
  EXPECT_TRUE(kept.clients_accepted == 1 && kept.devices_identified == 1 && kept.pairs_ended == 0 &&
              kept.bytes_to_device == size && kept.bytes_to_client == size);
  EXPECT_EQ(state.counters.reloads, 20u);
  placed_client(0);  // m's listener was opened again on listen-address
  net_close(holder);
}

// A missing file, or a folder in its place: one line says why, and nothing changes.
TEST_F(Reload, FileThatCannotBeReadChangesNothingAndSaysWhy) {
  const std::string path = (folder / "orv.conf").string();
  const Socket listener = mapping(1).listener;
  for (const bool folder_in_its_place : {false, true}) {
    std::filesystem::remove_all(path);
    if (folder_in_its_place) std::filesystem::create_directory(path);
    const std::string log = stderr_of([&] { reload_relay(state, server); });
    const std::string reason = folder_in_its_place ? "" : "No such file or directory\n";
    EXPECT_NE(log.find(" Not reloaded: " + path + ": " + reason), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  }
  EXPECT_EQ(mapping(1).listener, listener);
  EXPECT_EQ(state.counters.reloads, 0u);
}

}  // namespace
}  // namespace orv
