// Start and stop of the relay: configuration, listeners, the identification queue.
#include "config/config.h"
#include "diag/log.h"
#include "relay/relay.h"

namespace orv {

bool orv_start(RelayState& state, const std::string& config_path) {
  if (!load_config(state.config, config_path)) return false;
  state.active_mode_port = state.config.active_mode_port;
  state.mappings.reserve(state.config.mappings.size());  // never moved once sockets are open
  for (const MappingEntry& entry : state.config.mappings) {
    state.mappings.push_back(make_mapping(entry.identifier, entry.port));
  }
  // The active-mode listener opens first, so a mapping on its port is the one that fails.
  state.active_mode_listener = open_listener(state.active_mode_port);
  if (state.active_mode_listener == kNoSocket) {
    int error = net_last_error();
    relay_stop(state);
    log_message(kSeverityFailure, "TCP listen\ton port\t%d error: %d", state.active_mode_port,
                error);
    return false;
  }
  for (Mapping& mapping : state.mappings) {
    mapping.listener = open_listener(mapping.port);
    if (mapping.listener == kNoSocket) {
      // Not retried: the mapping has no listener for this run, but keeps its pairs.
      log_message(kSeverityFailure, "TCP listen\ton port\t%d error: %d", mapping.port,
                  net_last_error());
    }
  }
  state.queue.assign(kPendingSlots, PendingSlot{});
  return true;
}

void relay_stop(RelayState& state) {
  if (state.active_mode_listener != kNoSocket) {
    net_close(state.active_mode_listener);
    state.active_mode_listener = kNoSocket;
  }
  for (Mapping& mapping : state.mappings) close_mapping(mapping);
  // Connections still in the identification queue are left to the socket library's shutdown.
}

}  // namespace orv
