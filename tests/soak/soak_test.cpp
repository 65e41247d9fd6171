// Random traffic on several mappings, a thread each; each arrival waits until the relay has taken
// in what it sent (the kernel's table), so a model of the pairs knows where every byte goes.
// Meanwhile the configuration is reloaded every second with other mappings coming and going.
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <deque>
#include <random>
#include <regex>
#include <thread>

#include "tests/program/program.h"

namespace orv_test {
namespace {

using Clock = std::chrono::steady_clock;
using std::string;
constexpr int kMappings = 6, kPairs = 20, kRounds = 20, kExtras = 8;
const string kGreeting = "tcp-active-mode:1\n";

// The relay's end of a loopback connection in the kernel's table: {unread bytes, inode}; the
// inode is 0 until the relay accepts it, and both are 0 once it is gone.
std::pair<unsigned long, unsigned long> relay_end(const string& table, int relay_port, int port) {
  char key[32];
  std::snprintf(key, sizeof key, "0100007F:%04X 0100007F:%04X ", relay_port, port);
  std::pair<unsigned long, unsigned long> end{0, 0};
  const std::size_t at = table.find(key);
  if (at != string::npos)
    std::sscanf(&table[at + 27], "%*x %*x:%lx %*x:%*x %*x %*d %*d %lu", &end.first, &end.second);
  return end;
}

bool all_sent(int fd) {  // the peer acknowledged every byte
  int queued = 1;
  return !ioctl(fd, SIOCOUTQ, &queued) && !queued;
}

// How the first side of a pair to end ends; kClose once the relay has all it sent.
enum Ending { kGoesOn, kHalfClose, kReset, kClose };

struct Side {
  int fd = -1, port = 0, relay_port = 0, end = 1;  // end: 1 while reading, then 0 or the error
  unsigned long inode = 0;                         // of the relay's end, once it took it
  bool slow = false;                               // a small receive buffer, read 1 KiB every 3 ms
  Ending ending = kGoesOn;                         // how it ends, if it is the first of its pair
  string kept, plan, got;          // kept: sent along with a device's handshake to a waiting client
  std::size_t sent = 0, stop = 0;  // it sends plan up to stop
  Side* partner = nullptr;
  Clock::time_point next_read{};
};

struct Worker {
  int active_port = 0, port = 0, rounds = 0, used = 0;  // used: pairs taken this round
  string id, where;
  std::mt19937_64 rng;
  bool broken = false;  // a check failed: it is reported, and no more random rounds run
  std::deque<Side> sides;
  // Waiting devices [0] and clients [1], earliest first (no pair frees within a round).
  std::deque<Side*> waiting[2];
  char buffer[65536];

  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }
  string random_bytes(int count) {
    string bytes(std::size_t(count), 0);
    for (char& byte : bytes) byte = char(rng());
    return bytes;
  }
  void lost(const string& check) {
    if (!broken) ADD_FAILURE() << check << " (" << where << ")";
    broken = true;
  }
  // Sends text whole (style 0), a byte per segment (1) or in random pieces; tail with the last.
  void send_split(int fd, const string& text, const string& tail, int style) {
    for (std::size_t at = 0, cut; at < text.size(); at = cut) {
      cut = style == 0 ? text.size() : std::min(text.size(), at + (style == 1 ? 1 : pick(1, 12)));
      const string piece = text.substr(at, cut - at) + (cut == text.size() ? tail : "");
      send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);  // a refused one may meet a reset
    }
  }
  // A client, a device or (N) a bad or unknown handshake arrives where the model says it goes.
  void arrive(char kind) {
    Side& side = sides.emplace_back();
    const bool client = kind == 'C';
    const int on = 1, small = 4096;
    side.slow = pick(0, 3) == 0;
    side.relay_port = client ? port : active_port;
    if ((side.fd = connect_to(side.relay_port)) < 0) return lost("an arrival connects");
    setsockopt(side.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // each send its own segment
    if (side.slow) setsockopt(side.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(side.fd, reinterpret_cast<sockaddr*>(&address), &length);
    side.port = ntohs(address.sin_port);
    const string bad[] = {
        "TCP-ACTIVE-MODE:1\nid:'" + id + "'\n", kGreeting + "id:" + id + "'\n",
        kGreeting + "id:'" + id + "\n",         string(250, 'x'),
        kGreeting + "id:'zz-" + id + "'\n",     kGreeting.substr(0, std::size_t(pick(1, 17)))};
    const string along(std::size_t(pick(0, 1) * pick(1, 3400)), '#');
    std::deque<Side*>& theirs = waiting[!client];
    Side* const partner = theirs.empty() || kind == 'N' ? nullptr : theirs.front();
    const bool placed = kind != 'N' && (partner || used < kPairs);
    if (partner) theirs.pop_front();
    if (!partner && placed) waiting[client].push_back(&side), ++used;
    if (client) {  // the relay takes this in while the client waits, and delivers it first
      side.plan = random_bytes(pick(0, 1) * pick(1, 6000));
      send(side.fd, side.plan.data(), side.plan.size(), MSG_NOSIGNAL), side.sent = side.plan.size();
    }
    // A device's bytes after its handshake are dropped while it waits, kept if it joins a client.
    if (kind == 'D') send_split(side.fd, kGreeting + "id:'" + id + "'\n", along, pick(0, 2));
    if (kind == 'N') send_split(side.fd, bad[pick(0, 5)], "", pick(0, 2));
    if (kind == 'N') shutdown(side.fd, SHUT_WR);  // so a partial greeting ends early
    if (!placed) {  // a reset or an end of stream, with nothing sent back
      pollfd entry{side.fd, POLLIN, 0};
      const ssize_t n = poll(&entry, 1, 10000) == 1 ? recv(side.fd, buffer, 1, MSG_DONTWAIT) : 1;
      if (n > 0 || (n < 0 && errno != ECONNRESET)) lost("a 21st or refused arrival is closed");
      return;
    }
    // Once the relay took it, and took in what a device sent: its bytes are dropped or kept.
    const auto taken = [&] {
      const auto [unread, inode] =
          relay_end(read_text("/proc/net/tcp"), side.relay_port, side.port);
      side.inode = inode;
      return inode && (client || (!unread && all_sent(side.fd)));
    };
    if (!wait_until(taken, 10000)) return lost("an arrival is taken into its pair");
    side.plan += random_bytes(pick(0, 3) ? pick(1, 24000) : 0);
    side.stop = side.plan.size();
    if (!partner) return;
    side.partner = partner, partner->partner = &side;
    if (!client) side.kept = along;
    Side& first = pick(0, 1) ? side : *partner;  // which side ends first, and how
    first.ending = Ending(pick(1, 3));
    if (first.ending == kReset) first.stop = std::size_t(pick(int(first.sent), int(first.stop)));
  }

  // Ends a side as its pair says once it has sent its share; false once it is closed.
  bool settle(Side& side) {
    const Ending ending = side.sent >= side.stop ? side.ending : kGoesOn;
    const linger abort{1, 0};
    if (ending == kHalfClose) shutdown(side.fd, SHUT_WR);  // again does no harm
    if (ending == kReset) setsockopt(side.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    const bool closing = ending == kClose && all_sent(side.fd);
    // A close reads what has arrived first, so that it is a plain end rather than a reset.
    for (ssize_t n; closing && (n = recv(side.fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
      side.got.append(buffer, std::size_t(n));
    if (ending == kReset || closing || side.end != 1) close(side.fd), side.fd = -1;
    return side.fd >= 0;
  }

  // Moves every pair's bytes both ways until each side has ended as its pair's ending says.
  void pump() {
    for (const auto deadline = Clock::now() + std::chrono::seconds(30);;) {
      std::vector<pollfd> polled;
      std::vector<Side*> open;
      const auto now = Clock::now();
      for (Side& side : sides) {
        if (!side.partner || side.fd < 0 || !settle(side)) continue;
        const short read = now >= side.next_read ? POLLIN : 0;
        polled.push_back({side.fd, short(read | (side.sent < side.stop ? POLLOUT : 0)), 0});
        open.push_back(&side);
      }
      if (polled.empty()) return;
      if (now > deadline) return lost("a pair ends within 30 s");
      poll(polled.data(), polled.size(), 3);
      for (std::size_t i = 0; i < polled.size(); ++i) {
        Side& side = *open[i];
        if ((polled[i].events & POLLIN) && (polled[i].revents & (POLLIN | POLLERR | POLLHUP))) {
          const ssize_t n = recv(side.fd, buffer, side.slow ? 1024 : sizeof buffer, MSG_DONTWAIT);
          if (n > 0) side.got.append(buffer, std::size_t(n));
          if (n == 0 || (n < 0 && errno != EAGAIN)) side.end = n == 0 ? 0 : errno;
          if (side.slow) side.next_read = now + std::chrono::milliseconds(3);
        }
        if (!(polled[i].revents & POLLOUT)) continue;
        const ssize_t n = send(side.fd, &side.plan[side.sent], side.stop - side.sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN) side.stop = side.sent;  // the relay let go of it
        side.sent += std::size_t(std::max<ssize_t>(n, 0));
      }
    }
  }

  // Each side reads what its partner sent, in order: all of it from a side that half-closed or
  // closed, a prefix where it reset or is still sending; the side ending last sees a normal end.
  void check(const Side& first) {
    const Side& other = *first.partner;
    const bool all = first.ending != kReset;  // a reset may cut off what the relay has not read
    const string sent = first.kept + first.plan.substr(0, first.sent);
    if ((all ? other.got != first.kept + first.plan : !sent.starts_with(other.got)) || other.end)
      lost("what the first side sent reaches the other, then a normal end");
    const string back = other.kept + other.plan.substr(0, other.sent);
    if ((all && !back.starts_with(first.got)) || (first.ending == kHalfClose && first.end))
      lost("the first side reads its partner's bytes in order, to the end after a half-close");
  }

  void round(bool last) {
    where = id + (last ? " at the end" : " round " + std::to_string(++rounds));
    broken = broken && !last;  // the last round shows whether the pairs are free all the same
    const auto some = [&](int most, char kind) { return string(std::size_t(pick(1, most)), kind); };
    string events = last ? string(kPairs + 1, 'C') + string(kPairs + 1, 'D')
                         : some(22, 'C') + some(22, 'D') + some(3, 'N');
    if (!last) std::shuffle(events.begin(), events.end(), rng);
    sides.clear(), waiting[0].clear(), waiting[1].clear(), used = 0;
    for (std::size_t e = 0; e < events.size() && !broken; ++e) arrive(events[e]);
    if (!broken) pump();
    for (Side& side : sides) {
      if (side.ending && !broken) check(side);
      if (side.fd >= 0) close(side.fd);  // a side still waiting leaves
    }
    const auto freed = [&] {
      const string table = read_text("/proc/net/tcp");
      return std::ranges::none_of(sides, [&](const Side& side) {
        return side.inode && relay_end(table, side.relay_port, side.port).second == side.inode;
      });
    };
    if (!wait_until(freed, 10000)) lost("a pair is free once both sides are gone");
  }
};

TEST_F(ProgramTest, SoakOfRandomTrafficKeepsEveryRelayedByteAndLeavesNothingBehind) {
  const std::uint64_t seed = environment("ORV_SOAK_SEED").empty()
                                 ? std::random_device{}()
                                 : std::stoull(environment("ORV_SOAK_SEED"));
  SCOPED_TRACE("seed " + std::to_string(seed) + " (ORV_SOAK_SEED repeats it)");
  std::vector<Worker> workers(kMappings);
  device_port = free_port();
  string config = "session-log on\nactive-mode-port " + std::to_string(device_port) + "\n";
  for (int m = 0; m < kMappings; ++m) {
    Worker& worker = workers[std::size_t(m)];
    worker.active_port = device_port;
    do worker.port = free_port();  // two calls may offer the same port
    while (config.find(" " + std::to_string(worker.port) + "\n") != string::npos);
    worker.id = "meter-" + std::to_string(m), worker.rng.seed(seed + std::uint64_t(m));
    config += "map " + worker.id + " " + std::to_string(worker.port) + "\n";
  }
  std::ofstream(data / "orv.conf", std::ios::binary) << config;
  // Reloads: orv.conf with the workers' mappings and a random set of others, each on one of two
  // ports below the range the system gives connections; the ports then listen or refuse as it
  // says.
  std::vector<int> ports, used(kExtras, 0);  // used: the port configured, 0: none
  for (int port = 20000; ports.size() < 2 * kExtras; ++port)
    if (const int probe = listen_on(port); probe >= 0) ports.push_back(port), close(probe);
  std::mt19937_64 rng(seed);
  int reloads = 0;
  bool reloads_apply = true;
  const auto reload = [&](bool last) {
    string lines = config;
    for (std::size_t e = 0; e < kExtras; ++e) {
      const int pick = last ? 0 : int(rng() % 3);  // none, as before, or either port
      if (pick != 1) used[e] = pick == 0 ? 0 : ports[2 * e + rng() % 2];
      if (used[e]) lines += "map extra-" + std::to_string(e) + " " + std::to_string(used[e]) + "\n";
    }
    std::ofstream(data / "orv.conf", std::ios::binary) << lines;
    kill(child.pid, SIGHUP);
    ++reloads;
    return wait_until(
        [&] {
          for (std::size_t p = 0; p < ports.size(); ++p) {
            const int s = connect_to(ports[p]);  // taken by the relay, then left
            if (s >= 0) close(s);
            if ((s >= 0) != (used[p / 2] == ports[p])) return false;
          }
          return true;
        },
        10000);
  };
  // Under AddressSanitizer freed memory waits in a quarantine; a small one keeps the size telling.
  env.push_back("ASAN_OPTIONS=quarantine_size_mb=1");
  start({"run"});
  ASSERT_TRUE(wait_for_log("Started 1.0")) << read_text(child.err_path);
  const string proc = "/proc/" + std::to_string(child.pid);
  const auto descriptors = [&] { return std::distance(fs::directory_iterator(proc + "/fd"), {}); };
  const auto resident_kib = [&] {
    const string status = read_text(proc + "/status");
    return std::stol(status.substr(status.find("VmRSS:") + 6));
  };
  const auto start_descriptors = descriptors();
  long warm_kib = 0;  // once each mapping has had a round: the relay's buffers are in use
  std::barrier warmed(kMappings, [&]() noexcept { warm_kib = resident_kib(); });
  const auto stop_at = Clock::now() + std::chrono::seconds(90);  // no random round starts later
  std::vector<std::thread> threads;
  for (Worker& w : workers) {
    threads.emplace_back([&w, &warmed, stop_at] {
      w.round(false);
      warmed.arrive_and_wait();
      for (int r = 1; r < kRounds && !w.broken && Clock::now() < stop_at; ++r) w.round(false);
      w.round(true);  // fills every pair of the mapping and turns a 21st away
    });
  }
  std::atomic<bool> running{true};
  std::thread reloading([&] {  // once a second while the workers run
    while (running && (reloads_apply = reload(false)))
      std::this_thread::sleep_for(std::chrono::seconds(1));
  });
  for (std::thread& thread : threads) thread.join();
  running = false;
  reloading.join();
  EXPECT_TRUE(reloads_apply) << "reload " << reloads;
  EXPECT_TRUE(reload(true)) << "back to the workers' mappings alone";
  EXPECT_TRUE(std::ranges::none_of(workers, &Worker::broken));  // with the seed, to repeat it
  EXPECT_TRUE(wait_until([&] { return descriptors() == start_descriptors; }, 10000))
      << "descriptors";
  const long end_kib = resident_kib();
  EXPECT_LE(end_kib - warm_kib, 2048) << "relay KiB resident: " << warm_kib << ", then " << end_kib;
  signal_child(child, SIGINT);
  EXPECT_EQ(wait_child(child, 30000), 0);
  // Whole lines of known kinds, nothing unescaped; the program tests check each kind's wording.
  const string text = read_text((data / "orv.log.1").string()) + log();
  const std::regex shape(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (Started 1\.0|Stopped|(Listening for|)"
      R"(Configuration read from|Reloaded: \d+ mappings added,|)"
      R"(Device|Client|Handshake from|Waiting|Pair of|\d{5,}: Connection with )"
      R"(invalid identifier|\d+ lines left out:) [^\x00-\x1f\x7f]+)\r)");
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != string::npos; at = end + 1)
    EXPECT_TRUE(std::regex_match(text.substr(at, end - at), shape)) << text.substr(at, end - at);
  EXPECT_TRUE(text.ends_with("Stopped\r\n"));
  EXPECT_GE(reloads, 10);
}

}  // namespace
}  // namespace orv_test
