// The poller on Linux: one epoll registration per socket, level-triggered.
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "net/poller.h"

namespace orv {

struct Poller {
  int epoll = -1;
  int max_events = 0;
  // Left uninitialised: only the entries a wait fills become resident.
  std::unique_ptr<epoll_event[]> raw;
  std::unique_ptr<PollEvent[]> events;
  ~Poller() {
    if (epoll >= 0) ::close(epoll);
  }
};

void PollerDeleter::operator()(Poller* poller) const { delete poller; }

// The kernel keeps the registrations: there is no room of our own to reserve.
PollerPtr poller_create(int max_events, std::size_t /*capacity*/) {
  PollerPtr poller(new Poller);
  poller->epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (poller->epoll < 0) return nullptr;
  poller->max_events = max_events;
  poller->raw.reset(new epoll_event[static_cast<std::size_t>(max_events)]);
  poller->events.reset(new PollEvent[static_cast<std::size_t>(max_events)]);
  return poller;
}

bool poller_reserve(Poller& /*poller*/, std::size_t /*capacity*/) { return true; }

namespace {
std::uint32_t native_events(unsigned flags) {
  std::uint32_t events = 0;
  if (flags & kWatchRead) events |= EPOLLIN;
  if (flags & kWatchWrite) events |= EPOLLOUT;
  // Peer shutdown without read interest: a full channel still learns that its peer left.
  if (flags & kWatchEnd) events |= EPOLLRDHUP;
  return events;
}
}  // namespace

bool poller_watch(Poller& poller, Socket socket, std::uint32_t tag, unsigned flags,
                  std::uint8_t& watched) {
  if (watched == flags) return true;
  epoll_event event{};
  event.events = native_events(flags);
  event.data.u64 = (static_cast<std::uint64_t>(tag) << 32) | static_cast<std::uint32_t>(socket);
  const int operation = watched == kUnwatched ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  if (::epoll_ctl(poller.epoll, operation, socket, &event) != 0) return false;  // errno says why
  watched = static_cast<std::uint8_t>(flags);
  return true;
}

void poller_forget(Poller& poller, Socket socket, std::uint8_t& watched) {
  if (watched == kUnwatched) return;
  (void)::epoll_ctl(poller.epoll, EPOLL_CTL_DEL, socket, nullptr);  // closing drops it anyway
  watched = kUnwatched;
}

int poller_wait(Poller& poller, int timeout_ms) {
  int count = ::epoll_wait(poller.epoll, poller.raw.get(), poller.max_events, timeout_ms);
  // A signal (a stop, a reload) interrupts the wait: that is a wait that ended early, not a
  // failure.
  if (count < 0) return errno == EINTR ? 0 : -1;
  if (count == 0) return 0;
  for (int i = 0; i < count; ++i) {
    const epoll_event& raw = poller.raw[static_cast<std::size_t>(i)];
    PollEvent& event = poller.events[static_cast<std::size_t>(i)];
    event.tag = static_cast<std::uint32_t>(raw.data.u64 >> 32);
    event.socket = static_cast<Socket>(static_cast<std::uint32_t>(raw.data.u64));
    // An error or hang-up counts as ready both ways: the next recv or send reports it.
    const bool trouble = (raw.events & (EPOLLERR | EPOLLHUP)) != 0;
    event.readable = trouble || (raw.events & EPOLLIN) != 0;
    event.writable = trouble || (raw.events & EPOLLOUT) != 0;
    event.ended = trouble || (raw.events & EPOLLRDHUP) != 0;
  }
  // The pass serves sockets in its fixed order, which the tags encode.
  std::sort(poller.events.get(), poller.events.get() + count,
            [](const PollEvent& a, const PollEvent& b) { return a.tag < b.tag; });
  return count;
}

const PollEvent* poller_events(const Poller& poller) { return poller.events.get(); }

}  // namespace orv
