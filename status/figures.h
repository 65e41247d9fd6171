// One description of each figure the status listener shows: its metric name and help, its key in
// /status.json, its label on the plain page, and how it is read from the relay's state. The
// renderers walk these tables, so a new figure is one row here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "relay/relay.h"
#include "status/status.h"

namespace orv {

enum class FigureKind : std::uint8_t {
  kFlag,     // 0 or 1
  kGauge,    // a number now
  kCounter,  // a number since start; its metric name ends in _total
  kTime,     // seconds since 1970, 0 for never; shown in the relay's local time
};

struct Figure {
  const char* metric;  // Prometheus name
  FigureKind kind;
  const char* key;   // in /status.json
  const char* text;  // on the plain page
  const char* help;  // the metric's HELP
  // A labelled figure has a value for each of its label_count labels.
  const char* label_name = nullptr;
  int label_count = 1;
  const char* (*label_text)(int label) = nullptr;
};

// A figure of each mapping (Source = Mapping) or of the whole relay (Source = RelayState).
template <typename Source>
struct FigureOf {
  Figure figure;
  std::uint64_t (*read)(const Source& source, int label);
};
using MappingFigure = FigureOf<Mapping>;
using RelayFigure = FigureOf<RelayState>;

// Times are shown within the years 1970 to 9999, so a clock far off cannot overflow a sum.
constexpr std::int64_t kLastShownSecond = 253402300799;
inline std::uint64_t shown_time(std::int64_t seconds) {
  return static_cast<std::uint64_t>(std::clamp<std::int64_t>(seconds, 0, kLastShownSecond));
}

struct PairCounts {
  std::uint64_t relaying = 0, devices_waiting = 0, clients_waiting = 0;
};
inline PairCounts count_pairs(const Mapping& mapping) {
  PairCounts counts;
  for (const RelayPair& pair : mapping.pairs) {
    const bool client = pair.client.socket != kNoSocket, device = pair.device.socket != kNoSocket;
    counts.relaying += client && device;
    counts.devices_waiting += device && !client;
    counts.clients_waiting += client && !device;
  }
  return counts;
}

inline constexpr MappingFigure kMappingFigures[] = {
    {{"orv_device_connected", FigureKind::kFlag, "online", "device connected",
      "1 while a device of the mapping is connected (waiting or relaying)"},
     [](const Mapping& m, int) -> std::uint64_t {
       return std::any_of(std::begin(m.pairs), std::end(m.pairs),
                          [](const RelayPair& p) { return p.device.socket != kNoSocket; });
     }},
    {{"orv_listener_up", FigureKind::kFlag, "listening", "listening",
      "1 while the mapping's client port is listening"},
     [](const Mapping& m, int) -> std::uint64_t { return m.listener != kNoSocket; }},
    {{"orv_pairs_relaying", FigureKind::kGauge, "relaying", "pairs relaying",
      "Pairs of the mapping with a client and a device joined"},
     [](const Mapping& m, int) { return count_pairs(m).relaying; }},
    {{"orv_devices_waiting", FigureKind::kGauge, "devices_waiting", "devices waiting",
      "Identified devices of the mapping waiting for a client"},
     [](const Mapping& m, int) { return count_pairs(m).devices_waiting; }},
    {{"orv_clients_waiting", FigureKind::kGauge, "clients_waiting", "clients waiting",
      "Clients of the mapping waiting for a device"},
     [](const Mapping& m, int) { return count_pairs(m).clients_waiting; }},
    {{"orv_devices_identified_total", FigureKind::kCounter, "devices_identified",
      "devices identified", "Devices that identified with the mapping"},
     [](const Mapping& m, int) { return m.counters.devices_identified; }},
    {{"orv_clients_accepted_total", FigureKind::kCounter, "clients_accepted", "clients accepted",
      "Clients accepted on the mapping's port"},
     [](const Mapping& m, int) { return m.counters.clients_accepted; }},
    {{"orv_clients_turned_away_total", FigureKind::kCounter, "clients_turned_away",
      "clients turned away", "Clients closed because every pair held a client"},
     [](const Mapping& m, int) { return m.counters.clients_turned_away; }},
    {{"orv_devices_turned_away_total", FigureKind::kCounter, "devices_turned_away",
      "devices turned away", "Devices closed because every pair held a device"},
     [](const Mapping& m, int) { return m.counters.devices_turned_away; }},
    {{"orv_clients_not_allowed_total", FigureKind::kCounter, "clients_not_allowed",
      "clients not allowed", "Clients closed at accept because their address is not allowed"},
     [](const Mapping& m, int) { return m.counters.clients_not_allowed; }},
    {{"orv_pairs_ended_total", FigureKind::kCounter, "pairs_ended", "pairs ended",
      "Joined pairs of the mapping that ended"},
     [](const Mapping& m, int) { return m.counters.pairs_ended; }},
    {{"orv_relayed_to_device_bytes_total", FigureKind::kCounter, "bytes_to_device",
      "bytes to devices", "Bytes relayed from clients to devices"},
     [](const Mapping& m, int) { return m.counters.bytes_to_device; }},
    {{"orv_relayed_to_client_bytes_total", FigureKind::kCounter, "bytes_to_client",
      "bytes to clients", "Bytes relayed from devices to clients"},
     [](const Mapping& m, int) { return m.counters.bytes_to_client; }},
    {{"orv_device_last_seen_timestamp_seconds", FigureKind::kTime, "last_device_seen",
      "last device seen",
      "When a device of the mapping last identified or left, in seconds since 1970; 0: not "
      "since start"},
     [](const Mapping& m, int) { return shown_time(m.counters.last_device_seen_at); }},
    {{"orv_last_pair_end_timestamp_seconds", FigureKind::kTime, "last_pair_end", "last pair ended",
      "When a joined pair of the mapping last ended, in seconds since 1970; 0: not since start"},
     [](const Mapping& m, int) { return shown_time(m.counters.last_pair_end_at); }},
};

inline constexpr RelayFigure kRelayFigures[] = {
    {{"orv_pending_connections", FigureKind::kGauge, "pending",
      "device connections waiting for their handshake",
      "Device connections waiting for their handshake to end"},
     [](const RelayState& s, int) -> std::uint64_t {
       return std::count_if(s.queue.begin(), s.queue.end(),
                            [](const PendingSlot& slot) { return slot.socket != kNoSocket; });
     }},
    {{"orv_handshakes_refused_total", FigureKind::kCounter, "handshakes_refused",
      "handshakes refused", "Device handshakes refused, by reason", "reason",
      static_cast<int>(Refusal::kCount),
      [](int reason) { return refusal_text(static_cast<Refusal>(reason)); }},
     [](const RelayState& s, int reason) { return s.counters.refused[reason]; }},
    {{"orv_unknown_identifiers_total", FigureKind::kCounter, "unknown_identifiers",
      "unknown identifiers", "Devices that named an identifier no mapping has"},
     [](const RelayState& s, int) { return s.counters.unknown_identifiers; }},
    {{"orv_evictions_total", FigureKind::kCounter, "evictions", "evictions",
      "Pending device connections closed for their age or the handshake timeout"},
     [](const RelayState& s, int) { return s.counters.evictions; }},
    {{"orv_accept_errors_total", FigureKind::kCounter, "accept_errors", "accept errors",
      "Failed accepts on the relay's listeners"},
     [](const RelayState& s, int) { return s.counters.accept_errors; }},
    {{"orv_devices_not_allowed_total", FigureKind::kCounter, "devices_not_allowed",
      "device connections not allowed",
      "Device connections closed at accept because their address is not allowed"},
     [](const RelayState& s, int) { return s.counters.devices_not_allowed; }},
    {{"orv_devices_over_address_limit_total", FigureKind::kCounter, "devices_over_address_limit",
      "device connections over the per-address limit",
      "Device connections closed at accept because their address had handshakes-per-address "
      "connections waiting"},
     [](const RelayState& s, int) { return s.counters.devices_over_address_limit; }},
    {{"orv_watch_refusals_total", FigureKind::kCounter, "watch_refusals",
      "sockets refused by the poller",
      "Sockets the readiness poller refused: new connections turned away, others ended"},
     [](const RelayState& s, int) { return s.counters.watch_refusals; }},
    {{"orv_reloads_total", FigureKind::kCounter, "reloads", "reloads",
      "Configuration reloads applied"},
     [](const RelayState& s, int) { return s.counters.reloads; }},
    {{"orv_start_time_seconds", FigureKind::kTime, "started", "started",
      "When the relay started, in seconds since 1970"},
     [](const RelayState& s, int) { return shown_time(s.counters.started_at); }},
    {{"orv_last_reload_timestamp_seconds", FigureKind::kTime, "last_reload", "last reload",
      "When the configuration was last reloaded, in seconds since 1970; 0: not since start"},
     [](const RelayState& s, int) { return shown_time(s.counters.last_reload_at); }},
};

// ---- writing ---------------------------------------------------------------------------

// How a name from outside (an identifier, a path) is written.
enum class Form : std::uint8_t {
  kLabel,  // a metric label's value: the bytes themselves, escaped as the format wants
  kText,   // for a person, as the log writes an identifier: no control character gets through
  kJson,   // the kText form inside a JSON string
};
// A byte that is not UTF-8 shows as "\xNN" in every form. Each byte takes at most
// kEscapedBytesPerByte bytes.
void add_escaped(StatusText& text, std::string_view name, Form form);
constexpr std::size_t kEscapedBytesPerByte = 5;

// "YYYY-MM-DD hh:mm:ss" in the relay's local time, as its log writes it; iso:
// "YYYY-MM-DDThh:mm:ss+hh:mm". kTimeBytes at most.
void add_time(StatusText& text, std::int64_t seconds, bool iso);
// "UTC+hh:mm", the local zone's offset at that moment.
void add_zone(StatusText& text, std::int64_t seconds);
constexpr std::size_t kTimeBytes = 26;

}  // namespace orv
