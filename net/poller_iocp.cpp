// The poller on Windows: one poll request per socket at the socket driver (AFD), made on the
// socket's base handle through a driver handle tied to an I/O completion port. A request
// completes once; asking again after each report keeps a ready socket reported at every wait
// while it stays ready and watched, as epoll's level-triggered registrations do.
// winsock2.h comes first: the others build on it.
// clang-format off
#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>
#include <winternl.h>
// clang-format on

#include <algorithm>
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
constexpr NTSTATUS kStatusCancelled = static_cast<NTSTATUS>(0xC0000120);
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008);

struct AfdPollHandle {
  HANDLE handle;
  ULONG events;
  NTSTATUS status;
};
struct AfdPollInfo {
  LARGE_INTEGER timeout;
  ULONG handle_count;
  ULONG exclusive;
  AfdPollHandle handles[1];
};

// Requests are spread over driver handles of this many sockets each, so that cancelling one
// costs the same however many sockets are watched.
constexpr std::size_t kGroupSize = 32;

enum class Request : std::uint8_t { kNone, kPending, kCancelling };

// One socket's registration. Its memory is the request's while one is out: an entry forgotten
// or changed meanwhile is cancelled, and is free again only when the cancelled request is back.
struct Entry {
  OVERLAPPED overlapped;  // first: a completion hands back its address; it begins with the
                          // request's status block
  AfdPollInfo info;
  HANDLE afd;  // the driver handle of its group
  HANDLE base;
  Socket socket;
  std::uint32_t tag;
  unsigned flags;
  ULONG asked;  // the events of the request out
  Request request;
  bool live;    // registered, and in the table
  bool queued;  // to be asked anew at the next wait
};

struct Group {
  HANDLE afd = INVALID_HANDLE_VALUE;
  std::unique_ptr<Entry[]> entries;  // left uninitialised until handed out
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
  std::vector<Group> groups;
  std::vector<Entry*> free;   // entries not in use
  std::vector<Entry*> queue;  // entries to ask anew at the next wait
  std::vector<Entry*> table;  // open addressing by socket; a power of two, at least twice the
  std::size_t in_flight = 0;  // entries; requests out
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

Entry* find(Poller& poller, Socket socket) { return *slot_of(poller, socket); }

// Removes the entry from the table, moving back the entries after it that its place let pass.
void unlist(Poller& poller, Entry* entry) {
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
}

// Back to the free list once nothing refers to it any more.
void release_if_idle(Poller& poller, Entry* entry) {
  if (!entry->live && entry->request == Request::kNone && !entry->queued) {
    poller.free.push_back(entry);  // room reserved for every entry
  }
}

void enqueue(Poller& poller, Entry* entry) {
  if (entry->queued) return;
  entry->queued = true;
  poller.queue.push_back(entry);  // room reserved for every entry
}

bool cancel(Entry* entry) {
  if (entry->request != Request::kPending) return true;
  entry->request = Request::kCancelling;
  // Not found: it completed already, and its completion is on its way all the same.
  return CancelIoEx(entry->afd, &entry->overlapped) || GetLastError() == ERROR_NOT_FOUND;
}

// Asks the driver for the entry's events; the answer comes through the port, even when the
// driver answers at once.
NTSTATUS submit(Poller& poller, Entry* entry) {
  entry->info.timeout.QuadPart = INT64_MAX;
  entry->info.handle_count = 1;
  entry->info.exclusive = FALSE;
  entry->asked = asked_events(entry->flags);
  entry->info.handles[0] = {entry->base, entry->asked, 0};
  auto* status = reinterpret_cast<IO_STATUS_BLOCK*>(&entry->overlapped);
  status->Status = kStatusPending;
  const NTSTATUS result =
      NtDeviceIoControlFile(entry->afd, nullptr, nullptr, &entry->overlapped, status, kAfdPoll,
                            &entry->info, sizeof entry->info, &entry->info, sizeof entry->info);
  if (result != kStatusPending && !NT_SUCCESS(result)) return result;
  entry->request = Request::kPending;
  ++poller.in_flight;
  return 0;
}

// A completion: what it reports goes into events (when given), and the entry is queued to be
// asked anew at the next wait.
void complete(Poller& poller, Entry* entry, std::vector<PollEvent>* events) {
  --poller.in_flight;
  entry->request = Request::kNone;
  if (!entry->live) {
    release_if_idle(poller, entry);
    return;
  }
  const NTSTATUS status = static_cast<NTSTATUS>(entry->overlapped.Internal);
  ULONG got = 0;
  if (status == kStatusCancelled) {
    got = 0;  // cancelled for a change of flags
  } else if (!NT_SUCCESS(status)) {
    got = kAfdAbort;  // the driver gave up on the socket: let its next call say why
  } else if (entry->info.handle_count > 0) {
    got = entry->info.handles[0].events;
  }
  if (got & kAfdLocalClose) {
    // Closed without being forgotten: its handle may already name another socket.
    unlist(poller, entry);
    release_if_idle(poller, entry);
    return;
  }
  enqueue(poller, entry);
  const bool trouble = (got & kAfdAbort) != 0;
  const bool readable = trouble || ((entry->flags & kWatchRead) &&
                                    (got & (kAfdReceive | kAfdAccept | kAfdDisconnect)));
  const bool writable = trouble || ((entry->flags & kWatchWrite) && (got & kAfdSend));
  const bool ended = trouble || ((entry->flags & kWatchEnd) && (got & kAfdDisconnect));
  if (events != nullptr && (readable || writable || ended) && events->size() < poller.max_events) {
    events->push_back({entry->tag, entry->socket, readable, writable, ended});
  }
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
    complete(poller, reinterpret_cast<Entry*>(poller.raw[i].lpOverlapped), events);
  }
  return true;
}

