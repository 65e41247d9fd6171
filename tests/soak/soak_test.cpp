// A bounded soak of the real relay: devices and clients on several mappings with random
// handshakes, arrivals beyond the 20 pairs, leaves, endings and slow readers. Every relayed byte
// is checked against the pairing rules; at the end the pairs, descriptors, memory and log are.
// One thread drives each mapping, and each arrival waits until the relay has taken in what was
// sent (the kernel's view of the relay's socket), so the pairing is known exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <thread>

#include "tests/program/program.h"

namespace orv_test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kMappings = 6, kPairs = 20, kRounds = 20;
constexpr auto kBudget = std::chrono::seconds(45);  // no random round starts later
const std::string kGreeting = "tcp-active-mode:1\n";

std::mutex g_lock;  // failures are counted by check, so one fault reads as one line
std::map<std::string, std::pair<int, std::string>> g_failures;
void fail(const std::string& check, const std::string& detail) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_failures[check].first++ == 0) g_failures[check].second = detail;
}
bool wait_until(const std::function<bool()>& done, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The kernel's view of the loopback socket bound to local_port and connected to remote_port
// (queues, timer, inode of the file that holds it); all zero when there is none.
inet_diag_msg tcp_view(int local_port, int remote_port) {
  thread_local const int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } query{};
  query.header = {sizeof query, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, 0, 0};
  query.request = {AF_INET, IPPROTO_TCP, 0, 0, ~0u, {}};
  query.request.id.idiag_sport = htons(static_cast<uint16_t>(local_port));
  query.request.id.idiag_dport = htons(static_cast<uint16_t>(remote_port));
  query.request.id.idiag_src[0] = query.request.id.idiag_dst[0] = htonl(INADDR_LOOPBACK);
  query.request.id.idiag_cookie[0] = query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  alignas(nlmsghdr) char reply[1024];
  const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  // Without the connection the lookup falls back to the listener on the port.
  if (send(diag, &query, sizeof query, 0) != sizeof query ||
      recv(diag, reply, sizeof reply, 0) < ssize_t(NLMSG_LENGTH(sizeof *found)) ||
      header->nlmsg_type != SOCK_DIAG_BY_FAMILY || found->idiag_state == TCP_LISTEN) {
    return inet_diag_msg{};
  }
  return *found;
}
// The inode of the relay's end of a connection once the relay has accepted it; with all_read,
// only once it has also read everything sent on it.
unsigned relay_socket(int relay_port, int port, bool all_read) {
  const inet_diag_msg relay = tcp_view(relay_port, port), mine = tcp_view(port, relay_port);
  const bool read =
      mine.idiag_state == TCP_ESTABLISHED && mine.idiag_wqueue == 0 && relay.idiag_rqueue == 0;
  return all_read && !read ? 0 : relay.idiag_inode;
}
// What the relay's descriptors refer to ("socket:[inode]" for a socket).
std::vector<std::string> descriptors(int pid) {
  std::vector<std::string> targets;
  std::error_code error, gone;  // a descriptor may close while it is listed
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    targets.push_back(fs::read_symlink(it->path(), gone).string());
  }
  return targets;
}
bool relay_owns(int pid, unsigned inode) {
  const auto all = descriptors(pid);
  return std::count(all.begin(), all.end(), "socket:[" + std::to_string(inode) + "]") > 0;
}

int open_to(int port, bool small_receive_buffer, int& local_port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1, small = 4096;
  const timeval limit{10, 0};                                // bounds the connect
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // each send its own segment
  if (small_receive_buffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return close(fd), -1;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  local_port = ntohs(address.sin_port);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  return fd;
}
void reset_close(int fd) {
  const linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(fd);
}
bool send_all(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    pollfd entry{fd, POLLOUT, 0};
    if (n > 0) done += std::size_t(n);
    if (n < 0 && (errno != EAGAIN || poll(&entry, 1, 10000) < 1)) return false;
  }
  return true;
}
// Reads to the end of the stream: 0, the error that ended it, or -1 when time ran out.
int read_to_end(int fd, std::string& got, int timeout_ms) {
  for (char buffer[4096];;) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, timeout_ms) < 1) return -1;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) got.append(buffer, std::size_t(n));
    if (n == 0 || (n < 0 && errno != EAGAIN)) return n == 0 ? 0 : errno;
  }
}

