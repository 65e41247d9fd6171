// The poller on Windows: poll requests at the socket driver (AFD) on the sockets' base handles,
// answered through an I/O completion port. The sockets are kept in groups of kGroupSize, and
// each group has one request out for all of its sockets: Wine's socket server slows down with
// every request out, and with one request per socket it stops answering at a few thousand. A
// request completes once; asking again after each report keeps a ready socket reported at every
// wait while it stays ready and watched, as epoll's level-triggered registrations do. A wait
// costs what is ready and what changed, a group at a time.
// winsock2.h comes first: the others build on it.
// clang-format off
#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>
#include <winternl.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <vector>

#include "net/poller.h"

namespace orv {
namespace {

// The driver's poll request and its event bits.
constexpr ULONG kAfdPoll = 0x00012024;
constexpr ULONG kAfdReceive = 0x0001;
constexpr ULONG kAfdSend = 0x0004;
constexpr ULONG kAfdDisconnect = 0x0008;  // the peer ended its stream
constexpr ULONG kAfdAbort = 0x0010;       // reset, or the connection failed
constexpr ULONG kAfdLocalClose = 0x0020;  // the socket was closed here
constexpr ULONG kAfdAccept = 0x0080;
constexpr NTSTATUS kStatusPending = 0x00000103;

constexpr std::size_t kGroupSize = 64;

struct AfdPollHandle {
  HANDLE handle;
  ULONG events;
  NTSTATUS status;
};
struct AfdPollInfo {
  LARGE_INTEGER timeout;
  ULONG handle_count;
  ULONG exclusive;
  AfdPollHandle handles[kGroupSize];
};

struct Group;

// One socket's registration.
struct Entry {
  Group* group;
  HANDLE base;
  Socket socket;
  std::uint32_t tag;
  unsigned flags;
  ULONG asked;  // what the group's request out asks about it
  bool live;    // registered, and in the table
};

// A poll request. Its memory is the driver's while it is out; the driver answers in place,
// listing only the sockets with something to report.
struct Request {
  OVERLAPPED overlapped;  // first: a completion hands back its address; it begins with the
                          // request's status block
  Group* group;
  bool out;
  ULONG asked_count;
  ULONG answer_count;
  ULONG taken;               // answers reported so far
  ULONG next;                // where the search for the next answer's socket starts
  Entry* asked[kGroupSize];  // the entry of each handle asked, in order
  AfdPollInfo info;
};

// Two requests each, so that a change need not wait for the cancelled request to come back.
struct Group {
  HANDLE afd = INVALID_HANDLE_VALUE;
  Entry entries[kGroupSize];
  Request requests[2];
  Request* current = nullptr;  // the request out that answers for the group, if any
  Request* held = nullptr;     // the answered request with answers not yet reported
  bool stale = false;          // the entries changed since current was asked
  bool queued = false;         // to be looked at by the next wait
};

ULONG asked_events(unsigned flags) {
  ULONG events = kAfdAbort | kAfdLocalClose;  // as epoll reports errors whatever was asked
  if (flags & kWatchRead) events |= kAfdReceive | kAfdAccept | kAfdDisconnect;
  if (flags & kWatchWrite) events |= kAfdSend;
  if (flags & kWatchEnd) events |= kAfdDisconnect;
  return events;
}

std::size_t hash(Socket socket) {  // handles are multiples of four
  return (static_cast<std::uint32_t>(socket) >> 2) * 2654435761u;
}

}  // namespace

struct Poller {
  HANDLE port = nullptr;
  std::vector<std::unique_ptr<Group>> groups;
  std::vector<Entry*> free;   // entries not in use
  std::vector<Group*> queue;  // groups to look at at the next wait
  std::vector<Group*> held;   // groups with answers not yet reported, oldest first
  std::vector<Entry*> table;  // open addressing by socket; a power of two, at least twice the
                              // entries
  std::size_t out = 0;        // requests out
  std::size_t max_events = 0;
  std::unique_ptr<OVERLAPPED_ENTRY[]> raw;
  std::vector<PollEvent> events;
  ~Poller();
};

namespace {

Entry** slot_of(Poller& poller, Socket socket) {
  const std::size_t mask = poller.table.size() - 1;
  for (std::size_t i = hash(socket) & mask;; i = (i + 1) & mask) {
    Entry*& slot = poller.table[i];
    if (slot == nullptr || slot->socket == socket) return &slot;
  }
}

void enqueue(Poller& poller, Group& group) {
  if (group.queued) return;
  group.queued = true;
  poller.queue.push_back(&group);  // room reserved for every group
}

// Removes the entry from the table, moving back the entries after it that its place let pass,
// and frees it. Its group's request no longer answers for the group.
void drop(Poller& poller, Entry* entry) {
  const std::size_t mask = poller.table.size() - 1;
  std::size_t hole = static_cast<std::size_t>(slot_of(poller, entry->socket) - &poller.table[0]);
  poller.table[hole] = nullptr;
  for (std::size_t i = (hole + 1) & mask; poller.table[i] != nullptr; i = (i + 1) & mask) {
    const std::size_t home = hash(poller.table[i]->socket) & mask;
    // Movable when its home is not in the run (hole, i]: the hole then lies on its path.
    if (((i - home) & mask) >= ((i - hole) & mask)) {
      poller.table[hole] = poller.table[i];
      poller.table[i] = nullptr;
      hole = i;
    }
  }
  entry->live = false;
  entry->group->stale = true;
  enqueue(poller, *entry->group);
  poller.free.push_back(entry);  // room reserved for every entry
}

// Asks the driver about every live entry of the group. The answer comes through the port, even
// when the driver answers at once.
NTSTATUS submit(Poller& poller, Group& group, Request& request) {
  ULONG count = 0;
  for (Entry& entry : group.entries) {
    if (!entry.live) continue;
    request.asked[count] = &entry;
    entry.asked = asked_events(entry.flags);
    request.info.handles[count++] = {entry.base, entry.asked, 0};
  }
  if (count == 0) return 0;  // nothing to ask about
  request.asked_count = count;
  request.info.timeout.QuadPart = INT64_MAX;
  request.info.handle_count = count;
  request.info.exclusive = FALSE;
  auto* status = reinterpret_cast<IO_STATUS_BLOCK*>(&request.overlapped);
  status->Status = kStatusPending;
  const ULONG size =
      static_cast<ULONG>(offsetof(AfdPollInfo, handles) + count * sizeof(AfdPollHandle));
  const NTSTATUS result =
      NtDeviceIoControlFile(group.afd, nullptr, nullptr, &request.overlapped, status, kAfdPoll,
                            &request.info, size, &request.info, size);
  if (result != kStatusPending && !NT_SUCCESS(result)) return result;
  request.out = true;
  group.current = &request;
  ++poller.out;
  return 0;
}

// A refused request names no socket: the ones closed without being forgotten are dropped.
bool drop_closed(Poller& poller, Group& group) {
  bool dropped = false;
  for (Entry& entry : group.entries) {
    int type = 0;
    int length = sizeof type;
    if (entry.live &&
        getsockopt(static_cast<SOCKET>(static_cast<INT_PTR>(entry.socket)), SOL_SOCKET, SO_TYPE,
                   reinterpret_cast<char*>(&type), &length) != 0) {
      drop(poller, &entry);
      dropped = true;
    }
  }
  return dropped;
}

// Brings a queued group's request up to date: the stale one cancelled, a new one asked.
// False, with the error, when the driver refuses; the group stays queued for the next wait.
bool ask(Poller& poller, Group& group) {
  if (group.held != nullptr) return true;  // asked once its answers are taken
  if (group.current != nullptr) {
    if (!group.stale) return true;
    // Not found: it completed already, and its completion is on its way all the same.
    (void)CancelIoEx(group.afd, &group.current->overlapped);
    group.current = nullptr;
  }
  Request* request = &group.requests[0];
  if (request->out) request = &group.requests[1];
  if (request->out) return true;  // asked once the cancelled one is back
  group.stale = false;
  NTSTATUS status = submit(poller, group, *request);
  if (status != 0 && drop_closed(poller, group)) status = submit(poller, group, *request);
  if (status == 0) return true;
  group.stale = true;
  SetLastError(RtlNtStatusToDosError(status));
  return false;
}

// Asks for every queued group. False, with the error, when the driver refused one; it stays
// queued for the next wait. A group whose request waits for its cancelled one to come back is
// queued again by that completion.
bool ask_queued(Poller& poller) {
  std::size_t kept = 0;
  DWORD refused = 0;
  for (Group* group : poller.queue) {
    // Still marked queued while asked: a socket dropped meanwhile needs no second place.
    if (ask(poller, *group)) {
      group->queued = false;
      continue;
    }
    refused = GetLastError();
    poller.queue[kept++] = group;
  }
  poller.queue.resize(kept);
  if (refused == 0) return true;
  SetLastError(refused);
  return false;
}

// Reports the held answers of the group's request into events until they are all taken, or
// events is full: the rest wait for the next wait, before any socket asked about later, so that
// no group is crowded out for good. Once all are taken the group is asked anew.
void take(Poller& poller, Group& group, std::vector<PollEvent>& events) {
  Request& request = *group.held;
  const ULONG asked = request.asked_count;
  for (; request.taken < request.answer_count; ++request.taken) {
    if (events.size() == poller.max_events) return;
    const AfdPollHandle& answer = request.info.handles[request.taken];
    // The answer lists the sockets in the order they were asked.
    ULONG tries = 0;
    while (tries < asked && request.asked[request.next]->base != answer.handle) {
      request.next = (request.next + 1) % asked;
      ++tries;
    }
    Entry* entry = request.asked[request.next];
    if (tries == asked || !entry->live) continue;
    if (answer.events & kAfdLocalClose) {
      drop(poller, entry);  // closed without being forgotten: its handle may name another
      continue;
    }
    const bool trouble = (answer.events & kAfdAbort) != 0;
    const bool readable =
        trouble || ((entry->flags & kWatchRead) &&
                    (answer.events & (kAfdReceive | kAfdAccept | kAfdDisconnect)));
    const bool writable = trouble || ((entry->flags & kWatchWrite) && (answer.events & kAfdSend));
    const bool ended = trouble || ((entry->flags & kWatchEnd) && (answer.events & kAfdDisconnect));
    if (readable || writable || ended) {
      events.push_back({entry->tag, entry->socket, readable, writable, ended});
    }
  }
  group.held = nullptr;
  enqueue(poller, group);
}

// A completion. The answer of the group's current request is taken into events (when given);
// that of a cancelled one is not looked at, and the group is asked anew.
void complete(Poller& poller, Request& request, std::vector<PollEvent>* events) {
  --poller.out;
  request.out = false;
  Group& group = *request.group;
  const bool answers = group.current == &request;
  if (answers) group.current = nullptr;
  if (!answers || group.stale || events == nullptr) {
    enqueue(poller, group);
    return;
  }
  const NTSTATUS status = static_cast<NTSTATUS>(request.overlapped.Internal);
  request.answer_count = NT_SUCCESS(status) ? request.info.handle_count : 0;
  request.taken = request.next = 0;
  group.held = &request;
  take(poller, group, *events);
  if (group.held != nullptr) poller.held.push_back(&group);  // room reserved for every group
}

// Takes what the port holds, waiting at most timeout_ms. False when the wait failed.
bool dequeue(Poller& poller, DWORD timeout_ms, std::vector<PollEvent>* events) {
  ULONG count = 0;
  if (!GetQueuedCompletionStatusEx(poller.port, poller.raw.get(),
                                   static_cast<ULONG>(poller.max_events), &count, timeout_ms,
                                   FALSE)) {
    return GetLastError() == WAIT_TIMEOUT;
  }
  for (ULONG i = 0; i < count; ++i) {
    complete(poller, *reinterpret_cast<Request*>(poller.raw[i].lpOverlapped), events);
  }
  return true;
}

bool add_group(Poller& poller) {
  static wchar_t name[] = L"\\Device\\Afd\\Orv";
  UNICODE_STRING path{sizeof name - sizeof name[0], sizeof name, name};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, 0, nullptr, nullptr);
  IO_STATUS_BLOCK status;
  auto group = std::make_unique<Group>();
  const NTSTATUS result =
      NtCreateFile(&group->afd, SYNCHRONIZE, &attributes, &status, nullptr, 0,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, nullptr, 0);
  if (!NT_SUCCESS(result)) {
    WSASetLastError(static_cast<int>(RtlNtStatusToDosError(result)));
    return false;
  }
  if (CreateIoCompletionPort(group->afd, poller.port, 0, 0) == nullptr) {
    WSASetLastError(static_cast<int>(GetLastError()));
    CloseHandle(group->afd);
    return false;
  }
  for (Request& request : group->requests) {
    request.group = group.get();
    request.out = false;
  }
  for (std::size_t i = kGroupSize; i > 0; --i) {
    Entry& entry = group->entries[i - 1];
    entry.group = group.get();
    entry.live = false;
    poller.free.push_back(&entry);
  }
  poller.groups.push_back(std::move(group));
  return true;
}

}  // namespace

