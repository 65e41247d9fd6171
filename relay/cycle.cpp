// One pass of the relay's event loop: wait, accept, identify, relay, drain closing sockets.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "diag/log.h"
#include "diag/peer_log.h"
#include "relay/pass.h"

namespace orv {
namespace {

// ---- listeners -----------------------------------------------------------------------------

// False when the poller refused: a listener meant to rest is then out of the wait all the same,
// one meant to accept is tried again later.
bool watch_listener(RelayState& state, Socket listener, std::uint32_t tag, ListenerWatch& watch,
                    bool wanted) {
  if (listener == kNoSocket) return true;
  if (poller_watch(*state.poller, listener, tag, wanted ? kWatchRead : kWatchNone, watch.watched))
    return true;
  watch_refused(state);
  if (!wanted) poller_forget(*state.poller, listener, watch.watched);
  return false;
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
    (void)watch_listener(state, listener, tag, watch, false);  // out of the wait either way
    if (now - watch.logged_ms < kAcceptErrorLogMs) return;
    watch.logged_ms = now;
  }
  log_peer(PeerLine::kAcceptError, kSeverityFailure, message, error);
}

// One accept, and the peer.
Socket accept_one(RelayState& state, Socket listener, std::uint32_t tag, ListenerWatch& watch,
                  const char* message, PeerAddress& peer) {
  const Socket accepted = net_accept(listener, peer);
  if (accepted == kNoSocket) {
    accept_failed(state, listener, tag, watch, message);
    return kNoSocket;
  }
  watch.backoff_ms = 0;
  if (state.config.keepalive_seconds > 0)
    net_set_keepalive(accepted, state.config.keepalive_seconds);
  return accepted;
}

void log_timeout(const PendingSlot& slot) {
  const std::string_view host = peer_host(slot.peer);
  log_peer(PeerLine::kConnectionTimeout, kSeverityFailure, "Active mode connection timeout: %.*s",
           static_cast<int>(host.size()), host.data());
}

// Whether the device connection from peer may wait for its handshake; if not it is counted and
// closed at once, before anything is read from it or sent to it.
bool device_admitted(RelayState& state, Socket& device, const PeerAddress& peer) {
  if (!allows(state.config.allow_devices, peer.address)) {
    ++state.counters.devices_not_allowed;
    if (session_log(state)) {
      log_peer(PeerLine::kNotAllowed, kSeverityNotice, "Device connection from %s not allowed",
               peer.text);
    }
    net_close_connection(device);
    return false;
  }
  const int limit = state.config.handshakes_per_address;
  int waiting = 0;
  for (const PendingSlot& slot : state.queue) {
    waiting += slot.socket != kNoSocket && slot.peer.address == peer.address;
  }
  if (limit == 0 || waiting < limit) return true;
  ++state.counters.devices_over_address_limit;
  if (session_log(state)) {
    log_peer(PeerLine::kTurnedAway, kSeverityNotice,
             "Device connection from %s turned away: %d from its address wait for their handshake",
             peer.text, waiting);
  }
  net_close_connection(device);
  return false;
}

// Handshake timeouts, then the active-mode listener while a slot is free; with the queue full,
// the first slot that has waited too long is evicted (at most one per pass).
void admit_devices(RelayState& state, std::int64_t now_ms) {
  bool free = false;
  for (PendingSlot& slot : state.queue) {
    if (slot.socket != kNoSocket && slot.handshake_deadline_ms != 0 &&
        now_ms >= slot.handshake_deadline_ms) {
      log_timeout(slot);
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
        log_timeout(slot);
        ++state.counters.evictions;
        close_slot(state, slot);
        free = true;
        break;
      }
    }
  }
  ListenerWatch& watch = state.active_mode_watch;
  if (watch.resting && now_ms >= watch.resume_ms) watch.resting = false;
  // A refusal is tried again in the next pass.
  (void)watch_listener(state, state.active_mode_listener, kTagActiveListener, watch,
                       free && !watch.resting);
}

void resume_listeners(RelayState& state, std::int64_t now_ms) {
  for (std::size_t m = 0; m < state.mappings.size(); ++m) {
    Mapping& mapping = state.mappings[m];
    ListenerWatch& watch = mapping.listener_watch;
    if (!watch.resting || now_ms < watch.resume_ms) continue;
    if (!watch_listener(state, mapping.listener, listener_tag(m), watch, true)) {
      watch.resume_ms = now_ms + kAcceptBackoffMaxMs;  // rests on, and is tried again
      continue;
    }
    watch.resting = false;
    --state.listeners_resting;
  }
}