// Asks anew for every queued entry: those reported by the last wait, changed, or cancelled.
// False, with the error, when the driver refuses one; it stays queued for the next wait.
bool ask_queued(Poller& poller) {
  std::size_t kept = 0;
  NTSTATUS refused = 0;
  for (Entry* entry : poller.queue) {
    entry->queued = false;
    if (!entry->live) {
      release_if_idle(poller, entry);
      continue;
    }
    if (entry->request == Request::kCancelling) continue;  // asked again once it is back
    if (entry->request == Request::kPending) {
      // Still out from before a change: cancelled, and asked anew once it is back.
      if (entry->asked == asked_events(entry->flags) || cancel(entry)) continue;
    }
    const NTSTATUS status = submit(poller, entry);
    if (status == 0) continue;
    if (status == kStatusInvalidHandle) {
      unlist(poller, entry);  // closed without being forgotten
      release_if_idle(poller, entry);
      continue;
    }
    refused = status;
    entry->queued = true;
    poller.queue[kept++] = entry;
  }
  poller.queue.resize(kept);
  if (refused == 0) return true;
  SetLastError(RtlNtStatusToDosError(refused));
  return false;
}

bool add_group(Poller& poller) {
  static wchar_t name[] = L"\\Device\\Afd\\Orv";
  UNICODE_STRING path{sizeof name - sizeof name[0], sizeof name, name};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, 0, nullptr, nullptr);
  IO_STATUS_BLOCK status;
  Group group;
  const NTSTATUS result =
      NtCreateFile(&group.afd, SYNCHRONIZE, &attributes, &status, nullptr, 0,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, nullptr, 0);
  if (!NT_SUCCESS(result)) {
    WSASetLastError(static_cast<int>(RtlNtStatusToDosError(result)));
    return false;
  }
  if (CreateIoCompletionPort(group.afd, poller.port, 0, 0) == nullptr) {
    WSASetLastError(static_cast<int>(GetLastError()));
    CloseHandle(group.afd);
    return false;
  }
  group.entries.reset(new Entry[kGroupSize]);
  for (std::size_t i = kGroupSize; i > 0; --i) {
    Entry* entry = &group.entries[i - 1];
    entry->afd = group.afd;
    entry->request = Request::kNone;
    entry->live = entry->queued = false;
    poller.free.push_back(entry);
  }
  poller.groups.push_back(std::move(group));
  return true;
}

}  // namespace

Poller::~Poller() {
  // Every request out must be back before its memory goes; one that never comes back keeps
  // its group's memory for the life of the process.
  for (Group& group : groups) (void)CancelIoEx(group.afd, nullptr);  // nothing out: fine
  for (int tries = 0; in_flight > 0 && tries < 20; ++tries) {
    if (!dequeue(*this, 100, nullptr)) break;
  }
  for (Group& group : groups) {
    if (in_flight > 0) (void)group.entries.release();
    CloseHandle(group.afd);
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
  const std::size_t wanted = std::max(capacity, entries);
  const std::size_t groups = (wanted + kGroupSize - 1) / kGroupSize;
  poller.groups.reserve(groups);
  poller.free.reserve(groups * kGroupSize);
  poller.queue.reserve(groups * kGroupSize);
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
  Entry* entry = find(poller, socket);
  if (entry != nullptr && watched == kUnwatched) {
    // A socket closed without being forgotten, whose handle came back: its request reports
    // that close; this socket gets an entry of its own.
    unlist(poller, entry);
    (void)cancel(entry);  // as in poller_forget
    release_if_idle(poller, entry);
    entry = nullptr;
  }
  if (entry == nullptr) {
    if (poller.free.empty()) dequeue(poller, 0, nullptr);  // cancelled entries coming back
    if (poller.free.empty()) {
      WSASetLastError(WSAENOBUFS);
      return false;
    }
    HANDLE base = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(static_cast<SOCKET>(static_cast<INT_PTR>(socket)), SIO_BASE_HANDLE, nullptr, 0,
                 &base, sizeof base, &bytes, nullptr, nullptr) != 0) {
      return false;
    }
    entry = poller.free.back();
    entry->base = base;
    entry->socket = socket;
    entry->tag = tag;
    entry->flags = flags;
    const NTSTATUS status = submit(poller, entry);
    if (status != 0) {
      WSASetLastError(static_cast<int>(RtlNtStatusToDosError(status)));
      return false;
    }
    poller.free.pop_back();
    entry->live = true;
    entry->queued = false;
    *slot_of(poller, socket) = entry;
  } else {
    entry->tag = tag;
    entry->flags = flags;
    enqueue(poller, entry);
  }
  watched = static_cast<std::uint8_t>(flags);
  return true;
}

void poller_forget(Poller& poller, Socket socket, std::uint8_t& watched) {
  if (watched == kUnwatched) return;
  watched = kUnwatched;
  Entry* entry = find(poller, socket);
  if (entry == nullptr) return;
  unlist(poller, entry);
  // A failed cancel leaves the request out; it comes back when the socket closes.
  (void)cancel(entry);
  release_if_idle(poller, entry);
}

int poller_wait(Poller& poller, int timeout_ms) {
  poller.events.clear();
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  // A completion may report nothing that was asked for (a cancelled request): wait on.
  for (;;) {
    if (!ask_queued(poller)) {
      WSASetLastError(static_cast<int>(GetLastError()));
      return -1;
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (!dequeue(poller, left, &poller.events)) {
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