// How the side that ends first ends: it shuts down its sending side and reads on; it resets; or
// it closes once the relay has all it sent, while its partner may still be sending to it.
enum Ending { kHalfClose, kReset, kClose };
const char* const kEndingNames[] = {"half-close", "reset", "close"};

struct Conn {
  int fd = -1, port = 0, relay_port = 0;
  unsigned inode = 0;                // of the relay's end
  bool slow = false;                 // a small receive buffer, read 1 KiB every 3 ms
  std::string plan, got;             // plan: every byte it sends after its handshake
  std::size_t sent = 0, pushed = 0;  // pushed: sent before it was joined
  int end = 1;                       // 1 while reading; then 0 (end of stream) or the error
  bool write_closed = false, send_failed = false;
  Clock::time_point next_read{};
};
struct Pair {
  Conn *client, *device;
  std::string kept;  // what the device sent with its identification line to a waiting client
  Ending ending = kHalfClose;
  bool client_ends = true;
  std::size_t cut = 0;  // a resetting side resets after this many bytes of its plan
  Conn& other(const Conn& side) const { return &side == client ? *device : *client; }
  bool ends_first(const Conn& side) const { return (&side == client) == client_ends; }
  // What must reach this side: all its partner sends or (all false) has sent so far.
  std::string toward(const Conn& side, bool all) const {
    const Conn& from = other(side);
    return (&side == client ? kept : "") + (all ? from.plan : from.plan.substr(0, from.sent));
  }
  std::size_t limit(const Conn& side) const {
    return ends_first(side) && ending == kReset ? cut : side.plan.size();
  }
};

// The relay's placement rules for one mapping whose pairs were all free at the round's start.
struct Model {
  int client[kPairs], device[kPairs];  // index of the Conn, or -1
  long ticket[kPairs] = {}, tickets = 0;
  Model() { std::fill(client, client + kPairs, -1), std::fill(device, device + kPairs, -1); }
  bool waiting(int i) const { return (client[i] < 0) != (device[i] < 0); }
  // The pair it goes to (joined: a partner waited there), or -1 when it is turned away.
  int place(bool is_client, int who, bool& joined) {
    int* own = is_client ? client : device;
    int at = -1;
    for (int i = 0; i < kPairs; ++i) {  // a client joins the lowest waiting device,
      const bool better = at < 0 || (!is_client && ticket[i] < ticket[at]);
      if (waiting(i) && own[i] < 0 && better) at = i;  // a device the longest waiting client
    }
    joined = at >= 0;
    for (int i = 0; i < kPairs && at < 0; ++i) at = own[i] < 0 ? i : -1;
    if (at >= 0 && !joined && is_client) ticket[at] = ++tickets;
    return at >= 0 ? (own[at] = who, at) : -1;
  }
};

struct Shared {
  int pid = 0, active_port = 0, map_ports[kMappings] = {};
  std::vector<std::string> log_texts;  // the log must hold these
  std::atomic<int> clients{0}, devices{0}, pairs{0}, turned_away{0}, refused{0};
  Clock::time_point stop_at;
};

struct Worker {
  Shared* shared = nullptr;
  int m = 0, round = 0, unknown = 0;
  std::mt19937_64 rng;
  std::string id, phase, where;  // phase: "" during the load, "at the end: " in the last round
  bool broken = false;           // the relay and the model disagree: no more random rounds

  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }
  // Payload never holds '#', so the bytes of a waiting device ('#') stand out.
  std::string bytes(int count, bool junk) {
    std::string text(std::size_t(count), '#');
    for (char& byte : text) {
      const int value = pick(0, 254);
      byte = junk ? '#' : char(value + (value >= '#'));
    }
    return text;
  }
  void send_split(int fd, const std::string& text, const std::string& tail, int pieces) {
    std::vector<std::size_t> cuts{0, text.size()};
    for (int i = 1; i < pieces && text.size() > 1; ++i) {
      cuts.push_back(std::size_t(pick(1, int(text.size()) - 1)));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (std::size_t i = 1; i < cuts.size(); ++i) {  // a refused one may meet a reset: not checked
      (void)send_all(
          fd, text.substr(cuts[i - 1], cuts[i] - cuts[i - 1]) + (i + 1 == cuts.size() ? tail : ""));
    }
  }
  bool expect_closed(int fd, const std::string& check) {
    std::string got;
    const int end = read_to_end(fd, got, 10000);
    close(fd);
    if (got.empty() && (end == 0 || end == ECONNRESET)) return true;
    fail(phase + check,
         where + ": " + std::to_string(got.size()) + " bytes, end " + std::to_string(end));
    return false;
  }
  void noise();
  void leave(Model& model, std::deque<Conn>& conns, int pair);
  void run_round(bool last);
  void relay_pairs(std::vector<Pair>& pairs);
  void check_pair(const Pair& pair);
};

