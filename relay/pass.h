// Helpers shared by the pass, the placements and the identification: socket tags, what a pair's
// sockets are watched for, the end of a pair, the closing list and the session log.
#pragma once

#include <cstdint>

#include "relay/relay.h"

namespace orv {

// Tags name sockets in the poller; their order is the pass's fixed order: the active-mode
// listener, the pending slots in slot order, then per mapping in configuration order its
// listener and its pairs in index order, client before device. Closing sockets come last.
constexpr std::uint32_t kTagActiveListener = 0;
constexpr std::uint32_t kTagFirstSlot = 1;
constexpr std::uint32_t kTagFirstMapping = 32;
constexpr std::uint32_t kTagsPerMapping = 64;  // listener, then 2 per pair
constexpr std::uint32_t kTagFirstClosing = 0xE0000000u;

inline std::uint32_t mapping_tag(std::size_t mapping_index) {
  return kTagFirstMapping + static_cast<std::uint32_t>(mapping_index) * kTagsPerMapping;
}
inline std::uint32_t side_tag(std::size_t mapping_index, std::size_t pair_index, bool device) {
  return mapping_tag(mapping_index) + 1 + 2 * static_cast<std::uint32_t>(pair_index) + device;
}
inline std::size_t mapping_index(const RelayState& state, const Mapping& mapping) {
  return static_cast<std::size_t>(&mapping - state.mappings.data());
}
inline std::size_t pair_index(const Mapping& mapping, const RelayPair& pair) {
  return static_cast<std::size_t>(&pair - mapping.pairs);
}

// Brings the poller in line with what each socket of the pair waits for.
void watch_pair(RelayState& state, Mapping& mapping, RelayPair& pair);
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

// Takes a pending socket out of the poller and out of its slot, without closing it.
void forget_slot(RelayState& state, PendingSlot& slot);

// The session log is optional; its lines are notices.
inline bool session_log(const RelayState& state) { return state.config.session_log; }
// The mapping's identifier as log lines show it.
inline std::string logged_identifier(const Mapping& mapping) {
  return escape_identifier(mapping.identifier.data(), mapping.identifier.size());
}
const char* end_how_text(EndHow how);

}  // namespace orv
