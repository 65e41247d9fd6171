// Sockets of ended pairs, closing: their sending side is shut down and what they still receive
// is discarded until their peer ends too, or kLingerMs pass. Closing one with unread input
// would send a reset, and the peer's system would then throw away bytes it had not read yet.
#include "relay/pass.h"

namespace orv {
namespace {

constexpr std::int64_t kClosingScanMs = 1000;  // expiry is checked about once a second

void close_entry(RelayState& state, std::size_t index) {
  ClosingSocket& entry = state.closing[index];
  std::uint8_t watched = kWatchRead;
  poller_forget(*state.poller, entry.socket, watched);
  net_close(entry.socket);
  entry.socket = kNoSocket;
  state.closing_free.push_back(static_cast<std::uint32_t>(index));  // capacity reserved at start
}

}  // namespace

void linger_socket(RelayState& state, Socket socket) {
  if (state.closing_free.empty()) {
    net_close_connection(socket);  // full: close at once, as without the list
    return;
  }
  const std::size_t index = state.closing_free.back();
  std::uint8_t watched = kUnwatched;
  if (!poller_watch(*state.poller, socket, closing_tag(index), kWatchRead, watched)) {
    watch_refused(state);
    net_close_connection(socket);  // unwatched it would never see its peer's end: at once
    return;
  }
  state.closing_free.pop_back();
  ClosingSocket& entry = state.closing[index];
  entry.socket = socket;
  entry.deadline_ms = clock_milliseconds() + kLingerMs;
}

void serve_closing(RelayState& state, const PollEvent& event) {
  const std::size_t index = decode_tag(event.tag).index;
  if (index >= state.closing.size() || state.closing[index].socket != event.socket) return;
  static unsigned char discard[kChannelBytes];  // never read: what arrives here is dropped
  const long got = net_recv(event.socket, discard, sizeof discard);
  if (got > 0 || (got < 0 && net_error_is_retry(net_last_error()))) return;
  close_entry(state, index);  // the peer ended its side too, or is gone
}

void expire_closing(RelayState& state, std::int64_t now_ms) {
  if (now_ms < state.closing_scan_ms) return;
  state.closing_scan_ms = now_ms + kClosingScanMs;
  for (std::size_t index = 0; index < state.closing.size(); ++index) {
    const ClosingSocket& entry = state.closing[index];
    if (entry.socket != kNoSocket && entry.deadline_ms <= now_ms) close_entry(state, index);
  }
}

void close_all_closing(RelayState& state) {
  for (std::size_t index = 0; index < state.closing.size(); ++index) {
    if (state.closing[index].socket != kNoSocket) close_entry(state, index);
  }
}

}  // namespace orv
