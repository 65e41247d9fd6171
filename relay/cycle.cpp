// One pass of the relay's event loop: watch, accept, identify, relay.
#include "diag/log.h"
#include "relay/relay.h"

namespace orv {
namespace {

// Step 1: admit the active-mode listener while a slot is free; with the queue full, evict the
// first slot that has waited too long (at most one per pass) and admit it then.
bool admit_listener(RelayState& state) {
  for (const PendingSlot& slot : state.queue) {
    if (slot.socket == kNoSocket) return true;
  }
  const std::uint32_t now = static_cast<std::uint32_t>(clock_seconds());
  for (PendingSlot& slot : state.queue) {
    // Low 32 bits, modulo 2^32, so a clock step backwards reads as a very old slot.
    const std::uint32_t age = now - static_cast<std::uint32_t>(slot.accepted_at);
    if (age > kPendingAgeLimit) {
      log_message(1, "Active mode connection timeout: %s", slot.peer_address);
      close_slot(slot);
      return true;
    }
  }
  return false;
}

void watch_pair(RelayState& state, const RelayPair& pair) {
  if (pair.client.socket != kNoSocket) {
    if (channel_holds_data(pair.device)) socket_set_add(*state.write_set, pair.client.socket);
    if (channel_has_room(pair.client) && !pair.client.ended) {
      socket_set_add(*state.read_set, pair.client.socket);
    }
  }
  if (pair.device.socket != kNoSocket) {
    if (channel_holds_data(pair.client)) socket_set_add(*state.write_set, pair.device.socket);
    if (channel_has_room(pair.device) && !pair.device.ended) {
      socket_set_add(*state.read_set, pair.device.socket);
    }
  }
}

// A fresh socket may carry the handle of one closed earlier in this pass; it must not be served
// on that socket's readiness.
void forget_readiness(RelayState& state, Socket socket) {
  socket_set_remove(*state.read_set, socket);
  socket_set_remove(*state.write_set, socket);
}

bool ready(const SocketSetPtr& set, Socket socket) {
  return socket != kNoSocket && socket_set_contains(*set, socket);
}

// A joined pair whose ended sides have all been delivered is over.
void finish_if_drained(RelayPair& pair) {
  if (pair.client.socket == kNoSocket || pair.device.socket == kNoSocket) return;
  if (!pair.client.ended && !pair.device.ended) return;
  if (pair.client.ended && channel_holds_data(pair.client)) return;
  if (pair.device.ended && channel_holds_data(pair.device)) return;
  channel_close(pair.client);
  channel_close(pair.device);
}

void serve_pair(RelayState& state, RelayPair& pair) {
  if (pair.client.socket != kNoSocket) {
    if (channel_holds_data(pair.device) && ready(state.write_set, pair.client.socket)) {
      channel_send(pair.device, pair.client.socket);
      if (pair.device.socket == kNoSocket) channel_close(pair.client);
      finish_if_drained(pair);
    }
    if (!pair.client.ended && ready(state.read_set, pair.client.socket)) {
      channel_receive(pair.client, pair.device.socket != kNoSocket);
      if (pair.client.socket == kNoSocket) channel_close(pair.device);
      finish_if_drained(pair);
    }
  }
  if (pair.device.socket != kNoSocket) {
    if (channel_holds_data(pair.client) && ready(state.write_set, pair.device.socket)) {
      channel_send(pair.client, pair.device.socket);
      if (pair.client.socket == kNoSocket) channel_close(pair.device);
      finish_if_drained(pair);
    }
    if (!pair.device.ended && ready(state.read_set, pair.device.socket)) {
      channel_receive(pair.device, pair.client.socket != kNoSocket);
      if (pair.device.socket == kNoSocket) channel_close(pair.client);
      finish_if_drained(pair);
    }
  }
}

}  // namespace

void relay_cycle(RelayState& state) {
  socket_set_clear(*state.read_set);
  socket_set_clear(*state.write_set);
  const bool listener_admitted = admit_listener(state);
  if (listener_admitted) socket_set_add(*state.read_set, state.active_mode_listener);
  for (const PendingSlot& slot : state.queue) {
    if (slot.socket != kNoSocket) socket_set_add(*state.read_set, slot.socket);
  }
  for (const Mapping& mapping : state.mappings) {
    if (mapping.listener != kNoSocket) socket_set_add(*state.read_set, mapping.listener);
    for (const RelayPair& pair : mapping.pairs) watch_pair(state, pair);
  }

  if (socket_wait(*state.read_set, *state.write_set, kCycleWaitMs) < 1) return;

  char address[kAddressTextBytes];
  if (listener_admitted && ready(state.read_set, state.active_mode_listener)) {
    const Socket device = net_accept(state.active_mode_listener, address);
    if (device == kNoSocket) {
      log_message(1, "Accept error on active-mode socket: %d", net_last_error());
    } else {
      forget_readiness(state, device);
      for (PendingSlot& slot : state.queue) {
        if (slot.socket != kNoSocket) continue;
        open_slot(slot, device, address[0] != 0 ? address : "unknow address");
        break;
      }
    }
  }

  for (PendingSlot& slot : state.queue) {
    if (!ready(state.read_set, slot.socket)) continue;
    // Taken out first, so a socket handed to a pair now is served from the next pass on.
    socket_set_remove(*state.read_set, slot.socket);
    if (!identify_pending(state, slot)) close_slot(slot);
  }

  for (Mapping& mapping : state.mappings) {
    if (ready(state.read_set, mapping.listener)) {
      const Socket client = net_accept(mapping.listener, address);
      if (client == kNoSocket) {
        log_message(1, "Accept error on master listen socket: %d", net_last_error());
      } else {
        forget_readiness(state, client);
        place_client(mapping, client, state.ticket_counter);
      }
    }
    for (RelayPair& pair : mapping.pairs) serve_pair(state, pair);
  }
}

}  // namespace orv
