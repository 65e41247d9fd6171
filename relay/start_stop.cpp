// Start and stop of the relay: configuration, listeners, the identification queue.
#include "diag/log.h"
#include "diag/peer_log.h"
#include "relay/pass.h"

namespace orv {
namespace {
// Ready sockets taken from one wait; more are served by the next one.
constexpr int kMaxEventsPerWait = 4096;
}  // namespace

std::size_t watched_sockets_max(std::size_t mapping_slots, std::size_t closing_entries) {
  return 1 + kPendingSlots + mapping_slots * (1 + 2 * kPairsPerMapping) + closing_entries +
         kHookSocketsMax;
}

void reserve_closing(RelayState& state, std::size_t mappings) {
  // Room for what lingers now and both sockets of every pair, plus some: beyond it a socket
  // closes at once.
  const std::size_t had = state.closing.size();
  const std::size_t wanted = had - state.closing_free.size() + 2 * kPairsPerMapping * mappings + 64;
  if (wanted <= had) return;
  state.closing.resize(wanted);
  state.closing_free.reserve(wanted);  // so that freeing an entry never allocates
  for (std::size_t i = wanted; i > had; --i) {
    state.closing_free.push_back(static_cast<std::uint32_t>(i - 1));
  }
}

bool orv_start(RelayState& state, const std::string& config_path) {
  state.config_path = config_path;
  if (!load_config(state.config, config_path)) return false;
  if (session_log(state)) {
    log_message(kSeverityNotice, "Configuration read from %s", config_path.c_str());
  }
  set_log_retention(state.config.log_size_bytes, state.config.log_keep);
  state.active_mode_port = state.config.active_mode_port;
  for (const MappingEntry& entry : state.config.mappings) {
    state.mappings.push_back(make_mapping(entry.identifier, entry.port));
  }
  reserve_closing(state, state.mappings.size());
  state.poller = poller_create(kMaxEventsPerWait,
                               watched_sockets_max(state.mappings.size(), state.closing.size()));
  if (!state.poller) {
    log_message(kSeverityFailure, "Readiness poller failed: %d", net_last_error());
    return false;
  }
  // The active-mode listener opens first, so a mapping on its port is the one that fails.
  state.active_mode_listener = open_listener(state, state.active_mode_port);
  if (state.active_mode_listener == kNoSocket) {
    relay_stop(state);
    return false;
  }
  if (session_log(state)) {
    log_message(kSeverityNotice, "Listening for devices on port %d", state.active_mode_port);
  }
  // A listener that fails is tried again by a reload only: the mapping keeps its pairs.
  for (std::size_t m = 0; m < state.mappings.size(); ++m) (void)listen_for_clients(state, m);
  state.queue.assign(kPendingSlots, PendingSlot{});
  state.carry.reserve(kMaxEventsPerWait);
  state.carried.reserve(kMaxEventsPerWait);
  state.counters.started_at = clock_seconds();
  return true;
}

void relay_stop(RelayState& state) {
  if (state.active_mode_listener != kNoSocket) {
    if (state.poller) {
      poller_forget(*state.poller, state.active_mode_listener, state.active_mode_watch.watched);
    }
    net_close(state.active_mode_listener);
    state.active_mode_listener = kNoSocket;
  }
  for (Mapping& mapping : state.mappings) close_mapping(state, mapping);
  if (state.poller) close_all_closing(state);
  log_peer_left_out(true);
  // Connections still in the identification queue are left to the socket library's shutdown.
}

}  // namespace orv
