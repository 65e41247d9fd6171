// Readiness of many sockets through a registration that persists from wait to wait: epoll on
// Linux, where a wait costs what is ready plus the changes since the last one; the socket
// driver's poll requests through a completion port on Windows, where it costs the same in groups
// of sockets. Neither has a fixed limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/net.h"

namespace orv {

// What a socket is watched for. kWatchEnd reports a peer's end of stream or a reset even
// without read interest (a channel that is full).
enum WatchFlags : unsigned {
  kWatchNone = 0,
  kWatchRead = 1,
  kWatchWrite = 2,
  kWatchEnd = 4,
};

// Plain, so an array of them costs no resident memory until a wait fills it.
struct PollEvent {
  std::uint32_t tag;  // the caller's name for the socket; events come sorted by it
  Socket socket;
  bool readable;  // includes a listener with a connection and a peer that closed
  bool writable;
  bool ended;  // hang-up, peer shutdown or error reported
};

struct Poller;
struct PollerDeleter {
  void operator()(Poller* poller) const;
};
using PollerPtr = std::unique_ptr<Poller, PollerDeleter>;

// A poller for up to max_events ready sockets per wait and capacity sockets watched at once;
// null when the system refuses one (net_last_error() says why).
PollerPtr poller_create(int max_events, std::size_t capacity);
// Room for capacity sockets watched at once. Allocates: call it outside the pass (start,
// reload). False, with net_last_error(), when the system refuses; the room stays as it was.
bool poller_reserve(Poller& poller, std::size_t capacity);

// What the caller holds per socket: the flags in force, or kUnwatched before the first watch.
constexpr std::uint8_t kUnwatched = 0xFF;

// Watches the socket for the flags under the tag, or changes what it is watched for; watched is
// the caller's record of the flags in force and is updated. Only a change costs a system call.
// Flags kWatchNone keep the socket registered (a reset is still reported on it).
// False when the socket is not watched as asked: the registry is full (Windows keeps its own, of
// the capacity given) or the system refused (net_last_error() says why); watched is then left as
// it was, and so is a registration made before.
bool poller_watch(Poller& poller, Socket socket, std::uint32_t tag, unsigned flags,
                  std::uint8_t& watched);
// Drops the registration, if any; call before closing the socket. watched becomes kUnwatched.
void poller_forget(Poller& poller, Socket socket, std::uint8_t& watched);

// Waits at most timeout_ms. The ready sockets are in poller_events(), sorted by tag; a socket
// still ready and watched is reported again by the next wait. Returns their count, 0 on
// timeout, -1 on failure (net_last_error() says why).
int poller_wait(Poller& poller, int timeout_ms);
const PollEvent* poller_events(const Poller& poller);

}  // namespace orv
