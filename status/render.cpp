// The bodies of the status answers, written into a fixed buffer from a read-only view of the
// relay: /metrics in the Prometheus text format, / as plain text for a person.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>

#include "status/status.h"

namespace orv {

void StatusText::add(std::string_view text) {
  if (overflow || text.size() > capacity - length) {
    overflow = true;
    return;
  }
  std::memcpy(data + length, text.data(), text.size());
  length += text.size();
}

void StatusText::add_number(std::uint64_t value) {
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  add(std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
}

void StatusText::add_signed(std::int64_t value) {
  if (value < 0) {
    add("-");
    add_number(0 - static_cast<std::uint64_t>(value));
  } else {
    add_number(static_cast<std::uint64_t>(value));
  }
}

namespace {

// Worst cases, checked by a test that renders a relay with every pair joined and every number at
// its largest. An identifier byte takes at most 4 bytes shown ("\xNN") and 5 in a label.
constexpr std::size_t kFixedBytes = 8192;
constexpr std::size_t kMetricsPerMapping = 11 * 80;
constexpr std::size_t kLabelBytesPerByte = 11 * 5;
constexpr std::size_t kPagePerMapping = 6144;
constexpr std::size_t kShownBytesPerByte = 4;

// The length of the UTF-8 sequence at bytes[0], or 0 where none starts there. C1 controls
// (U+0080 to U+009F) count as none unless allowed: a terminal may act on them.
std::size_t utf8_sequence(const unsigned char* bytes, std::size_t left, bool c1_allowed) {
  const unsigned char lead = bytes[0];
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    if (lead == 0xC2 && !c1_allowed) low = 0xA0;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  }
  if (length == 0 || length > left || bytes[1] < low || bytes[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (bytes[i] < 0x80 || bytes[i] > 0xBF) return 0;
  }
  return length;
}

// An identifier in a label value is the identifier itself, with the backslash, the double quote
// and the line feed escaped as the format wants. On the page it is as the log writes it (bytes
// below 0x20, 0x7F and the backslash escaped), and C1 controls escaped too, so that no
// identifier can steer a terminal. In both, a byte that is not part of UTF-8 shows as "\xNN",
// since both texts are UTF-8.
void add_identifier(StatusText& text, const std::string& identifier, bool label) {
  static const char kHex[] = "0123456789abcdef";
  const auto* bytes = reinterpret_cast<const unsigned char*>(identifier.data());
  for (std::size_t i = 0; i < identifier.size();) {
    const unsigned char byte = bytes[i];
    std::size_t length = 1;
    if (byte == '\\') {
      text.add("\\\\");
    } else if (label && byte == '"') {
      text.add("\\\"");
    } else if (label && byte == '\n') {
      text.add("\\n");
    } else if (byte < 0x80 && (label || (byte >= 0x20 && byte != 0x7F))) {
      text.add(std::string_view(identifier.data() + i, 1));
    } else if (byte >= 0x80 && (length = utf8_sequence(bytes + i, identifier.size() - i, label))) {
      text.add(std::string_view(identifier.data() + i, length));
    } else {
      length = 1;
      text.add(label ? "\\\\x" : "\\x");
      const char digits[2] = {kHex[byte >> 4], kHex[byte & 0x0F]};
      text.add(std::string_view(digits, 2));
    }
    i += length;
  }
}

struct PairCounts {
  std::uint64_t relaying = 0, devices_waiting = 0, clients_waiting = 0;
};
PairCounts count_pairs(const Mapping& mapping) {
  PairCounts counts;
  for (const RelayPair& pair : mapping.pairs) {
    const bool client = pair.client.socket != kNoSocket, device = pair.device.socket != kNoSocket;
    counts.relaying += client && device;
    counts.devices_waiting += device && !client;
    counts.clients_waiting += client && !device;
  }
  return counts;
}

// ---- /metrics ------------------------------------------------------------------------------

struct MappingMetric {
  const char* name;
  const char* type;
  const char* help;
  std::uint64_t (*value)(const Mapping& mapping);
};
constexpr MappingMetric kMappingMetrics[] = {
    {"orv_pairs_relaying", "gauge", "Pairs of the mapping with a client and a device joined",
     [](const Mapping& m) { return count_pairs(m).relaying; }},
    {"orv_devices_waiting", "gauge", "Identified devices of the mapping waiting for a client",
     [](const Mapping& m) { return count_pairs(m).devices_waiting; }},
    {"orv_clients_waiting", "gauge", "Clients of the mapping waiting for a device",
     [](const Mapping& m) { return count_pairs(m).clients_waiting; }},
    {"orv_listener_up", "gauge", "1 while the mapping's client port is listening",
     [](const Mapping& m) -> std::uint64_t { return m.listener != kNoSocket; }},
    {"orv_devices_identified_total", "counter", "Devices that identified with the mapping",
     [](const Mapping& m) { return m.counters.devices_identified; }},
    {"orv_clients_accepted_total", "counter", "Clients accepted on the mapping's port",
     [](const Mapping& m) { return m.counters.clients_accepted; }},
    {"orv_clients_turned_away_total", "counter", "Clients closed because every pair held a client",
     [](const Mapping& m) { return m.counters.clients_turned_away; }},
    {"orv_devices_turned_away_total", "counter", "Devices closed because every pair held a device",
     [](const Mapping& m) { return m.counters.devices_turned_away; }},
    {"orv_pairs_ended_total", "counter", "Joined pairs of the mapping that ended",
     [](const Mapping& m) { return m.counters.pairs_ended; }},
    {"orv_relayed_to_device_bytes_total", "counter", "Bytes relayed from clients to devices",
     [](const Mapping& m) { return m.counters.bytes_to_device; }},
    {"orv_relayed_to_client_bytes_total", "counter", "Bytes relayed from devices to clients",
     [](const Mapping& m) { return m.counters.bytes_to_client; }},
};

void add_family(StatusText& text, const char* name, const char* type, const char* help) {
  text.add("# HELP ");
  text.add(name);
  text.add(" ");
  text.add(help);
  text.add("\n# TYPE ");
  text.add(name);
  text.add(" ");
  text.add(type);
  text.add("\n");
}

void add_sample(StatusText& text, const char* name, std::uint64_t value) {
  text.add(name);
  text.add(" ");
  text.add_number(value);
  text.add("\n");
}

}  // namespace

std::size_t status_body_capacity(const RelayState& state) {
  std::size_t metrics = kFixedBytes, page = kFixedBytes;
  for (const Mapping& mapping : state.mappings) {
    if (!mapping.live) continue;
    metrics += kMetricsPerMapping + kLabelBytesPerByte * mapping.identifier.size();
    page += kPagePerMapping + kShownBytesPerByte * mapping.identifier.size();
  }
  return std::max(metrics, page);
}

std::size_t render_metrics(const RelayState& state, char* out, std::size_t capacity) {
  StatusText text{out, capacity};
  for (const MappingMetric& metric : kMappingMetrics) {
    add_family(text, metric.name, metric.type, metric.help);
    for (const Mapping& mapping : state.mappings) {
      if (!mapping.live) continue;
      text.add(metric.name);
      text.add("{mapping=\"");
      add_identifier(text, mapping.identifier, true);
      text.add("\"} ");
      text.add_number(metric.value(mapping));
      text.add("\n");
    }
  }
  std::uint64_t pending = 0;
  for (const PendingSlot& slot : state.queue) pending += slot.socket != kNoSocket;
  add_family(text, "orv_pending_connections", "gauge",
             "Device connections waiting for their handshake to end");
  add_sample(text, "orv_pending_connections", pending);
  add_family(text, "orv_handshakes_refused_total", "counter",
             "Device handshakes refused, by reason");
  for (int reason = 0; reason < static_cast<int>(Refusal::kCount); ++reason) {
    text.add("orv_handshakes_refused_total{reason=\"");
    text.add(refusal_text(static_cast<Refusal>(reason)));
    text.add("\"} ");
    text.add_number(state.counters.refused[reason]);
    text.add("\n");
  }
  add_family(text, "orv_unknown_identifiers_total", "counter",
             "Devices that named an identifier no mapping has");
  add_sample(text, "orv_unknown_identifiers_total", state.counters.unknown_identifiers);
  add_family(text, "orv_evictions_total", "counter",
             "Pending device connections closed for their age or the handshake timeout");
  add_sample(text, "orv_evictions_total", state.counters.evictions);
  add_family(text, "orv_accept_errors_total", "counter", "Failed accepts on the relay's listeners");
  add_sample(text, "orv_accept_errors_total", state.counters.accept_errors);
  add_family(text, "orv_watch_refusals_total", "counter",
             "Sockets the readiness poller refused: new connections turned away, others ended");
  add_sample(text, "orv_watch_refusals_total", state.counters.watch_refusals);
  add_family(text, "orv_start_time_seconds", "gauge",
             "When the relay started, in seconds since 1970");
  text.add("orv_start_time_seconds ");
  text.add_signed(state.counters.started_at);
  text.add("\n");
  add_family(text, "orv_build_info", "gauge", "The relay's version");
  text.add("orv_build_info{version=\"");
  text.add(kVersionText);
  text.add("\"} 1\n");
  return text.overflow ? 0 : text.length;
}

// ---- / -----------------------------------------------------------------------------------

namespace {

// Times are shown within the years 1970 to 9999, so a clock far off cannot overflow a sum.
std::int64_t shown_time(std::int64_t seconds) {
  return std::clamp<std::int64_t>(seconds, 0, 253402300799);
}

// "YYYY-MM-DD hh:mm:ss UTC".
void add_utc(StatusText& text, std::int64_t seconds) {
  using namespace std::chrono;
  seconds = shown_time(seconds);
  const sys_seconds time{std::chrono::seconds{seconds}};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  const auto two = [&](unsigned value) {
    const char digits[2] = {static_cast<char>('0' + value / 10),
                            static_cast<char>('0' + value % 10)};
    text.add(std::string_view(digits, 2));
  };
  text.add_signed(static_cast<int>(date.year()));
  text.add("-");
  two(static_cast<unsigned>(date.month()));
  text.add("-");
  two(static_cast<unsigned>(date.day()));
  text.add(" ");
  two(static_cast<unsigned>(clock.hours().count()));
  text.add(":");
  two(static_cast<unsigned>(clock.minutes().count()));
  text.add(":");
  two(static_cast<unsigned>(clock.seconds().count()));
  text.add(" UTC");
}

void add_mapping(StatusText& text, const Mapping& mapping, std::int64_t now_seconds) {
  const PairCounts counts = count_pairs(mapping);
  const MappingCounters& counters = mapping.counters;
  text.add("\n'");
  add_identifier(text, mapping.identifier, false);
  text.add("' on port ");
  text.add_signed(mapping.port);
  text.add(mapping.listener != kNoSocket ? ", listening: " : ", not listening: ");
  text.add_number(counts.relaying);
  text.add(" relaying, ");
  text.add_number(counts.devices_waiting);
  text.add(" devices waiting, ");
  text.add_number(counts.clients_waiting);
  text.add(" clients waiting\n  since start: ");
  text.add_number(counters.devices_identified);
  text.add(" devices identified, ");
  text.add_number(counters.clients_accepted);
  text.add(" clients accepted, ");
  text.add_number(counters.clients_turned_away);
  text.add(" clients and ");
  text.add_number(counters.devices_turned_away);
  text.add(" devices turned away, ");
  text.add_number(counters.pairs_ended);
  text.add(" pairs ended, ");
  text.add_number(counters.bytes_to_device);
  text.add(" bytes to devices, ");
  text.add_number(counters.bytes_to_client);
  text.add(" bytes to clients\n");
  for (std::size_t p = 0; p < kPairsPerMapping; ++p) {
    const RelayPair& pair = mapping.pairs[p];
    const bool client = pair.client.socket != kNoSocket, device = pair.device.socket != kNoSocket;
    if (!client && !device) continue;
    text.add("  pair ");
    text.add_number(p);
    if (!device || !client) {
      text.add(client ? ": client " : ": device ");
      text.add(client ? pair.client.address : pair.device.address);
      text.add(" waiting\n");
      continue;
    }
    text.add(": client ");
    text.add(pair.client.address);
    text.add(", device ");
    text.add(pair.device.address);
    text.add(", joined ");
    add_utc(text, pair.joined_at);
    text.add(" (");
    text.add_signed(shown_time(now_seconds) - shown_time(pair.joined_at));
    text.add(" s ago), ");
    text.add_number(pair.client.delivered);
    text.add(" bytes to the device, ");
    text.add_number(pair.device.delivered);
    text.add(" bytes to the client\n");
  }
}

}  // namespace

std::size_t render_page(const RelayState& state, std::int64_t now_seconds, char* out,
                        std::size_t capacity) {
  StatusText text{out, capacity};
  std::uint64_t pending = 0;
  for (const PendingSlot& slot : state.queue) pending += slot.socket != kNoSocket;
  const RelayCounters& counters = state.counters;
  text.add("ORV ");
  text.add(kVersionText);
  text.add(", started ");
  add_utc(text, counters.started_at);
  text.add("\nDevice connections waiting for their handshake: ");
  text.add_number(pending);
  text.add("\nHandshakes refused:");
  for (int reason = 0; reason < static_cast<int>(Refusal::kCount); ++reason) {
    text.add(reason == 0 ? " " : ", ");
    text.add_number(counters.refused[reason]);
    text.add(" ");
    text.add(refusal_text(static_cast<Refusal>(reason)));
  }
  text.add("\nUnknown identifiers: ");
  text.add_number(counters.unknown_identifiers);
  text.add(", evictions: ");
  text.add_number(counters.evictions);
  text.add(", accept errors: ");
  text.add_number(counters.accept_errors);
  text.add(", refused by the poller: ");
  text.add_number(counters.watch_refusals);
  text.add("\n");
  for (const Mapping& mapping : state.mappings) {
    if (mapping.live) add_mapping(text, mapping, now_seconds);
  }
  return text.overflow ? 0 : text.length;
}

}  // namespace orv