// A device that never identifies: refused handshakes, an unknown identifier, an early end.
void Worker::noise() {
  const std::string line = "id:'" + id + "'\n", name = "zz-" + id + "-" + std::to_string(unknown);
  const std::string texts[] = {"TCP-ACTIVE-MODE:1\n" + line,
                               " " + kGreeting + line,
                               "tcp-active-mode:1\r\n" + line,
                               kGreeting + "id:'" + id + "'\r\n",
                               kGreeting + "id:" + id + "'\n",
                               kGreeting + "id:'" + id + "\n",
                               std::string(250, 'x'),
                               kGreeting + "id:'" + name + "'\n",
                               kGreeting.substr(0, std::size_t(pick(1, 17)))};
  const int kind = pick(0, 8);
  int port = 0, fd = open_to(shared->active_port, false, port);
  if (fd < 0) return fail("a device connects", where);
  ++shared->refused;
  send_split(fd, texts[kind], "", pick(1, 4));
  if (kind == 8) return (void)close(fd);  // ends before its greeting is complete
  if (kind == 7) {
    ++unknown;
    std::lock_guard<std::mutex> hold(g_lock);
    shared->log_texts.push_back("Connection with invalid identifier '" + name + "' from 127.0.0.1");
  }
  (void)expect_closed(fd, kind == 7 ? "an unknown identifier is closed without reply"
                                    : "a refused handshake is closed without reply");
}

// A waiting side sends a little more (perhaps filling its channel) and goes away.
void Worker::leave(Model& model, std::deque<Conn>& conns, int pair) {
  const bool client = model.client[pair] >= 0;
  Conn& side = conns[std::size_t(client ? model.client[pair] : model.device[pair])];
  const std::string more = bytes(pick(0, 1) ? 0 : pick(1, 6000), !client);
  (void)send_all(side.fd, more);
  const int how = pick(0, 2);
  if (how == 0) shutdown(side.fd, SHUT_WR);  // closed once the relay has let go
  if (how == 1) reset_close(side.fd);
  if (how == 2) close(side.fd);
  if (!wait_until([&] { return !relay_owns(shared->pid, side.inode); }, 5000)) {
    fail(phase + "a waiting " + (client ? "client" : "device") +
             (side.pushed + more.size() >= 4000 ? " with a full channel" : "") + " is seen leaving",
         where + " port " + std::to_string(side.port) + " by " + kEndingNames[how]);
    broken = true;
  }
  if (how == 0) close(side.fd);
  side.fd = -1;
  (client ? model.client : model.device)[pair] = -1;
}