Poller::~Poller() {
  // Every request out must be back before its memory goes; one that never comes back keeps
  // its group's memory for the life of the process.
  for (auto& group : groups) (void)CancelIoEx(group->afd, nullptr);  // nothing out: fine
  for (int tries = 0; out > 0 && tries < 20; ++tries) {
    if (!dequeue(*this, 100, nullptr)) break;
  }
  for (auto& group : groups) {
    CloseHandle(group->afd);
    if (out > 0) (void)group.release();
  }
  if (port != nullptr) CloseHandle(port);
}

void PollerDeleter::operator()(Poller* poller) const { delete poller; }

PollerPtr poller_create(int max_events, std::size_t capacity) {
  PollerPtr poller(new Poller);
  poller->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (poller->port == nullptr) {
    WSASetLastError(static_cast<int>(GetLastError()));
    return nullptr;
  }
  poller->max_events = static_cast<std::size_t>(max_events);
  poller->raw.reset(new OVERLAPPED_ENTRY[poller->max_events]);
  poller->events.reserve(poller->max_events);
  if (!poller_reserve(*poller, capacity)) return nullptr;
  return poller;
}

bool poller_reserve(Poller& poller, std::size_t capacity) {
  const std::size_t entries = poller.groups.size() * kGroupSize;
  if (capacity <= entries && !poller.table.empty()) return true;
  const std::size_t groups = (std::max(capacity, entries) + kGroupSize - 1) / kGroupSize;
  poller.groups.reserve(groups);
  poller.free.reserve(groups * kGroupSize);
  poller.queue.reserve(groups);
  poller.held.reserve(groups);
  while (poller.groups.size() < groups) {
    if (!add_group(poller)) return false;
  }
  std::size_t size = 16;
  while (size < 2 * poller.groups.size() * kGroupSize) size *= 2;
  if (size == poller.table.size()) return true;
  std::vector<Entry*> old(size, nullptr);
  old.swap(poller.table);
  for (Entry* entry : old) {
    if (entry != nullptr) *slot_of(poller, entry->socket) = entry;
  }
  return true;
}

