// The poller on Windows: WSAPoll over one array of the registered sockets, kept in step with the
// relay. No fixed limit; a wait costs what is registered.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <vector>

#include "net/poller.h"

namespace orv {
namespace {

constexpr std::uint32_t kNone = UINT32_MAX;

struct Record {
  Socket socket;
  std::uint32_t tag;
  unsigned flags;
  std::uint32_t place;  // its place in the wait's array, or kNone when it is out of it
  // A condition its flags cannot act on (a peer's end, priority data) would end every wait at
  // once: out of the wait until its flags change.
  bool muted;
};

std::size_t hash(Socket socket) {  // handles are multiples of four
  return (static_cast<std::uint32_t>(socket) >> 2) * 2654435761u;
}

SHORT asked_events(unsigned flags) {
  SHORT events = 0;
  if (flags & kWatchRead) events |= POLLRDNORM;
  if (flags & kWatchWrite) events |= POLLWRNORM;
  // A peer's end and errors are reported whatever is asked, but something must be: priority
  // data, which no peer of the relay sends.
  if (events == 0) events = POLLRDBAND;
  return events;
}

}  // namespace

struct Poller {
  std::vector<Record> records;       // the registry, of fixed size between reserves
  std::vector<std::uint32_t> free;   // records not in use
  std::vector<std::uint32_t> table;  // open addressing by socket: record + 1, 0 when empty
  std::vector<WSAPOLLFD> wait;       // the registered sockets less the muted ones
  std::vector<std::uint32_t> owner;  // the record of each of them
  std::size_t max_events = 0;
  std::vector<PollEvent> events;
};

namespace {

std::uint32_t* slot_of(Poller& poller, Socket socket) {
  const std::size_t mask = poller.table.size() - 1;
  for (std::size_t i = hash(socket) & mask;; i = (i + 1) & mask) {
    std::uint32_t& slot = poller.table[i];
    if (slot == 0 || poller.records[slot - 1].socket == socket) return &slot;
  }
}

Record* find(Poller& poller, Socket socket) {
  const std::uint32_t slot = *slot_of(poller, socket);
  return slot == 0 ? nullptr : &poller.records[slot - 1];
}

// Removes the socket from the table, moving back the entries after it that its place let pass.
void unlist(Poller& poller, Socket socket) {
  const std::size_t mask = poller.table.size() - 1;
  std::size_t hole = static_cast<std::size_t>(slot_of(poller, socket) - poller.table.data());
  poller.table[hole] = 0;
  for (std::size_t i = (hole + 1) & mask; poller.table[i] != 0; i = (i + 1) & mask) {
    const std::size_t home = hash(poller.records[poller.table[i] - 1].socket) & mask;
    // Movable when its home is not in the run (hole, i]: the hole then lies on its path.
    if (((i - home) & mask) >= ((i - hole) & mask)) {
      poller.table[hole] = poller.table[i];
      poller.table[i] = 0;
      hole = i;
    }
  }
}

void leave_wait(Poller& poller, Record& record) {
  if (record.place == kNone) return;
  const std::uint32_t last = static_cast<std::uint32_t>(poller.wait.size() - 1);
  poller.wait[record.place] = poller.wait[last];
  poller.owner[record.place] = poller.owner[last];
  poller.records[poller.owner[record.place]].place = record.place;
  poller.wait.pop_back();
  poller.owner.pop_back();
  record.place = kNone;
}

// In the wait for what its flags ask, unless muted.
void place(Poller& poller, Record& record) {
  if (record.muted) {
    leave_wait(poller, record);
    return;
  }
  if (record.place == kNone) {
    record.place = static_cast<std::uint32_t>(poller.wait.size());
    // Both reserved for every record.
    poller.wait.push_back({static_cast<SOCKET>(static_cast<INT_PTR>(record.socket)), 0, 0});
    poller.owner.push_back(static_cast<std::uint32_t>(&record - poller.records.data()));
  }
  poller.wait[record.place].events = asked_events(record.flags);
}

}  // namespace

void PollerDeleter::operator()(Poller* poller) const { delete poller; }

PollerPtr poller_create(int max_events, std::size_t capacity) {
  PollerPtr poller(new Poller);
  poller->max_events = static_cast<std::size_t>(max_events);
  poller->events.reserve(poller->max_events);
  if (!poller_reserve(*poller, capacity)) return nullptr;
  return poller;
}

bool poller_reserve(Poller& poller, std::size_t capacity) {
  const std::size_t had = poller.records.size();
  if (capacity <= had && !poller.table.empty()) return true;
  capacity = std::max(capacity, had);
  poller.records.resize(capacity);
  poller.free.reserve(capacity);
  for (std::size_t i = capacity; i > had; --i)
    poller.free.push_back(static_cast<std::uint32_t>(i - 1));
  poller.wait.reserve(capacity);
  poller.owner.reserve(capacity);
  std::size_t size = 16;
  while (size < 2 * capacity) size *= 2;
  if (size == poller.table.size()) return true;
  std::vector<std::uint32_t> old(size, 0);
  old.swap(poller.table);
  for (std::uint32_t entry : old) {
    if (entry != 0) *slot_of(poller, poller.records[entry - 1].socket) = entry;
  }
  return true;
}

bool poller_watch(Poller& poller, Socket socket, std::uint32_t tag, unsigned flags,
                  std::uint8_t& watched) {
  if (watched == flags) return true;
  // A record already there is this socket's, or that of a socket closed without being forgotten
  // whose handle came back: either way it is this socket's now.
  Record* record = find(poller, socket);
  if (record == nullptr) {
    if (poller.free.empty()) {
      WSASetLastError(WSAENOBUFS);
      return false;
    }
    int type = 0;
    int length = sizeof type;
    if (getsockopt(static_cast<SOCKET>(static_cast<INT_PTR>(socket)), SOL_SOCKET, SO_TYPE,
                   reinterpret_cast<char*>(&type), &length) != 0) {
      return false;  // not a socket
    }
    const std::uint32_t index = poller.free.back();
    poller.free.pop_back();
    record = &poller.records[index];
    *record = {socket, tag, flags, kNone, false};
    *slot_of(poller, socket) = index + 1;
  }
  record->tag = tag;
  record->flags = flags;
  record->muted = false;
  place(poller, *record);
  watched = static_cast<std::uint8_t>(flags);
  return true;
}

void poller_forget(Poller& poller, Socket socket, std::uint8_t& watched) {
  if (watched == kUnwatched) return;
  watched = kUnwatched;
  Record* record = find(poller, socket);
  if (record == nullptr) return;
  leave_wait(poller, *record);
  unlist(poller, socket);
  poller.free.push_back(static_cast<std::uint32_t>(record - poller.records.data()));
}

int poller_wait(Poller& poller, int timeout_ms) {
  poller.events.clear();
  if (poller.wait.empty()) {
    // WSAPoll refuses an empty array; waiting out the timeout is what an idle wait means.
    Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  const int ready = WSAPoll(poller.wait.data(), static_cast<ULONG>(poller.wait.size()), timeout_ms);
  if (ready == SOCKET_ERROR) return -1;
  // Backwards, so that a socket leaving the wait moves only ones already looked at.
  int left = ready;
  for (std::size_t i = poller.wait.size(); left > 0 && i > 0; --i) {
    const SHORT got = poller.wait[i - 1].revents;
    if (got == 0) continue;
    --left;
    const std::uint32_t index = poller.owner[i - 1];
    Record& record = poller.records[index];
    if (got & POLLNVAL) {  // closed without being forgotten: nothing left to watch
      leave_wait(poller, record);
      unlist(poller, record.socket);
      poller.free.push_back(index);
      continue;
    }
    const bool trouble = (got & POLLERR) != 0;
    const bool hang_up = (got & POLLHUP) != 0;
    const bool readable =
        trouble || ((record.flags & kWatchRead) && (got & (POLLRDNORM | POLLHUP)));
    const bool writable = trouble || ((record.flags & kWatchWrite) && (got & POLLWRNORM));
    const bool ended = trouble || ((record.flags & kWatchEnd) && hang_up);
    if (!readable && !writable && !ended) {
      record.muted = true;
      leave_wait(poller, record);
      continue;
    }
    if (hang_up && !readable && !ended) {
      record.muted = true;  // writable now; the end would keep every later wait from waiting
      leave_wait(poller, record);
    }
    if (poller.events.size() < poller.max_events) {
      poller.events.push_back({record.tag, record.socket, readable, writable, ended});
    }
  }
  // The pass serves sockets in its fixed order, which the tags encode.
  std::sort(poller.events.begin(), poller.events.end(),
            [](const PollEvent& a, const PollEvent& b) { return a.tag < b.tag; });
  return static_cast<int>(poller.events.size());
}

const PollEvent* poller_events(const Poller& poller) { return poller.events.data(); }

}  // namespace orv
