// Helpers shared by the pass, the placements and the identification: what a pair's sockets are
// watched for, the pair's data path, the end of a pair, the closing list and the session log.
#pragma once

#include <cstdint>

#include "diag/escape.h"
#include "relay/relay.h"
#include "relay/tags.h"

namespace orv {

inline std::size_t mapping_slot(const RelayState& state, const Mapping& mapping) {
  return static_cast<std::size_t>(&mapping - state.mappings.data());
}
inline std::size_t pair_index(const Mapping& mapping, const RelayPair& pair) {
  return static_cast<std::size_t>(&pair - mapping.pairs);
}

// Opens the mapping's listener and watches it. A failure (logged by open_listener) leaves the
// mapping without one; with the session log, success is logged too.
bool listen_for_clients(RelayState& state, std::size_t slot);
// Closes the mapping's listener, out of the poller and out of its rest.
void close_listener(RelayState& state, Mapping& mapping);
// Grows the closing list to room for what lingers now and every pair of that many mappings; it
// never shrinks, so no entry in use moves.
void reserve_closing(RelayState& state, std::size_t mappings);

// Brings the poller in line with what each socket of the pair waits for.
void watch_pair(RelayState& state, Mapping& mapping, RelayPair& pair);
// One pass's work on a pair, given this pass's events for its sockets (either may be null):
// the four sub-steps in their order, then what a reported end means.
void serve_pair(RelayState& state, Mapping& mapping, RelayPair& pair, const PollEvent* client_raw,
                const PollEvent* device_raw);
// Ends a joined pair: sockets that can still take bytes linger in the closing list, broken ones
// close at once. Logs the session line and counts the pair.
void end_pair(RelayState& state, Mapping& mapping, RelayPair& pair, EndHow how_if_none);
// Shuts the socket down both ways and closes it, out of the poller first; sets it to none.
void close_channel(RelayState& state, Channel& channel);
// Hands a socket whose sending side is shut down to the closing list, or closes it at once when
// the list is full.
void linger_socket(RelayState& state, Socket socket);
// Serves one event of a closing socket, and closes those whose time is up.
void serve_closing(RelayState& state, const PollEvent& event);
void expire_closing(RelayState& state, std::int64_t now_ms);
void close_all_closing(RelayState& state);
// With client-wait-timeout, closes the clients that waited that long for a device, as clients
// that left; the pairs are looked at only when the first waiting client is due.
void expire_waiting_clients(RelayState& state, std::int64_t now_ms);

// The most sockets the relay watches at once with this many mapping slots and closing entries:
// its listeners, the pending slots, the pairs' sockets, the closing list and the hook's. A
// reload that adds slots or entries raises the poller's room to it (poller_reserve) before a
// pass uses them.
std::size_t watched_sockets_max(std::size_t mapping_slots, std::size_t closing_entries);

// Takes a pending socket out of the poller and out of its slot, without closing it.
void forget_slot(RelayState& state, PendingSlot& slot);

// The session log is optional; its lines are notices, and those peers cause are limited per
// kind (diag/peer_log.h).
inline bool session_log(const RelayState& state) { return state.config.session_log; }
// The mapping's identifier as log lines show it.
inline std::string logged_identifier(const Mapping& mapping) {
  return shown_text(mapping.identifier);
}
const char* end_how_text(EndHow how);

}  // namespace orv