void Worker::run_round(bool last) {
  where = id + " round " + std::to_string(++round);
  phase = last ? "at the end: " : "";
  broken = broken && !last;  // the last round shows whether the pairs are free all the same
  std::string events = last ? std::string(kPairs + 1, 'C') + std::string(kPairs + 1, 'D')
                            : std::string(pick(1, 22), 'C') + std::string(pick(1, 22), 'D') +
                                  std::string(pick(0, 4), 'L') + std::string(pick(0, 3), 'N');
  if (!last) std::shuffle(events.begin(), events.end(), rng);
  std::deque<Conn> conns;
  std::vector<Pair> pairs;
  Model model;
  for (std::size_t e = 0; e < events.size() && !broken; ++e) {
    std::vector<int> waiting;
    for (int i = 0; i < kPairs; ++i) {
      if (model.waiting(i)) waiting.push_back(i);
    }
    if (events[e] == 'N') noise();
    if (events[e] == 'L' && !waiting.empty()) {
      leave(model, conns, waiting[std::size_t(pick(0, int(waiting.size()) - 1))]);
    }
    if (events[e] != 'C' && events[e] != 'D') continue;
    const bool client = events[e] == 'C';
    const std::string role = client ? "client" : "device";
    Conn& side = conns.emplace_back();
    side.relay_port = client ? shared->map_ports[m] : shared->active_port;
    side.slow = pick(0, 3) == 0;
    side.fd = open_to(side.relay_port, side.slow, side.port);
    ++(client ? shared->clients : shared->devices);
    bool joined = false;
    const int at = model.place(client, int(conns.size()) - 1, joined);
    std::string junk;
    if (side.fd < 0) {
      fail(phase + "a " + role + " connects", where), broken = true;
      continue;
    } else if (client && at >= 0) {
      side.plan = "C" + where + "." + std::to_string(conns.size()) + "|" +
                  bytes(pick(0, 1) * pick(1, 6000), false);
      side.sent = side.pushed = side.plan.size();
      (void)send_all(side.fd, side.plan);  // the relay takes it in while the client waits
    } else if (!client) {
      const std::string handshake = kGreeting + "id:'" + id + "'\n";
      const int style = pick(0, 2);
      junk = bytes(pick(0, 1) * pick(1, 200), true);
      side.pushed = junk.size();
      send_split(side.fd, handshake, junk,
                 style == 0   ? 1
                 : style == 1 ? int(handshake.size())
                              : pick(2, 5));
    }
    if (at < 0) {
      ++shared->turned_away;
      broken = !expect_closed(side.fd, "a " + role + " is turned away when every pair holds one");
      side.fd = -1;
      continue;
    }
    const auto taken = [&] {
      return side.inode = relay_socket(side.relay_port, side.port, !client);
    };
    if (!wait_until(taken, 10000)) {
      fail(phase + "a " + role + " is taken into a pair",
           where + " port " + std::to_string(side.port));
      broken = true;
      continue;
    }
    const std::string more = bytes(!client && !joined && pick(0, 1) ? pick(1, 3400) : 0, true);
    side.pushed += more.size();  // a waiting device talks: the relay must drop this
    if (!more.empty() && (!send_all(side.fd, more) || !wait_until(taken, 10000))) {
      fail(phase + "a waiting device is read", where), broken = true;
    }
    side.plan += bytes(pick(0, 3) ? pick(1, 24000) : 0, false);
    if (joined) {
      Conn& other = conns[std::size_t(client ? model.device[at] : model.client[at])];
      pairs.push_back(client ? Pair{.client = &side, .device = &other, .kept = ""}
                             : Pair{.client = &other, .device = &side, .kept = junk});
    }
  }
  for (int i = 0; i < kPairs && !broken; ++i) {
    if (model.waiting(i)) leave(model, conns, i);
  }
  for (Pair& pair : pairs) {
    pair.ending = Ending(pick(0, 2));
    pair.client_ends = pick(0, 1);
    const Conn& first = pair.client_ends ? *pair.client : *pair.device;
    pair.cut = std::size_t(pick(int(first.sent), int(first.plan.size())));
  }
  if (!broken) {
    shared->pairs += int(pairs.size());
    relay_pairs(pairs);
    for (const Pair& pair : pairs) check_pair(pair);
    const auto freed = [&] {
      return std::none_of(pairs.begin(), pairs.end(), [&](const Pair& pair) {
        return relay_owns(shared->pid, pair.client->inode) ||
               relay_owns(shared->pid, pair.device->inode);
      });
    };
    if (!wait_until(freed, 10000)) fail(phase + "a pair is free once both sides are gone", where);
  }
  for (Conn& side : conns) {
    if (side.fd >= 0) close(side.fd);
  }
}

