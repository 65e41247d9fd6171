// The poller on Windows: select over a registry kept in step with the relay, so building the
// sets and finding a ready socket's tag cost O(n) in all.
#include <winsock2.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "net/poller.h"

namespace orv {

struct Poller {
  struct Entry {
    Socket socket;
    std::uint32_t tag;
    unsigned flags;
    int event = -1;  // its index in events during one wait
  };
  std::vector<Entry> entries;
  std::unordered_map<Socket, std::size_t> index;  // socket -> position in entries
  std::vector<PollEvent> events;
  std::size_t max_events = 0;
  fd_set read, write;
};

void PollerDeleter::operator()(Poller* poller) const { delete poller; }

PollerPtr poller_create(int max_events) {
  PollerPtr poller(new Poller);
  poller->max_events = static_cast<std::size_t>(max_events);
  poller->events.reserve(poller->max_events);
  poller->entries.reserve(FD_SETSIZE);
  poller->index.reserve(FD_SETSIZE);
  return poller;
}

void poller_watch(Poller& poller, Socket socket, std::uint32_t tag, unsigned flags,
                  std::uint8_t& watched) {
  if (watched == flags) return;
  auto found = poller.index.find(socket);
  if (found == poller.index.end()) {
    poller.index.emplace(socket, poller.entries.size());
    poller.entries.push_back({socket, tag, flags});
  } else {
    poller.entries[found->second].tag = tag;
    poller.entries[found->second].flags = flags;
  }
  watched = static_cast<std::uint8_t>(flags);
}

void poller_forget(Poller& poller, Socket socket, std::uint8_t& watched) {
  watched = kUnwatched;
  auto found = poller.index.find(socket);
  if (found == poller.index.end()) return;
  // Swap with the last entry: removal costs O(1).
  const std::size_t position = found->second;
  poller.index.erase(found);
  if (position + 1 != poller.entries.size()) {
    poller.entries[position] = poller.entries.back();
    poller.index[poller.entries[position].socket] = position;
  }
  poller.entries.pop_back();
}

namespace {
// Records readiness of the sockets select left in the set.
void collect(Poller& poller, const fd_set& set, bool readable) {
  for (u_int i = 0; i < set.fd_count; ++i) {
    auto found = poller.index.find(static_cast<Socket>(set.fd_array[i]));
    if (found == poller.index.end()) continue;
    Poller::Entry& entry = poller.entries[found->second];
    if (entry.event < 0) {
      if (poller.events.size() >= poller.max_events) continue;  // the rest in the next wait
      entry.event = static_cast<int>(poller.events.size());
      poller.events.push_back({entry.tag, entry.socket, false, false, false});
    }
    PollEvent& event = poller.events[static_cast<std::size_t>(entry.event)];
    (readable ? event.readable : event.writable) = true;
  }
}
}  // namespace

int poller_wait(Poller& poller, int timeout_ms) {
  poller.read.fd_count = 0;
  poller.write.fd_count = 0;
  // select reports no peer shutdown without read interest: kWatchEnd alone watches nothing here.
  // A set holds FD_SETSIZE sockets; those beyond are not watched in this wait.
  for (const Poller::Entry& entry : poller.entries) {
    const SOCKET native = static_cast<SOCKET>(static_cast<INT_PTR>(entry.socket));
    if ((entry.flags & kWatchRead) && poller.read.fd_count < FD_SETSIZE) {
      poller.read.fd_array[poller.read.fd_count++] = native;
    }
    if ((entry.flags & kWatchWrite) && poller.write.fd_count < FD_SETSIZE) {
      poller.write.fd_array[poller.write.fd_count++] = native;
    }
  }
  poller.events.clear();
  if (poller.read.fd_count == 0 && poller.write.fd_count == 0) {
    // select refuses empty sets; waiting out the timeout is what an idle wait means.
    Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  timeval timeout;
  timeout.tv_sec = timeout_ms / 1000;
  timeout.tv_usec = (timeout_ms % 1000) * 1000;
  const int result = ::select(0, &poller.read, &poller.write, nullptr, &timeout);
  if (result == SOCKET_ERROR) return -1;
  if (result == 0) return 0;
  collect(poller, poller.read, true);
  collect(poller, poller.write, false);
  for (const PollEvent& event : poller.events) {
    poller.entries[poller.index[event.socket]].event = -1;
  }
  // The pass serves sockets in its fixed order, which the tags encode.
  std::sort(poller.events.begin(), poller.events.end(),
            [](const PollEvent& a, const PollEvent& b) { return a.tag < b.tag; });
  return static_cast<int>(poller.events.size());
}

const PollEvent* poller_events(const Poller& poller) { return poller.events.data(); }

}  // namespace orv
