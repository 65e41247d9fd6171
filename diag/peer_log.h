// Log lines that peers cause, limited per kind, so that no peer can push the relay's own history
// out of orv.log and orv.log.1. Lines of the relay's own life go to log_message unlimited.
#pragma once

#include <cstdint>

namespace orv {

// One switch in peer_line_text names each kind.
enum class PeerLine : std::uint8_t {
  kInvalidIdentifier,
  kHandshakeRefused,
  kConnectionTimeout,
  kTurnedAway,
  kNotAllowed,
  kAcceptError,
  kClientArrived,
  kDeviceArrived,
  kWaitingLeft,
  kCount,
};
const char* peer_line_text(PeerLine kind);  // "invalid identifier", ...

constexpr int kPeerLinesPerSecond = 10;
constexpr std::int64_t kPeerLineSecondMs = 1000;

// Logs the line as log_message does, unless kPeerLinesPerSecond lines of its kind were logged in
// the kind's current second (which begins with the first line of the kind after the last one
// ended); then the line is only counted. Relay thread only.
void log_peer(PeerLine kind, int severity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// For each kind whose second is over with lines left out, one line that says how many:
// "1234 lines left out: invalid identifier". Called by every pass; cheap when nothing waits.
// At the relay's stop every count is said, whether or not its second is over.
void log_peer_left_out(bool stopping = false);

}  // namespace orv