// Moves every pair's bytes both ways until each side has ended as its pair's ending says.
void Worker::relay_pairs(std::vector<Pair>& pairs) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  std::vector<char> buffer(65536);
  std::minstd_rand chunks(unsigned(pick(0, 1 << 30)));  // timing must not change the scenario
  for (;;) {
    std::vector<pollfd> polled;
    std::vector<std::pair<Pair*, Conn*>> sides;
    const auto now = Clock::now();
    bool pacing = false;
    for (Pair& pair : pairs) {
      for (Conn* side : {pair.client, pair.device}) {
        if (side->fd < 0) continue;
        const bool ending = pair.ends_first(*side) && side->sent >= pair.limit(*side);
        if (ending && pair.ending == kHalfClose && !side->write_closed) {
          shutdown(side->fd, SHUT_WR), side->write_closed = true;
        }
        if (ending && pair.ending == kReset) {
          reset_close(side->fd), side->fd = -1;
        } else if (ending && pair.ending == kClose &&
                   tcp_view(side->port, side->relay_port).idiag_wqueue == 0) {
          // Read what has arrived, so that the close is a plain end rather than a reset.
          for (ssize_t n; (n = recv(side->fd, buffer.data(), buffer.size(), 0)) > 0;) {
            side->got.append(buffer.data(), std::size_t(n));
          }
          close(side->fd), side->fd = -1;
        } else if (side->end != 1) {
          close(side->fd), side->fd = -1;
        }
        if (side->fd < 0) continue;
        const bool read = !side->slow || now >= side->next_read;
        const bool write = side->sent < pair.limit(*side) && !side->send_failed;
        pacing = pacing || !read;
        polled.push_back({side->fd, short((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0});
        sides.emplace_back(&pair, side);
      }
    }
    if (polled.empty()) return;
    for (std::size_t i = 0; i < polled.size() && now > deadline; ++i) {
      fail(phase + "a pair ends within 30 s",
           where + " port " + std::to_string(sides[i].second->port));
      close(polled[i].fd), sides[i].second->fd = -1;
    }
    if (now > deadline) return;
    poll(polled.data(), polled.size(), pacing ? 2 : 100);
    for (std::size_t i = 0; i < polled.size(); ++i) {
      Conn& side = *sides[i].second;
      if ((polled[i].events & POLLIN) && (polled[i].revents & (POLLIN | POLLERR | POLLHUP))) {
        const ssize_t n = recv(side.fd, buffer.data(), side.slow ? 1024 : buffer.size(), 0);
        if (n > 0) side.got.append(buffer.data(), std::size_t(n));
        if (n == 0 || (n < 0 && errno != EAGAIN)) side.end = n == 0 ? 0 : errno;
        side.next_read = now + std::chrono::milliseconds(3);
      }
      if ((polled[i].events & POLLOUT) && (polled[i].revents & POLLOUT)) {
        const std::size_t chunk =
            std::min<std::size_t>(sides[i].first->limit(side) - side.sent, 1 + chunks() % 16384);
        const ssize_t n = send(side.fd, side.plan.data() + side.sent, chunk, MSG_NOSIGNAL);
        if (n > 0) side.sent += std::size_t(n);
        if (n < 0 && errno != EAGAIN) side.send_failed = true;
      }
    }
  }
}

void Worker::check_pair(const Pair& pair) {
  const Conn& first = pair.client_ends ? *pair.client : *pair.device;
  const Conn& other = pair.other(first);
  const std::string who = pair.client_ends ? "client" : "device", how = kEndingNames[pair.ending];
  const std::string expected = pair.toward(other, pair.ending != kReset);
  const std::string back = pair.toward(first, false);
  const auto agree = [](const Conn& side, const std::string& wanted) {  // common prefix length
    return std::size_t(
        std::mismatch(side.got.begin(), side.got.end(), wanted.begin(), wanted.end()).first -
        side.got.begin());
  };
  const auto report = [&](const std::string& check, const Conn& side, const std::string& wanted) {
    fail(phase + check,
         where + ", client port " + std::to_string(pair.client->port) + ", device port " +
             std::to_string(pair.device->port) + ": received " + std::to_string(side.got.size()) +
             " of " + std::to_string(wanted.size()) + " bytes, the first " +
             std::to_string(agree(side, wanted)) + " as expected, end " + std::to_string(side.end));
  };
  const std::size_t same = agree(other, expected);
  if (same < other.got.size() || (pair.ending != kReset && same < expected.size())) {
    const bool junk = &other == pair.client && other.got.find('#') != expected.find('#');
    report(junk ? "a waiting device's bytes are dropped, unless they came with its "
                  "identification line to a waiting client"
                : "what a " + who + " sent before its " + how + " reaches the other side",
           other, expected);
  }
  if (other.end != 0) {
    report("the other side gets a normal end after a " + who + "'s " + how, other, expected);
  }
  if (pair.ending != kReset &&
      (agree(first, back) < first.got.size() || (pair.ending == kHalfClose && first.end != 0))) {
    report("a " + who + " that " + how + "s first reads in order to a normal end", first, back);
  }
}

// Every log line: a timestamp, one of the relay's messages, CR LF.
std::vector<std::string> malformed_log_lines(const std::string& text) {
  const std::string peer = R"(127\.0\.0\.1:\d+)", id = R"('[^\x00-\x1f\x7f]*')";
  const std::string device = "Device " + peer + " identified as " + id;
  const std::string client = "Client " + peer + " of " + id;
  const std::string shapes[] = {
      R"(Started 1\.0|Stopped|Listening for devices on port \d+)",
      "Listening for clients of " + id + R"( on port \d+)",
      device + ", (waiting for a client|joined client " + peer + ")",
      client + " accepted, (waiting for a device|joined device " + peer + ")",
      client + " turned away: every pair holds a client",
      device + " turned away: every pair holds a device",
      "Handshake from " + peer +
          " refused: (bad greeting|no identification prefix|"
          "no closing quote|over-long line|ended early)",
      "Waiting (client|device) " + peer + " of " + id + " left",
      "Pair of " + id + R"( ended after \d+ s: client )" + peer + ", device " + peer +
          R"(, \d+ bytes to the device, \d+ bytes to the client, the (client|device) ended )"
          R"(first \((end of stream|error|relay stop)\))",
      R"(\d{5,}: Connection with invalid identifier )" + id + R"( from 127\.0\.0\.1)",
      R"(Active mode connection timeout: 127\.0\.0\.1)",
      R"(Accept error on (active-mode|master listen) socket: \d+)"};
  std::string any;
  for (const std::string& shape : shapes) any += (any.empty() ? "(" : "|(") + shape + ")";
  const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ()" + any + ")\r");
  std::vector<std::string> bad;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    if (!std::regex_match(text.substr(start, end - start), line)) {
      bad.push_back(text.substr(start, end - start));
    }
  }
  if (start != text.size()) bad.push_back("(no line end) " + text.substr(start));
  return bad;
}

