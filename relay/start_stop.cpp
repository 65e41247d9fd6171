// Start and stop of the relay: configuration, listeners, the identification queue.
#include "diag/log.h"
#include "diag/peer_log.h"
#include "relay/pass.h"

namespace orv {
namespace {
// Ready sockets taken from one wait; more are served by the next one.
constexpr int kMaxEventsPerWait = 4096;
// Room for both sockets of every pair, plus some: beyond it a socket closes at once.
std::size_t closing_capacity(std::size_t mappings) { return 2 * kPairsPerMapping * mappings + 64; }
}  // namespace

std::size_t watched_sockets_max(std::size_t mapping_slots) {
  return 1 + kPendingSlots + mapping_slots * (1 + 2 * kPairsPerMapping) +
         closing_capacity(mapping_slots) + kHookSocketsMax;
}

bool orv_start(RelayState& state, const std::string& config_path) {
  state.config_path = config_path;
  if (!load_config(state.config, config_path)) return false;
  set_log_retention(state.config.log_size_bytes, state.config.log_keep);
  state.active_mode_port = state.config.active_mode_port;
  state.mappings.reserve(state.config.mappings.size());  // never moved once sockets are open
  for (const MappingEntry& entry : state.config.mappings) {
    state.mappings.push_back(make_mapping(entry.identifier, entry.port));
  }
  state.poller = poller_create(kMaxEventsPerWait, watched_sockets_max(state.mappings.size()));
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
  for (std::size_t m = 0; m < state.mappings.size(); ++m) {
    Mapping& mapping = state.mappings[m];
    mapping.listener = open_listener(state, mapping.port);
    // Not retried: the mapping has no listener for this run, but keeps its pairs.
    if (mapping.listener == kNoSocket) continue;
    if (!poller_watch(*state.poller, mapping.listener, listener_tag(m), kWatchRead,
                      mapping.listener_watch.watched)) {
      // As a listener that did not open: the mapping takes no clients in this run.
      watch_refused(state);
      net_close(mapping.listener);
      mapping.listener = kNoSocket;
      continue;
    }
    if (session_log(state)) {
      log_message(kSeverityNotice, "Listening for clients of '%s' on port %d",
                  logged_identifier(mapping).c_str(), mapping.port);
    }
  }
  state.queue.assign(kPendingSlots, PendingSlot{});
  state.closing.assign(closing_capacity(state.mappings.size()), ClosingSocket{});
  state.closing_free.clear();
  for (std::size_t i = state.closing.size(); i > 0; --i) {
    state.closing_free.push_back(static_cast<std::uint32_t>(i - 1));
  }
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
