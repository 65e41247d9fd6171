// A configuration read again while the relay runs, applied between two passes: mappings are
// matched by identifier, so what stays is left untouched, and freed slots are no longer named.
#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "diag/log.h"
#include "relay/pass.h"

namespace orv {
namespace {

constexpr std::size_t kNoSlot = SIZE_MAX;

// Ends the mapping's pairs with the lingering close, closes its waiting sides and its listener,
// and frees its slot.
void remove_mapping(RelayState& state, std::size_t slot) {
  close_mapping(state, state.mappings[slot], EndHow::kReload);
  state.mappings[slot] = Mapping{};  // its buffers go: nothing refers to them any more
}

// A free slot for a new mapping, the lowest one; a new one at the end when none is free.
std::size_t take_slot(RelayState& state, const MappingEntry& entry) {
  const auto free = std::find_if(state.mappings.begin(), state.mappings.end(),
                                 [](const Mapping& mapping) { return !mapping.live; });
  const std::size_t slot = static_cast<std::size_t>(free - state.mappings.begin());
  if (free == state.mappings.end()) {
    state.mappings.push_back(make_mapping(entry.identifier, entry.port));
  } else {
    *free = make_mapping(entry.identifier, entry.port);
  }
  return slot;
}

// Carried events name a pair by its slot: those of freed slots go.
void forget_freed_slots(RelayState& state) {
  std::erase_if(state.carry, [&](const PollEvent& event) {
    const TagTarget target = decode_tag(event.tag);
    return target.kind == TagKind::kPairSide && !state.mappings[target.mapping].live;
  });
}

void close_active_mode_listener(RelayState& state) {
  poller_forget(*state.poller, state.active_mode_listener, state.active_mode_watch.watched);
  net_close(state.active_mode_listener);
  state.active_mode_listener = kNoSocket;
}

// On another port the new active-mode listener opens before the old one closes, so a port that
// cannot be opened leaves devices the one they have. On another listen-address the old one
// closes first (a listener on every address holds its port on each of them), and is opened
// again where it was when the new one fails.
void move_active_mode_listener(RelayState& state, int port, std::string old_address) {
  const bool address_moved = old_address != state.config.listen_address;
  if (port == state.active_mode_port && !address_moved) return;
  if (address_moved) close_active_mode_listener(state);
  Socket listener = open_listener(state, port);  // a failure is logged
  if (listener == kNoSocket && address_moved) {
    std::swap(state.config.listen_address, old_address);
    listener = open_listener(state, port = state.active_mode_port);
    std::swap(state.config.listen_address, old_address);
  }
  if (listener == kNoSocket) return;
  if (state.active_mode_listener != kNoSocket) close_active_mode_listener(state);
  state.active_mode_listener = listener;
  state.active_mode_port = port;
  state.active_mode_watch = ListenerWatch{};  // the next pass watches it
  if (session_log(state)) log_message(kSeverityNotice, "Listening for devices on port %d", port);
}

}  // namespace

ReloadCounts relay_reload(RelayState& state, Config config) {
  ReloadCounts counts;
  std::string old_address = std::move(state.config.listen_address);
  const bool address_moved = config.listen_address != old_address;
  // From here on the new directives hold: what the reload itself logs follows them, and waiting
  // clients are looked at again under the client-wait-timeout now in force.
  state.config = std::move(config);
  state.waiting_scan_ms = 0;
  set_log_retention(state.config.log_size_bytes, state.config.log_keep);
  const std::vector<MappingEntry>& entries = state.config.mappings;
  if (session_log(state)) {
    log_message(kSeverityNotice, "Configuration read from %s", state.config_path.c_str());
  }

  std::unordered_map<std::string_view, std::size_t> live;
  for (std::size_t m = 0; m < state.mappings.size(); ++m) {
    if (state.mappings[m].live) live.emplace(state.mappings[m].identifier, m);
  }
  std::vector<std::size_t> slots(entries.size(), kNoSlot);
  std::vector<bool> kept(state.mappings.size(), false);
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const auto found = live.find(entries[e].identifier);
    if (found == live.end()) continue;
    slots[e] = found->second;
    kept[found->second] = true;
  }
  live.clear();  // it views identifiers of slots about to be freed

  std::size_t removed = 0;
  for (std::size_t m = 0; m < kept.size(); ++m) removed += state.mappings[m].live && !kept[m];
  // Removed mappings' pairs linger in the closing list beside the pairs of those that live, and
  // the poller has room for every socket before any is watched. New mappings take freed slots
  // first, so the slots end as many as there are now or as there are mappings, if more.
  reserve_closing(state, entries.size() + removed);
  const std::size_t slots_after = std::max(state.mappings.size(), entries.size());
  if (!poller_reserve(*state.poller, watched_sockets_max(slots_after, state.closing.size()))) {
    // Sockets beyond its room are turned away and counted as the watch refusals they are.
    log_message(kSeverityFailure, "Readiness poller failed: %d", net_last_error());
  }
  // Ports are let go of before any is opened, so that a port may pass from one mapping to
  // another in one reload.
  for (std::size_t m = 0; m < kept.size(); ++m) {
    if (state.mappings[m].live && !kept[m]) remove_mapping(state, m);
  }
  for (std::size_t e = 0; e < entries.size(); ++e) {
    if (slots[e] == kNoSlot) continue;
    Mapping& mapping = state.mappings[slots[e]];
    // A listener on another port, or on another listen-address; its pairs go on.
    if (mapping.port != entries[e].port || address_moved) close_listener(state, mapping);
    if (mapping.port == entries[e].port) {
      ++counts.kept;
      continue;
    }
    mapping.port = entries[e].port;
    ++counts.changed;
  }
  forget_freed_slots(state);
  // As at start, the active-mode listener opens first: a mapping on its port is the one that
  // fails.
  move_active_mode_listener(state, state.config.active_mode_port, std::move(old_address));
  for (std::size_t e = 0; e < entries.size(); ++e) {
    if (slots[e] != kNoSlot) continue;
    slots[e] = take_slot(state, entries[e]);
    ++counts.added;
  }
  // New and changed mappings listen; so does a kept one whose listener could not open before.
  // One that fails is logged and lives without a listener, as at start.
  for (const std::size_t slot : slots) {
    if (state.mappings[slot].listener == kNoSocket) (void)listen_for_clients(state, slot);
  }
  counts.removed = static_cast<int>(removed);
  ++state.counters.reloads;
  state.counters.last_reload_at = clock_seconds();
  return counts;
}

}  // namespace orv
