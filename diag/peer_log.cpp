// The limit on lines that peers cause: per kind, a second at a time, on the clock tests can pin.
#include "diag/peer_log.h"

#include <cstdarg>
#include <cstdio>

#include "diag/log.h"
#include "net/net.h"

namespace orv {
namespace {

struct KindSecond {
  std::int64_t started_ms = 0;
  int logged = 0;
  std::uint64_t left_out = 0;
};
KindSecond g_kinds[static_cast<int>(PeerLine::kCount)];
bool g_left_out = false;  // some kind holds a count not yet logged

// Also when the clock went back (a pinned clock can): a second that begins in the future is over.
bool second_over(const KindSecond& kind, std::int64_t now_ms) {
  return now_ms - kind.started_ms >= kPeerLineSecondMs || now_ms < kind.started_ms;
}

void say_left_out(PeerLine kind, KindSecond& second) {
  log_message(kSeverityNotice, "%llu lines left out: %s",
              static_cast<unsigned long long>(second.left_out), peer_line_text(kind));
  second.left_out = 0;
}

}  // namespace

const char* peer_line_text(PeerLine kind) {
  switch (kind) {
    case PeerLine::kInvalidIdentifier:
      return "invalid identifier";
    case PeerLine::kHandshakeRefused:
      return "handshake refused";
    case PeerLine::kConnectionTimeout:
      return "connection timeout";
    case PeerLine::kTurnedAway:
      return "turned away";
    case PeerLine::kNotAllowed:
      return "not allowed";
    case PeerLine::kAcceptError:
      return "accept error";
    case PeerLine::kClientArrived:
      return "client arrived";
    case PeerLine::kDeviceArrived:
      return "device arrived";
    case PeerLine::kWaitingLeft:
      return "waiting side left";
    case PeerLine::kCount:
      break;
  }
  return "peer";
}

void log_peer(PeerLine kind, int severity, const char* format, ...) {
  KindSecond& second = g_kinds[static_cast<int>(kind)];
  const std::int64_t now_ms = clock_milliseconds();
  if (second_over(second, now_ms)) {
    if (second.left_out > 0) say_left_out(kind, second);
    second.started_ms = now_ms;
    second.logged = 0;
  }
  if (second.logged == kPeerLinesPerSecond) {
    ++second.left_out;
    g_left_out = true;
    return;
  }
  ++second.logged;
  char text[kLogMessageBytes];
  va_list arguments;
  va_start(arguments, format);
  // vsnprintf truncates within the buffer, as log_message does.
  if (std::vsnprintf(text, sizeof text, format, arguments) < 0) text[0] = 0;
  va_end(arguments);
  log_message(severity, "%s", text);
}

void log_peer_left_out(bool stopping) {
  if (!g_left_out) return;
  const std::int64_t now_ms = clock_milliseconds();
  g_left_out = false;
  for (int kind = 0; kind < static_cast<int>(PeerLine::kCount); ++kind) {
    KindSecond& second = g_kinds[kind];
    if (second.left_out == 0) continue;
    if (stopping || second_over(second, now_ms)) {
      say_left_out(static_cast<PeerLine>(kind), second);
    } else {
      g_left_out = true;
    }
  }
}

}  // namespace orv