void accept_device(RelayState& state) {
  PeerAddress peer;
  Socket device =
      accept_one(state, state.active_mode_listener, kTagActiveListener, state.active_mode_watch,
                 "Accept error on active-mode socket: %d", peer);
  if (device == kNoSocket || !device_admitted(state, device, peer)) return;
  for (std::size_t i = 0; i < state.queue.size(); ++i) {
    PendingSlot& slot = state.queue[i];
    if (slot.socket != kNoSocket) continue;
    std::uint8_t watched = kUnwatched;
    if (!poller_watch(*state.poller, device, pending_tag(i), kWatchRead, watched)) {
      watch_refused(state);  // turned away rather than kept unwatched
      break;
    }
    open_slot(slot, device, peer);
    slot.placed_pass = state.pass;
    // The timeout in force now, whatever a reload sets before the handshake ends.
    const int timeout = state.config.handshake_timeout_seconds;
    slot.handshake_deadline_ms = timeout > 0 ? slot.accepted_at_ms + timeout * 1000 : 0;
    return;
  }
  // Refused, or (unreachable) no slot free: the listener is watched only with a slot free.
  net_close_connection(device);
}

// A wait that fails would fail again at once: the pass rests, longer while it keeps failing,
// and says so at most once a second.
void wait_failed(RelayState& state) {
  const int error = net_last_error();
  PollerTrouble& trouble = state.poller_trouble;
  const std::int64_t now = clock_milliseconds();
  if (now - trouble.wait_logged_ms >= kPollerErrorLogMs) {
    trouble.wait_logged_ms = now;
    log_message(kSeverityFailure, "Readiness wait failed: %d", error);
  }
  trouble.wait_backoff_ms = trouble.wait_backoff_ms == 0
                                ? kWaitBackoffFirstMs
                                : std::min(2 * trouble.wait_backoff_ms, kWaitBackoffMaxMs);
  clock_sleep_ms(trouble.wait_backoff_ms);
}

void accept_client(RelayState& state, std::size_t m) {
  Mapping& mapping = state.mappings[m];
  if (mapping.listener_watch.resting) return;
  PeerAddress peer;
  Socket client = accept_one(state, mapping.listener, listener_tag(m), mapping.listener_watch,
                             "Accept error on master listen socket: %d", peer);
  if (mapping.listener_watch.resting) ++state.listeners_resting;
  if (client == kNoSocket) return;
  if (!allows(clients_allowed(state.config, mapping.identifier), peer.address)) {
    // Closed before anything is read from it or sent to it.
    ++mapping.counters.clients_not_allowed;
    if (session_log(state)) {
      log_peer(PeerLine::kNotAllowed, kSeverityNotice, "Client %s of '%s' not allowed", peer.text,
               logged_identifier(mapping).c_str());
    }
    net_close_connection(client);
    return;
  }
  place_client(state, mapping, client, peer);
}

}  // namespace

void watch_refused(RelayState& state) {
  const int error = net_last_error();
  ++state.counters.watch_refusals;
  const std::int64_t now = clock_milliseconds();
  if (now - state.poller_trouble.watch_logged_ms < kPollerErrorLogMs) return;
  state.poller_trouble.watch_logged_ms = now;
  log_message(kSeverityFailure, "Readiness watch failed: %d", error);
}

void relay_cycle(RelayState& state) {
  ++state.pass;
  const std::int64_t now_ms = clock_milliseconds();
  admit_devices(state, now_ms);
  if (state.listeners_resting > 0) resume_listeners(state, now_ms);
  expire_closing(state, now_ms);
  expire_waiting_clients(state, now_ms);
  log_peer_left_out();

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
    count = state.wait(*state.poller, kCycleWaitMs);
    events = poller_events(*state.poller);
    if (count < 0) {
      wait_failed(state);
      count = 0;
    } else {
      state.poller_trouble.wait_backoff_ms = 0;
    }
  }
  // Events come sorted by tag, which is the pass's order: the device accept, the pending
  // slots, then each mapping's accept and pairs, then the closing sockets and the hook's.
  for (int i = 0; i < count; ++i) {
    const PollEvent& event = events[i];
    const TagTarget target = decode_tag(event.tag);
    switch (target.kind) {
      case TagKind::kActiveListener:
        if (event.readable && state.active_mode_watch.watched == kWatchRead) accept_device(state);
        break;
      case TagKind::kPendingSlot: {
        PendingSlot& slot = state.queue[target.index];
        // A slot filled in this pass waits for the next one; a socket handed to a pair now is
        // served by its pair from the next pass on.
        if (slot.socket != event.socket || slot.placed_pass == state.pass) break;
        if (!identify_pending(state, slot)) close_slot(state, slot);
        break;
      }
      case TagKind::kMappingListener:
        if (event.readable) accept_client(state, target.mapping);
        break;
      case TagKind::kPairSide: {
        Mapping& mapping = state.mappings[target.mapping];
        RelayPair& pair = mapping.pairs[target.pair];
        const PollEvent* client_event = nullptr;
        const PollEvent* device_event = &event;
        if (target.side == Side::kClient) {
          client_event = &event;
          device_event = nullptr;
          // Both sides of a pair are served together, in their order.
          if (i + 1 < count && events[i + 1].tag == event.tag + 1) device_event = &events[++i];
        }
        serve_pair(state, mapping, pair, client_event, device_event);
        break;
      }
      case TagKind::kClosing:
        serve_closing(state, event);
        break;
      case TagKind::kHook:
        if (state.hook.serve != nullptr) state.hook.serve(state.hook.context, event);
        break;
    }
  }
  if (state.hook.after_pass != nullptr) state.hook.after_pass(state.hook.context);
}

}  // namespace orv
