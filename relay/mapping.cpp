// Mappings and their pairs: listeners, and the placement of clients and devices.
#include <cstring>

#include "diag/log.h"
#include "diag/peer_log.h"
#include "relay/pass.h"

namespace orv {

Mapping make_mapping(const std::string& identifier, int port) {
  Mapping mapping;
  mapping.live = true;
  mapping.identifier = identifier;
  mapping.port = port;
  // Left uninitialised: pages are only made resident when a channel first uses them.
  mapping.buffers.reset(new unsigned char[2 * kPairsPerMapping * kChannelBytes]);
  for (int i = 0; i < kPairsPerMapping; ++i) {
    mapping.pairs[i].client.buffer = mapping.buffers.get() + (2 * i) * kChannelBytes;
    mapping.pairs[i].device.buffer = mapping.buffers.get() + (2 * i + 1) * kChannelBytes;
  }
  return mapping;
}

Mapping* find_mapping(RelayState& state, const char* identifier, std::size_t length) {
  for (Mapping& mapping : state.mappings) {
    if (mapping.live && mapping.identifier.size() == length &&
        std::memcmp(mapping.identifier.data(), identifier, length) == 0) {
      return &mapping;
    }
  }
  return nullptr;
}

Socket open_listener(const RelayState& state, int port) {
  const std::string& text = state.config.listen_address;
  IpAddress address;                                      // none: every IPv4 address
  if (!text.empty()) (void)parse_address(text, address);  // the configuration checked it
  const char* step = "";
  // The largest backlog: a restarted relay sees its whole fleet come back at once.
  const Socket listener = net_open_listener(address, port, kBacklogMax, &step);
  if (listener != kNoSocket) return listener;
  if (text.empty()) {
    log_message(kSeverityFailure, "TCP listen\ton port\t%d error: %d", port, net_last_error());
  } else {
    log_message(kSeverityFailure, "TCP listen\ton %s error: %s failed with %d",
                make_peer(address, port).text, step, net_last_error());
  }
  return kNoSocket;
}

void close_channel(RelayState& state, Channel& channel) {
  if (channel.socket == kNoSocket) return;
  if (state.poller) poller_forget(*state.poller, channel.socket, channel.watched);
  net_close_connection(channel.socket);
  channel.ended = channel.broken = channel.writable = false;
}

bool listen_for_clients(RelayState& state, std::size_t slot) {
  Mapping& mapping = state.mappings[slot];
  mapping.listener = open_listener(state, mapping.port);
  if (mapping.listener == kNoSocket) return false;
  mapping.listener_watch = ListenerWatch{};
  if (!poller_watch(*state.poller, mapping.listener, listener_tag(slot), kWatchRead,
                    mapping.listener_watch.watched)) {
    // As a listener that did not open: the mapping takes no clients until a reload.
    watch_refused(state);
    net_close(mapping.listener);
    mapping.listener = kNoSocket;
    return false;
  }
  if (session_log(state)) {
    log_message(kSeverityNotice, "Listening for clients of '%s' on port %d",
                logged_identifier(mapping).c_str(), mapping.port);
  }
  return true;
}

void close_listener(RelayState& state, Mapping& mapping) {
  if (mapping.listener == kNoSocket) return;
  std::uint8_t watched = 0;  // forget it whether or not it was in the wait
  if (state.poller) poller_forget(*state.poller, mapping.listener, watched);
  net_close(mapping.listener);
  mapping.listener = kNoSocket;
  if (mapping.listener_watch.resting) --state.listeners_resting;
  mapping.listener_watch = ListenerWatch{};
}

void close_mapping(RelayState& state, Mapping& mapping, EndHow how) {
  close_listener(state, mapping);
  for (RelayPair& pair : mapping.pairs) {
    if (pair.client.socket != kNoSocket && pair.device.socket != kNoSocket) {
      end_pair(state, mapping, pair, how);
    }
    close_channel(state, pair.client);
    close_channel(state, pair.device);
  }
}

namespace {

void take_socket(RelayState& state, Channel& channel, Socket socket, const PeerAddress& peer) {
  channel.socket = socket;
  channel.ended = channel.broken = false;
  channel.writable = true;  // a fresh connection has room to send
  channel.watched = kUnwatched;
  channel.placed_pass = state.pass;
  channel.delivered = 0;
  channel.arrived_at = clock_seconds();
  channel.peer = peer;
}

void joined(RelayPair& pair) {
  pair.joined_at = clock_seconds();
  pair.first_end = EndHow::kNone;
}

// Whether the socket just placed is still there once watched; the session log says when the
// poller turned it away.
bool kept(RelayState& state, const Mapping& mapping, const Channel& channel,
          const char* turned_away) {
  if (channel.socket != kNoSocket) return true;
  if (session_log(state)) {
    log_peer(PeerLine::kTurnedAway, kSeverityNotice, turned_away, channel.peer.text,
             logged_identifier(mapping).c_str());
  }
  return false;
}

constexpr char kClientUnwatched[] = "Client %s of '%s' turned away: it cannot be watched";

}  // namespace

void place_client(RelayState& state, Mapping& mapping, Socket client, const PeerAddress& peer) {
  ++mapping.counters.clients_accepted;
  for (RelayPair& pair : mapping.pairs) {
    if (pair.client.socket == kNoSocket && pair.device.socket != kNoSocket) {
      // What the device sent while it waited was meant for nobody in particular: dropped.
      take_socket(state, pair.client, client, peer);
      channel_empty(pair.client);
      channel_empty(pair.device);
      joined(pair);
      watch_pair(state, mapping, pair);
      if (kept(state, mapping, pair.client, kClientUnwatched) && session_log(state)) {
        log_peer(PeerLine::kClientArrived, kSeverityNotice,
                 "Client %s of '%s' accepted, joined device %s", peer.text,
                 logged_identifier(mapping).c_str(), pair.device.peer.text);
      }
      return;
    }
  }
  for (RelayPair& pair : mapping.pairs) {
    if (pair.client.socket == kNoSocket) {
      take_socket(state, pair.client, client, peer);
      channel_empty(pair.client);
      channel_empty(pair.device);
      pair.client_ticket = ++state.ticket_counter;
      pair.client_since_ms = clock_milliseconds();
      watch_pair(state, mapping, pair);
      if (kept(state, mapping, pair.client, kClientUnwatched) && session_log(state)) {
        log_peer(PeerLine::kClientArrived, kSeverityNotice,
                 "Client %s of '%s' accepted, waiting for a device", peer.text,
                 logged_identifier(mapping).c_str());
      }
      return;
    }
  }
  ++mapping.counters.clients_turned_away;
  if (session_log(state)) {
    log_peer(PeerLine::kTurnedAway, kSeverityNotice,
             "Client %s of '%s' turned away: every pair holds a client", peer.text,
             logged_identifier(mapping).c_str());
  }
  net_close_connection(client);
}

void place_device(RelayState& state, Mapping& mapping, Socket device, const PeerAddress& peer,
                  const unsigned char* first_bytes, std::size_t count) {
  ++mapping.counters.devices_identified;
  mapping.counters.last_device_seen_at = clock_seconds();
  RelayPair* chosen = nullptr;
  for (RelayPair& pair : mapping.pairs) {
    if (pair.client.socket == kNoSocket || pair.device.socket != kNoSocket) continue;
    if (chosen == nullptr || pair.client_ticket < chosen->client_ticket) chosen = &pair;
  }
  const bool joining = chosen != nullptr;
  if (chosen == nullptr) {
    for (RelayPair& pair : mapping.pairs) {
      if (pair.device.socket == kNoSocket) {
        chosen = &pair;
        channel_empty(pair.client);
        break;
      }
    }
  }
  if (chosen == nullptr) {
    ++mapping.counters.devices_turned_away;
    if (session_log(state)) {
      log_peer(PeerLine::kTurnedAway, kSeverityNotice,
               "Device %s identified as '%s' turned away: every pair holds a device", peer.text,
               logged_identifier(mapping).c_str());
    }
    net_close_connection(device);
    return;
  }
  // A waiting client keeps what it sent; the device starts with what followed its
  // identification line in the same read.
  take_socket(state, chosen->device, device, peer);
  if (count > kChannelBytes) count = kChannelBytes;
  if (count > 0) std::memcpy(chosen->device.buffer, first_bytes, count);
  chosen->device.fill = static_cast<std::uint32_t>(count);
  if (joining) joined(*chosen);
  watch_pair(state, mapping, *chosen);
  if (!kept(state, mapping, chosen->device,
            "Device %s identified as '%s' turned away: it cannot be watched")) {
    return;
  }
  if (session_log(state)) {
    if (joining) {
      log_peer(PeerLine::kDeviceArrived, kSeverityNotice,
               "Device %s identified as '%s', joined client %s", peer.text,
               logged_identifier(mapping).c_str(), chosen->client.peer.text);
    } else {
      log_peer(PeerLine::kDeviceArrived, kSeverityNotice,
               "Device %s identified as '%s', waiting for a client", peer.text,
               logged_identifier(mapping).c_str());
    }
  }
}

}  // namespace orv