bool poller_watch(Poller& poller, Socket socket, std::uint32_t tag, unsigned flags,
                  std::uint8_t& watched) {
  if (watched == flags) return true;
  Entry* entry = *slot_of(poller, socket);
  if (entry != nullptr && watched == kUnwatched) {
    // A socket closed without being forgotten, whose handle came back: its base handle may
    // differ, so it is registered anew.
    drop(poller, entry);
    entry = nullptr;
  }
  if (entry == nullptr) {
    if (poller.free.empty()) {
      WSASetLastError(WSAENOBUFS);
      return false;
    }
    // The request that would refuse a closed socket is made at the next wait: ask now.
    const SOCKET handle = static_cast<SOCKET>(static_cast<INT_PTR>(socket));
    int type = 0;
    int length = sizeof type;
    HANDLE base = nullptr;
    DWORD bytes = 0;
    if (getsockopt(handle, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0 ||
        WSAIoctl(handle, SIO_BASE_HANDLE, nullptr, 0, &base, sizeof base, &bytes, nullptr,
                 nullptr) != 0) {
      return false;  // not a socket
    }
    entry = poller.free.back();
    poller.free.pop_back();
    *entry = {entry->group, base, socket, tag, flags, 0, true};
    *slot_of(poller, socket) = entry;
  } else if ((asked_events(flags) & ~entry->asked) == 0) {
    // Less than the request out asks for: what it reports is sifted by the flags in force,
    // and a report that is no longer wanted costs one more request, a cancel no less.
    entry->tag = tag;
    entry->flags = flags;
    watched = static_cast<std::uint8_t>(flags);
    return true;
  }
  entry->tag = tag;
  entry->flags = flags;
  entry->group->stale = true;
  enqueue(poller, *entry->group);
  watched = static_cast<std::uint8_t>(flags);
  return true;
}

void poller_forget(Poller& poller, Socket socket, std::uint8_t& watched) {
  if (watched == kUnwatched) return;
  watched = kUnwatched;
  Entry* entry = *slot_of(poller, socket);
  if (entry != nullptr) drop(poller, entry);
}

int poller_wait(Poller& poller, int timeout_ms) {
  poller.events.clear();
  std::size_t kept = 0;
  for (Group* group : poller.held) {
    if (group->stale) {  // changed since: asked anew
      group->held = nullptr;
      enqueue(poller, *group);
      continue;
    }
    take(poller, *group, poller.events);
    if (group->held != nullptr) poller.held[kept++] = group;
  }
  poller.held.resize(kept);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  // A completion may report nothing that was asked for (a cancelled request): wait on.
  for (;;) {
    if (!ask_queued(poller)) {
      WSASetLastError(static_cast<int>(GetLastError()));
      return -1;
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD left =
        now < deadline && poller.events.empty() ? static_cast<DWORD>(deadline - now) : 0;
    if (poller.out == 0) {
      Sleep(left);  // nothing asked: waiting out the timeout is what an idle wait means
    } else if (!dequeue(poller, left, &poller.events)) {
      WSASetLastError(static_cast<int>(GetLastError()));
      return -1;
    }
    if (!poller.events.empty() || left == 0) break;
  }
  // The pass serves sockets in its fixed order, which the tags encode.
  std::sort(poller.events.begin(), poller.events.end(),
            [](const PollEvent& a, const PollEvent& b) { return a.tag < b.tag; });
  return static_cast<int>(poller.events.size());
}

const PollEvent* poller_events(const Poller& poller) { return poller.events.data(); }

}  // namespace orv
