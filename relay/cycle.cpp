// One pass of the relay's event loop: wait, accept, identify, relay, drain closing sockets.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "diag/log.h"
#include "relay/pass.h"

namespace orv {
namespace {

// ---- listeners -----------------------------------------------------------------------------

void watch_listener(RelayState& state, Socket listener, std::uint32_t tag, ListenerWatch& watch,
                    bool wanted) {
  if (listener == kNoSocket) return;
  poller_watch(*state.poller, listener, tag, wanted ? kWatchRead : kWatchNone, watch.watched);
}

// Out of descriptors or buffers, a listener stays readable and every accept fails again: it
// rests out of the wait instead, and says so at most once a second.
void accept_failed(RelayState& state, Socket listener, std::uint32_t tag, ListenerWatch& watch,
                   const char* message) {
  const int error = net_last_error();
  ++state.counters.accept_errors;
  if (net_error_is_exhaustion(error)) {
    const std::int64_t now = clock_milliseconds();
    watch.backoff_ms = watch.backoff_ms == 0 ? kAcceptBackoffFirstMs
                                             : std::min(2 * watch.backoff_ms, kAcceptBackoffMaxMs);
    watch.resume_ms = now + watch.backoff_ms;
    watch.resting = true;
    watch_listener(state, listener, tag, watch, false);
    if (now - watch.logged_ms < kAcceptErrorLogMs) return;
    watch.logged_ms = now;
  }
  log_message(kSeverityFailure, message, error);
}

// One accept; the peer's address text (or "unknow address") and port.
Socket accept_one(RelayState& state, Socket listener, std::uint32_t tag, ListenerWatch& watch,
                  const char* message, char (&address)[kAddressTextBytes], int& port) {
  const Socket accepted = net_accept(listener, address, &port);
  if (accepted == kNoSocket) {
    accept_failed(state, listener, tag, watch, message);
    return kNoSocket;
  }
  watch.backoff_ms = 0;
  if (address[0] == 0) std::snprintf(address, sizeof address, "unknow address");
  if (state.config.keepalive_seconds > 0)
    net_set_keepalive(accepted, state.config.keepalive_seconds);
  return accepted;
}

// Handshake timeouts, then the active-mode listener while a slot is free; with the queue full,
// the first slot that has waited too long is evicted (at most one per pass).
void admit_devices(RelayState& state, std::int64_t now_ms) {
  const int timeout = state.config.handshake_timeout_seconds;
  bool free = false;
  for (PendingSlot& slot : state.queue) {
    if (slot.socket != kNoSocket && timeout > 0 && now_ms - slot.accepted_at_ms >= timeout * 1000) {
      log_message(kSeverityFailure, "Active mode connection timeout: %s", slot.peer_address);
      ++state.counters.evictions;
      close_slot(state, slot);
    }
    free = free || slot.socket == kNoSocket;
  }
  if (!free) {
    const std::uint32_t now = static_cast<std::uint32_t>(clock_seconds());
    for (PendingSlot& slot : state.queue) {
      // Low 32 bits, modulo 2^32, so a clock step backwards reads as a very old slot.
      const std::uint32_t age = now - static_cast<std::uint32_t>(slot.accepted_at);
      if (age > kPendingAgeLimit) {
        log_message(kSeverityFailure, "Active mode connection timeout: %s", slot.peer_address);
        ++state.counters.evictions;
        close_slot(state, slot);
        free = true;
        break;
      }
    }
  }
  ListenerWatch& watch = state.active_mode_watch;
  if (watch.resting && now_ms >= watch.resume_ms) watch.resting = false;
  watch_listener(state, state.active_mode_listener, kTagActiveListener, watch,
                 free && !watch.resting);
}

void resume_listeners(RelayState& state, std::int64_t now_ms) {
  for (std::size_t m = 0; m < state.mappings.size(); ++m) {
    Mapping& mapping = state.mappings[m];
    ListenerWatch& watch = mapping.listener_watch;
    if (!watch.resting || now_ms < watch.resume_ms) continue;
    watch.resting = false;
    --state.listeners_resting;
    watch_listener(state, mapping.listener, mapping_tag(m), watch, true);
  }
}

void accept_device(RelayState& state) {
  char address[kAddressTextBytes];
  int port = 0;
  Socket device =
      accept_one(state, state.active_mode_listener, kTagActiveListener, state.active_mode_watch,
                 "Accept error on active-mode socket: %d", address, port);
  if (device == kNoSocket) return;
  for (std::size_t i = 0; i < state.queue.size(); ++i) {
    PendingSlot& slot = state.queue[i];
    if (slot.socket != kNoSocket) continue;
    open_slot(slot, device, address, port);
    slot.placed_pass = state.pass;
    std::uint8_t watched = kUnwatched;
    poller_watch(*state.poller, device, kTagFirstSlot + static_cast<std::uint32_t>(i), kWatchRead,
                 watched);
    return;
  }
  net_close_connection(device);  // unreachable: the listener is watched only with a slot free
}

void accept_client(RelayState& state, std::size_t m) {
  Mapping& mapping = state.mappings[m];
  if (mapping.listener_watch.resting) return;
  char address[kAddressTextBytes], text[kPeerTextBytes];
  int port = 0;
  const Socket client = accept_one(state, mapping.listener, mapping_tag(m), mapping.listener_watch,
                                   "Accept error on master listen socket: %d", address, port);
  if (mapping.listener_watch.resting) ++state.listeners_resting;
  if (client == kNoSocket) return;
  std::snprintf(text, sizeof text, "%s:%d", address, port);
  place_client(state, mapping, client, text);
}

// ---- pairs ---------------------------------------------------------------------------------

// The event of this pass for the channel's socket, unless the socket arrived in this pass.
const PollEvent* event_for(const RelayState& state, const Channel& channel,
                           const PollEvent* event) {
  if (event == nullptr || channel.socket == kNoSocket || event->socket != channel.socket ||
      channel.placed_pass == state.pass) {
    return nullptr;
  }
  return event;
}

bool can_send(const Channel& to, const PollEvent* event) {
  if (to.socket == kNoSocket || to.broken) return false;
  return (event != nullptr && event->writable) || to.writable;
}

void note_end(RelayPair& pair, bool client, EndHow how) {
  if (pair.first_end != EndHow::kNone) return;
  pair.first_end = how;
  pair.client_ended_first = client;
}

// The side can take nothing more: what was meant for it is dropped, while what it sent still
// goes, including what the system still holds from it unless its receive failed too.
void side_failed(RelayPair& pair, bool client, bool receive_failed) {
  Channel& side = client ? pair.client : pair.device;
  side.broken = true;
  side.ended = side.ended || receive_failed;
  channel_empty(client ? pair.device : pair.client);
  note_end(pair, client, EndHow::kError);
}

// One send of from's bytes to the other side of the pair.
void send_across(Mapping& mapping, RelayPair& pair, bool to_client) {
  Channel& from = to_client ? pair.device : pair.client;
  Channel& to = to_client ? pair.client : pair.device;
  const long sent = net_send(to.socket, from.buffer, from.fill);
  if (sent > 0) {
    const std::uint32_t gone = static_cast<std::uint32_t>(sent);
    std::memmove(from.buffer, from.buffer + gone, from.fill - gone);
    from.fill -= gone;
    from.delivered += gone;
    (to_client ? mapping.counters.bytes_to_client : mapping.counters.bytes_to_device) += gone;
    to.writable = from.fill == 0;  // a short send means its buffer is full
    return;
  }
  if (sent < 0 && net_error_is_retry(net_last_error())) {
    to.writable = false;
    return;
  }
  side_failed(pair, to_client, false);
}

void waiting_side_left(RelayState& state, Mapping& mapping, Channel& side, bool client) {
  if (session_log(state)) {
    log_message(kSeverityNotice, "Waiting %s %s of '%s' left", client ? "client" : "device",
                side.address, logged_identifier(mapping).c_str());
  }
  close_channel(state, side);
}

void receive_into(RelayState& state, Mapping& mapping, RelayPair& pair, bool client) {
  Channel& side = client ? pair.client : pair.device;
  const Channel& partner = client ? pair.device : pair.client;
  const std::size_t room = kChannelBytes - side.fill;
  const long got = net_recv(side.socket, side.buffer + side.fill, room);
  if (got > 0) {
    side.fill += static_cast<std::uint32_t>(got);
    // A read that filled all the room most likely left more behind: the next pass serves this
    // socket again without asking the system first.
    if (static_cast<std::size_t>(got) == room && state.carry.size() < state.carry.capacity()) {
      state.carry.push_back(
          PollEvent{side_tag(mapping_index(state, mapping), pair_index(mapping, pair), !client),
                    side.socket, true, false, false});
    }
    return;
  }
  if (got < 0 && net_error_is_retry(net_last_error())) return;
  if (partner.socket == kNoSocket) {
    waiting_side_left(state, mapping, side, client);
    return;
  }
  if (got < 0) {
    side_failed(pair, client, true);
    return;
  }
  // End of stream: not read again, but what it sent earlier still goes to its partner, and it
  // may still read what its partner sends.
  side.ended = true;
  note_end(pair, client, EndHow::kEndOfStream);
}

// A joined pair is over once a side has ended and what it sent is delivered, or can no longer be,
// or when neither side can take anything more.
bool pair_over(const RelayPair& pair) {
  if (pair.client.socket == kNoSocket || pair.device.socket == kNoSocket) return false;
  const auto side_done = [](const Channel& side, const Channel& partner) {
    return side.ended && (side.fill == 0 || partner.broken);
  };
  return side_done(pair.client, pair.device) || side_done(pair.device, pair.client) ||
         (pair.client.broken && pair.device.broken);
}

// A reported end (reset, hang-up, peer shutdown) on a side that was not read in this pass.
void ended_unread(RelayState& state, Mapping& mapping, RelayPair& pair, bool client) {
  Channel& side = client ? pair.client : pair.device;
  const Channel& partner = client ? pair.device : pair.client;
  if (side.socket == kNoSocket || side.broken) return;
  if (partner.socket == kNoSocket) {
    waiting_side_left(state, mapping, side, client);
  } else {
    side_failed(pair, client, false);
  }
}

// The four sub-steps in their order, client side first; then, since sends never block, what the
// device sent in this pass goes to the client at once when nothing was sent to it yet.
void serve_pair(RelayState& state, Mapping& mapping, RelayPair& pair, const PollEvent* client_raw,
                const PollEvent* device_raw) {
  const PollEvent* client_event = event_for(state, pair.client, client_raw);
  const PollEvent* device_event = event_for(state, pair.device, device_raw);
  if (client_event != nullptr && client_event->writable) pair.client.writable = true;
  if (device_event != nullptr && device_event->writable) pair.device.writable = true;
  bool sent_to_client = false, sent_to_device = false, read_client = false, read_device = false;
  const auto over = [&] {
    if (!pair_over(pair)) return false;
    end_pair(state, mapping, pair, EndHow::kEndOfStream);
    return true;
  };
  // One side's two sub-steps: send it what its partner sent, then read it. True once the pair
  // is over.
  const auto serve_side = [&](bool client, const PollEvent* event, bool& sent, bool& read) {
    Channel& side = client ? pair.client : pair.device;
    const Channel& partner = client ? pair.device : pair.client;
    if (side.socket == kNoSocket) return false;
    if (channel_holds_data(partner) && partner.socket != kNoSocket && can_send(side, event)) {
      sent = true;
      send_across(mapping, pair, client);
      if (over()) return true;
    }
    if (event != nullptr && event->readable && !side.ended && !partner.broken &&
        channel_has_room(side)) {
      read = true;
      receive_into(state, mapping, pair, client);
      if (over()) return true;
    }
    return false;
  };
  if (serve_side(true, client_event, sent_to_client, read_client)) return;
  if (serve_side(false, device_event, sent_to_device, read_device)) return;
  if (!sent_to_client && pair.client.socket != kNoSocket && channel_holds_data(pair.device) &&
      can_send(pair.client, nullptr)) {
    send_across(mapping, pair, true);
    if (over()) return;
  }
  if (client_event != nullptr && client_event->ended && !read_client) {
    ended_unread(state, mapping, pair, true);
  }
  if (device_event != nullptr && device_event->ended && !read_device) {
    ended_unread(state, mapping, pair, false);
  }
  if (over()) return;
  watch_pair(state, mapping, pair);
}

}  // namespace

void relay_cycle(RelayState& state) {
  ++state.pass;
  const std::int64_t now_ms = clock_milliseconds();
  admit_devices(state, now_ms);
  if (state.listeners_resting > 0) resume_listeners(state, now_ms);
  expire_closing(state, now_ms);

  // A stream keeps its sockets readable: a few passes in a row serve the sockets whose last read
  // filled their channel without a wait, then a wait brings in everything else again.
  int count = 0;
  const PollEvent* events = nullptr;
  state.carried.swap(state.carry);
  state.carry.clear();
  if (!state.carried.empty() && state.carried_passes < kCarriedPassesMax) {
    ++state.carried_passes;
    count = static_cast<int>(state.carried.size());
    events = state.carried.data();
  } else {
    state.carried_passes = 0;
    count = poller_wait(*state.poller, kCycleWaitMs);
    events = poller_events(*state.poller);
  }
  int i = 0;
  // Events come sorted by tag, which is the pass's order: the device accept, the pending
  // slots, then each mapping's accept and pairs, then the closing sockets.
  if (i < count && events[i].tag == kTagActiveListener) {
    if (events[i].readable && state.active_mode_watch.watched == kWatchRead) accept_device(state);
    ++i;
  }
  for (; i < count && events[i].tag < kTagFirstMapping; ++i) {
    PendingSlot& slot = state.queue[events[i].tag - kTagFirstSlot];
    // A slot filled in this pass waits for the next one; a socket handed to a pair now is
    // served by its pair from the next pass on.
    if (slot.socket != events[i].socket || slot.placed_pass == state.pass) continue;
    if (!identify_pending(state, slot)) close_slot(state, slot);
  }
  for (; i < count && events[i].tag < kTagFirstClosing; ++i) {
    const std::uint32_t offset = events[i].tag - kTagFirstMapping;
    const std::size_t m = offset / kTagsPerMapping;
    const std::uint32_t within = offset % kTagsPerMapping;
    if (within == 0) {
      if (events[i].readable) accept_client(state, m);
      continue;
    }
    Mapping& mapping = state.mappings[m];
    RelayPair& pair = mapping.pairs[(within - 1) / 2];
    const PollEvent* client_event = nullptr;
    const PollEvent* device_event = nullptr;
    if ((within - 1) % 2 == 0) {
      client_event = &events[i];
      // Both sides of a pair are served together, in their order.
      if (i + 1 < count && events[i + 1].tag == events[i].tag + 1) device_event = &events[++i];
    } else {
      device_event = &events[i];
    }
    serve_pair(state, mapping, pair, client_event, device_event);
  }
  for (; i < count && events[i].tag < kHookTagBase; ++i) serve_closing(state, events[i]);
  if (state.hook.serve != nullptr) {
    for (; i < count; ++i) state.hook.serve(state.hook.context, events[i]);
  }
  if (state.hook.after_pass != nullptr) state.hook.after_pass(state.hook.context);
}

}  // namespace orv