long resident_kib(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word && word != "VmRSS:") {
  }
  return status >> word ? std::stol(word) : -1;
}

TEST(Soak, RandomTrafficKeepsEveryRelayedByteAndLeavesNothingBehind) {
  ASSERT_FALSE(program_path().empty()) << "ORV_PROGRAM is not set";
  signal(SIGPIPE, SIG_IGN);
  const char* seed_text = std::getenv("ORV_SOAK_SEED");
  const std::uint64_t seed = seed_text ? std::stoull(seed_text) : std::random_device{}();
  std::cout << "soak seed " << seed << " (ORV_SOAK_SEED repeats it)" << std::endl;
  const fs::path out = fs::temp_directory_path() / ("orv-soak-" + std::to_string(getpid()));
  const fs::path data = out / "data";
  fs::remove_all(out);
  fs::create_directories(data);
  Shared shared;
  shared.active_port = free_port();
  std::ofstream config(data / "orv.conf", std::ios::binary);
  config << "session-log on\nkeepalive 60\nhandshake-timeout 10\nactive-mode-port "
         << shared.active_port << "\n";
  std::vector<Worker> workers(kMappings);
  for (int m = 0; m < kMappings; ++m) {
    shared.map_ports[m] = free_port();
    config << "map meter-" << m << " " << shared.map_ports[m] << "\n";
    Worker& worker = workers[std::size_t(m)];
    worker.shared = &shared, worker.m = m, worker.id = "meter-" + std::to_string(m);
    worker.rng.seed(seed + std::uint64_t(m));
  }
  config.close();
  Child child =
      spawn_child({program_path(), "run"}, {"STATE_DIRECTORY=" + data.string()}, out.string());
  struct Reaper {
    Child& child;
    ~Reaper() { wait_child(child, 0); }  // kills a relay still running
  } reaper{child};
  const std::string log_path = (data / "orv.log").string();
  ASSERT_TRUE(wait_for_text(log_path, "Started 1.0", 30000)) << read_text(child.err_path);
  shared.pid = child.pid;
  const std::size_t start_descriptors = descriptors(child.pid).size();
  const auto descriptors_back = [&] { return descriptors(child.pid).size() == start_descriptors; };
  const auto load = [&](int rounds, bool last) {
    shared.stop_at = Clock::now() + kBudget;
    std::vector<std::thread> threads;
    for (Worker& w : workers) {
      threads.emplace_back([&w, &shared, rounds, last] {
        for (int r = 0; r < rounds && !w.broken && Clock::now() < shared.stop_at; ++r) {
          w.run_round(false);
        }
        if (last) w.run_round(true);
      });
    }
    for (std::thread& thread : threads) thread.join();
  };
  load(1, false);  // a warm-up: the relay's sets and buffers reach their working size
  wait_until(descriptors_back, 10000);
  const long warm_kib = resident_kib(child.pid);
  int port = 0;  // a device that stops half-way through its handshake
  const int stalled = open_to(shared.active_port, false, port);
  (void)send_all(stalled, kGreeting + "id:'met");
  const auto stalled_since = Clock::now();
  load(kRounds, true);
  std::string none;
  const auto stalled_ms = (Clock::now() - stalled_since) / std::chrono::milliseconds(1);
  const int end = read_to_end(stalled, none, int(std::max<long>(1, 15000 - stalled_ms)));
  EXPECT_TRUE(end == 0 || end == ECONNRESET) << "a stalled handshake is closed after 10 s: " << end;
  close(stalled);
  shared.log_texts.push_back("Active mode connection timeout: 127.0.0.1");

  // 20 silent devices fill the identification slots; more wait in the backlog until slots free.
  // A client the relay accepts meanwhile marks a later pass of its loop.
  const auto keepalive = [&](int relay_port, int port) {  // armed, due within the 60 s set
    return wait_until(
        [&] {
          const inet_diag_msg relay = tcp_view(relay_port, port);
          return relay.idiag_timer == 2 && relay.idiag_expires <= 60000;
        },
        2000);
  };
  std::vector<int> silent(25), ports(25);
  const auto accepted = [&] {
    return std::count_if(ports.begin(), ports.end(),
                         [&](int port) { return relay_socket(shared.active_port, port, false); });
  };
  for (int i = 0; i < 25; ++i) {
    silent[i] = open_to(shared.active_port, false, ports[i]);
    if (i == 19) {
      EXPECT_TRUE(wait_until([&] { return accepted() == 20; }, 10000)) << accepted();
    }
  }
  const int client = open_to(shared.map_ports[0], false, port);
  EXPECT_TRUE(wait_until([&] { return relay_socket(shared.map_ports[0], port, false); }, 10000));
  EXPECT_TRUE(keepalive(shared.map_ports[0], port)) << "keepalive on a client socket";
  EXPECT_TRUE(keepalive(shared.active_port, ports[0])) << "keepalive on a device socket";
  close(client);
  EXPECT_EQ(accepted(), 20) << "devices awaiting identification at once";
  for (int i = 0; i < 20; ++i) close(silent[i]);
  EXPECT_TRUE(wait_until([&] { return accepted() == 5; }, 10000))
      << "devices in the backlog are accepted once slots free: " << accepted();
  for (int i = 20; i < 25; ++i) close(silent[i]);

  EXPECT_TRUE(wait_until(descriptors_back, 10000))
      << "relay descriptors: " << start_descriptors << " before the load, "
      << descriptors(child.pid).size() << " after";
  const long end_kib = resident_kib(child.pid);
  EXPECT_LE(end_kib - warm_kib, 2048)
      << "relay resident KiB: " << warm_kib << " after the warm-up, " << end_kib << " at the end";
  signal_child(child, SIGINT);
  EXPECT_EQ(wait_child(child, 30000), 0);
  const std::string log = read_text((data / "orv.log.1").string()) + read_text(log_path);
  EXPECT_NE(log.find("Stopped"), std::string::npos);
  for (const std::string& line : malformed_log_lines(log)) ADD_FAILURE() << "log line: " << line;
  for (const std::string& text : shared.log_texts) {
    EXPECT_NE(log.find(text), std::string::npos) << "no log line with: " << text;
  }
  std::cout << "soak: " << shared.clients << " clients, " << shared.devices << " devices, "
            << shared.pairs << " pairs relayed, " << shared.turned_away << " turned away, "
            << shared.refused << " never identified; relay resident " << warm_kib
            << " KiB after the "
            << "warm-up, " << end_kib << " KiB at the end" << std::endl;
  for (const auto& [check, failures] : g_failures) {
    ADD_FAILURE() << check << ": " << failures.first << " time(s), first " << failures.second;
  }
  if (HasFailure()) std::cout << "relay files kept in " << out << std::endl;
  if (!HasFailure()) fs::remove_all(out);
}

}  // namespace
}  // namespace orv_test
