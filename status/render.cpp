// The bodies of the status answers, written into a fixed buffer from a read-only view of the
// relay by walking the figure tables: /metrics in the Prometheus text format, /status.json for
// the browser page and scripts, / as plain text for a person.
#include <algorithm>
#include <iterator>

#include "status/figures.h"

namespace orv {
namespace {

// Worst cases, checked by a test that renders a relay with every pair joined, every number at
// its largest and the longest identifiers escaped most.
constexpr std::size_t kHelpBytes = 256;    // a metric's HELP and TYPE, a relay-wide value
constexpr std::size_t kFigureBytes = 128;  // a mapping's value with its key or name
constexpr std::size_t kPairBytes = 320;    // two IPv6 peers, a time and two byte counts
constexpr std::size_t kFixedBytes =
    4096 + kHelpBytes * (std::size(kMappingFigures) + std::size(kRelayFigures) +
                         static_cast<std::size_t>(Refusal::kCount));
constexpr std::size_t kPerMapping =
    kFigureBytes * std::size(kMappingFigures) + kPairBytes * kPairsPerMapping;
// An identifier appears once in each metric, and once in the other bodies.
constexpr std::size_t kIdentifierCopies = std::size(kMappingFigures);

// When a pair's present state began: both sides there, or its one side's arrival.
std::int64_t pair_since(const RelayPair& pair) {
  if (pair.client.socket != kNoSocket && pair.device.socket != kNoSocket) return pair.joined_at;
  return pair.client.socket != kNoSocket ? pair.client.arrived_at : pair.device.arrived_at;
}

// ---- /metrics ------------------------------------------------------------------------------

void add_family(StatusText& text, const Figure& figure) {
  text.add("# HELP ");
  text.add(figure.metric);
  text.add(" ");
  text.add(figure.help);
  text.add("\n# TYPE ");
  text.add(figure.metric);
  text.add(figure.kind == FigureKind::kCounter ? " counter\n" : " gauge\n");
}

// name{mapping="...",label="..."} value; either label may be absent.
void add_sample(StatusText& text, const Figure& figure, const Mapping* mapping, int label,
                std::uint64_t value) {
  text.add(figure.metric);
  const bool labelled = figure.label_name != nullptr;
  if (mapping != nullptr || labelled) text.add("{");
  if (mapping != nullptr) {
    text.add("mapping=\"");
    add_escaped(text, mapping->identifier, Form::kLabel);
    text.add(labelled ? "\"," : "\"");
  }
  if (labelled) {
    text.add(figure.label_name);
    text.add("=\"");
    text.add(figure.label_text(label));
    text.add("\"");
  }
  if (mapping != nullptr || labelled) text.add("}");
  text.add(" ");
  text.add_number(value);
  text.add("\n");
}

// ---- /status.json and / --------------------------------------------------------------------

void add_json_value(StatusText& text, FigureKind kind, std::uint64_t value) {
  if (kind == FigureKind::kFlag) {
    text.add(value != 0 ? "true" : "false");
  } else if (kind == FigureKind::kTime && value == 0) {
    text.add("null");
  } else if (kind == FigureKind::kTime) {
    text.add("\"");
    add_time(text, static_cast<std::int64_t>(value), true);
    text.add("\"");
  } else {
    text.add_number(value);
  }
}

// ,"key":value for each figure; a labelled one as an object of its labels.
template <typename Source, std::size_t count>
void add_json_figures(StatusText& text, const FigureOf<Source> (&rows)[count],
                      const Source& source) {
  for (std::size_t i = 0; i < count; ++i) {
    const Figure& figure = rows[i].figure;
    text.add(i == 0 ? "\"" : ",\"");
    text.add(figure.key);
    text.add(figure.label_name != nullptr ? "\":{" : "\":");
    for (int label = 0; label < figure.label_count; ++label) {
      if (figure.label_name != nullptr) {
        text.add(label == 0 ? "\"" : ",\"");
        text.add(figure.label_text(label));
        text.add("\":");
      }
      add_json_value(text, figure.kind, rows[i].read(source, label));
    }
    if (figure.label_name != nullptr) text.add("}");
  }
}

void add_text_value(StatusText& text, FigureKind kind, std::uint64_t value) {
  if (kind == FigureKind::kFlag) {
    text.add(value != 0 ? "yes" : "no");
  } else if (kind == FigureKind::kTime && value == 0) {
    text.add("never");
  } else if (kind == FigureKind::kTime) {
    add_time(text, static_cast<std::int64_t>(value), false);
  } else {
    text.add_number(value);
  }
}

// Three lines, "label: value, ...": the state now, the counts since start, the times.
template <typename Source, std::size_t count>
void add_text_figures(StatusText& text, const FigureOf<Source> (&rows)[count], const Source& source,
                      const char* indent) {
  const auto line_of = [](FigureKind kind) {
    return kind == FigureKind::kCounter ? 1 : kind == FigureKind::kTime ? 2 : 0;
  };
  static const char* const kHeads[] = {"now: ", "since start: ", ""};
  for (int line = 0; line < 3; ++line) {
    bool first = true;
    for (std::size_t i = 0; i < count; ++i) {
      const Figure& figure = rows[i].figure;
      if (line_of(figure.kind) != line) continue;
      text.add(first ? indent : ", ");
      if (first) text.add(kHeads[line]);
      first = false;
      text.add(figure.text);
      text.add(":");
      for (int label = 0; label < figure.label_count; ++label) {
        text.add(label == 0 ? " " : ", ");
        add_text_value(text, figure.kind, rows[i].read(source, label));
        if (figure.label_name != nullptr) {
          text.add(" ");
          text.add(figure.label_text(label));
        }
      }
    }
    if (!first) text.add("\n");
  }
}

void add_text_pairs(StatusText& text, const Mapping& mapping, std::int64_t now_seconds) {
  for (std::size_t p = 0; p < kPairsPerMapping; ++p) {
    const RelayPair& pair = mapping.pairs[p];
    const bool client = pair.client.socket != kNoSocket, device = pair.device.socket != kNoSocket;
    if (!client && !device) continue;
    text.add("  pair ");
    text.add_number(p);
    text.add(client ? ": client " : ": device ");
    text.add(client ? pair.client.peer.text : pair.device.peer.text);
    if (client && device) {
      text.add(", device ");
      text.add(pair.device.peer.text);
    }
    text.add(client && device ? ", relaying since " : ", waiting since ");
    const std::uint64_t now = shown_time(now_seconds), since = shown_time(pair_since(pair));
    add_time(text, static_cast<std::int64_t>(since), false);
    text.add(" (");
    text.add_number(now - std::min(now, since));
    text.add(" s)");
    if (client && device) {
      text.add(", bytes to the device: ");
      text.add_number(pair.client.delivered);
      text.add(", bytes to the client: ");
      text.add_number(pair.device.delivered);
    }
    text.add("\n");
  }
}

void add_json_pairs(StatusText& text, const Mapping& mapping) {
  bool first = true;
  for (std::size_t p = 0; p < kPairsPerMapping; ++p) {
    const RelayPair& pair = mapping.pairs[p];
    const bool client = pair.client.socket != kNoSocket, device = pair.device.socket != kNoSocket;
    if (!client && !device) continue;
    text.add(first ? "{\"pair\":" : ",{\"pair\":");
    first = false;
    text.add_number(p);
    for (const Channel* side : {&pair.client, &pair.device}) {
      text.add(side == &pair.client ? ",\"client\":" : ",\"device\":");
      if (side->socket == kNoSocket) {
        text.add("null");
        continue;
      }
      text.add("\"");
      text.add(side->peer.text);
      text.add("\"");
    }
    text.add(",\"since\":");
    add_json_value(text, FigureKind::kTime, shown_time(pair_since(pair)));
    text.add(",\"bytes_to_device\":");
    text.add_number(pair.client.delivered);
    text.add(",\"bytes_to_client\":");
    text.add_number(pair.device.delivered);
    text.add("}");
  }
}

}  // namespace

std::size_t status_body_capacity(const RelayState& state) {
  std::size_t capacity = kFixedBytes + kEscapedBytesPerByte * state.config_path.size();
  for (const Mapping& mapping : state.mappings) {
    if (!mapping.live) continue;
    capacity += kPerMapping + kIdentifierCopies * kEscapedBytesPerByte * mapping.identifier.size();
  }
  return std::max(capacity, kStatusPage.size());
}

std::size_t render_metrics(const RelayState& state, char* out, std::size_t capacity) {
  StatusText text{out, capacity};
  for (const MappingFigure& row : kMappingFigures) {
    add_family(text, row.figure);
    for (const Mapping& mapping : state.mappings) {
      if (mapping.live) add_sample(text, row.figure, &mapping, 0, row.read(mapping, 0));
    }
  }
  for (const RelayFigure& row : kRelayFigures) {
    add_family(text, row.figure);
    for (int label = 0; label < row.figure.label_count; ++label) {
      add_sample(text, row.figure, nullptr, label, row.read(state, label));
    }
  }
  text.add("# HELP orv_build_info The relay's version\n# TYPE orv_build_info gauge\n");
  text.add("orv_build_info{version=\"");
  text.add(kVersion);
  text.add("\"} 1\n");
  return text.overflow ? 0 : text.length;
}

std::size_t render_json(const RelayState& state, std::int64_t now_seconds, char* out,
                        std::size_t capacity) {
  StatusText text{out, capacity};
  text.add("{\"version\":\"");
  text.add(kVersion);
  text.add("\",\"now\":\"");
  add_time(text, now_seconds, true);
  text.add("\",\"config\":\"");
  add_escaped(text, state.config_path, Form::kJson);
  text.add("\",\"relay\":{");
  add_json_figures(text, kRelayFigures, state);
  text.add("},\"mappings\":[");
  bool first = true;
  for (const Mapping& mapping : state.mappings) {
    if (!mapping.live) continue;
    text.add(first ? "{\"id\":\"" : ",\n{\"id\":\"");
    first = false;
    add_escaped(text, mapping.identifier, Form::kJson);
    text.add("\",\"port\":");
    text.add_signed(mapping.port);
    text.add(",");
    add_json_figures(text, kMappingFigures, mapping);
    text.add(",\"pairs\":[");
    add_json_pairs(text, mapping);
    text.add("]}");
  }
  text.add("]}\n");
  return text.overflow ? 0 : text.length;
}

std::size_t render_page(const RelayState& state, std::int64_t now_seconds, char* out,
                        std::size_t capacity) {
  StatusText text{out, capacity};
  text.add("ORV ");
  text.add(kVersion);
  text.add(", times in the relay's local time (");
  add_zone(text, now_seconds);
  text.add(")\nconfiguration: ");
  add_escaped(text, state.config_path, Form::kText);
  text.add("\n");
  add_text_figures(text, kRelayFigures, state, "");
  for (const Mapping& mapping : state.mappings) {
    if (!mapping.live) continue;
    text.add("\n'");
    add_escaped(text, mapping.identifier, Form::kText);
    text.add("' on port ");
    text.add_signed(mapping.port);
    text.add("\n");
    add_text_figures(text, kMappingFigures, mapping, "  ");
    add_text_pairs(text, mapping, now_seconds);
  }
  return text.overflow ? 0 : text.length;
}

}  // namespace orv
