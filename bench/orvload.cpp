// Load generator for the relay and the proxies it is compared with, on 127.0.0.1 only.
//
//   orvload stream   TARGET MIB       MIB MiB client->device, then device->client; every byte checked
//   orvload pingpong TARGET TRIPS     64-byte round trips, one at a time, from one thread
//   orvload load     TARGET PAIRS ACTIVE WARMUP_S SECONDS
//                                     PAIRS pairs connected; the first ACTIVE keep one 64-byte
//                                     message in flight each, the rest stay silent
//   orvload burst    TARGET DEVICES LIMIT_S
//                                     every device dials at once; each is joined by a client as
//                                     soon as its connect completes; done when every client has
//                                     its echo back, or after LIMIT_S
// TARGET:
//   relay:ACTIVE_PORT:FIRST_CLIENT_PORT  devices greet on ACTIVE_PORT as dev<m>; the clients of
//                                        mapping m dial FIRST_CLIENT_PORT+m, 20 pairs a mapping
//   socat:FIRST_PORT:SECOND_PORT         the client dials the first port, the device the second
//   proxy:FRONT_PORT:BACK_PORT           clients dial FRONT_PORT; this program listens on
//                                        BACK_PORT and plays every device
// Devices only ever echo, so which device a client is joined with does not matter.
// Output: one line "RESULT key=value ...", status 0 on success; a stall, early close or wrong
// byte ends the program with a message on stderr and a non-zero status.
// Env: WATCH_PID=pid adds that process's CPU time used while measuring (all its threads).
//      MARK_FILE=path (load): created when the measured window opens, for a profiler to attach.
//      SETUP_BATCH=n (load): pairs dialed and confirmed together (default 10), which keeps a
//      listen backlog of 15 from overflowing: the steady state is measured, not a storm.
// burst reports slow_connects (connects that took over 200 ms, as a retried SYN would) and
// syn_retransmits (connects whose SYN the kernel did send again, from TCP_INFO): the first also
// counts a generator that was late to look, the second is exact.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPairsPerMapping = 20;
constexpr size_t kMsg = 64;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

[[noreturn]] void die(const char* what) {
  fprintf(stderr, "orvload: %s (%s)\n", what, errno ? strerror(errno) : "no error code");
  _exit(6);
}

struct Target {
  enum Kind { kRelay, kSocat, kProxy } kind;
  int first_port, second_port;
};

Target parse_target(const char* text) {
  char kind[16] = {};
  Target t{};
  if (sscanf(text, "%15[a-z]:%d:%d", kind, &t.first_port, &t.second_port) != 3)
    die("TARGET is relay:P:Q, socat:P:Q or proxy:P:Q");
  std::string k = kind;
  if (k == "relay") t.kind = Target::kRelay;
  else if (k == "socat") t.kind = Target::kSocat;
  else if (k == "proxy") t.kind = Target::kProxy;
  else die("unknown TARGET kind");
  return t;
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

void tune(int s, bool blocking) {
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Blocking sockets wait at most 10 s for anything, connect() included.
  timeval tv{10, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (!blocking) fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
}

// Blocking connect; a refusal is dialed again for up to 3 s (socat listens on its second port
// only once the first has a connection).
int dial(int port) {
  for (int attempt = 0; attempt < 300; ++attempt) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) die("socket failed");
    tune(s, true);
    sockaddr_in a = loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
    int e = errno;
    close(s);
    if (e != ECONNREFUSED) die("connect failed");
    usleep(10000);
  }
  die("connect refused for 3 s");
}

int listen_on(int port, bool blocking) {
  int l = socket(AF_INET, SOCK_STREAM, 0), one = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback(port);
  if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) || listen(l, 4096)) die("listen failed");
  if (!blocking) fcntl(l, F_SETFL, fcntl(l, F_GETFL) | O_NONBLOCK);
  return l;
}

int accept_within(int l, int ms) {
  pollfd p{l, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) die("the proxy did not connect to the device side in time");
  int d = accept(l, nullptr, nullptr);
  if (d < 0) die("accept failed");
  tune(d, true);
  return d;
}

void put(int s, const char* p, size_t n) {
  while (n) {
    ssize_t k = send(s, p, n, MSG_NOSIGNAL);
    if (k <= 0) die("send failed or timed out");
    p += k;
    n -= static_cast<size_t>(k);
  }
}

void get(int s, char* p, size_t n) {
  while (n) {
    ssize_t k = recv(s, p, n, 0);
    if (k == 0) die("the other side closed early");
    if (k < 0) die("recv failed or timed out");
    p += k;
    n -= static_cast<size_t>(k);
  }
}

std::string greeting(int mapping) {
  return "tcp-active-mode:1\nid:'dev" + std::to_string(mapping) + "'\n";
}

// CPU time of every thread of a process, in ns, from the scheduler's own accounting; -1 if
// unknown.
long long cpu_ns(int pid) {
  if (pid <= 0) return -1;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  long long sum = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    FILE* f = fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r");
    long long ns = 0;
    if (f && fscanf(f, "%lld", &ns) == 1) sum += ns;
    if (f) fclose(f);
  }
  closedir(d);
  return sum;
}

struct Watch {
  int pid = getenv("WATCH_PID") ? atoi(getenv("WATCH_PID")) : 0;
  long long start_ns = cpu_ns(pid);
  Clock::time_point start = Clock::now();
  double cpu_s() const {  // watched CPU seconds since start, or -1
    long long now = cpu_ns(pid);
    return start_ns < 0 || now < 0 ? -1 : (now - start_ns) / 1e9;
  }
};

double self_cpu_s() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

struct Pair {
  int client, device;
};

// One message from every client to some device, echoed back: proof that each pair is joined.
void confirm(const std::vector<int>& clients, const std::vector<int>& devices, size_t from) {
  char ping[kMsg], echo[kMsg];
  memset(ping, 'S', kMsg);
  for (size_t i = from; i < clients.size(); ++i) put(clients[i], ping, kMsg);
  for (size_t i = from; i < devices.size(); ++i) {
    get(devices[i], echo, kMsg);
    put(devices[i], echo, kMsg);
  }
  for (size_t i = from; i < clients.size(); ++i) {
    get(clients[i], echo, kMsg);
    if (memcmp(echo, ping, kMsg) != 0) die("DATA CORRUPTION while joining");
  }
}

// Connects `count` joined pairs, `batch` at a time; pair i belongs to mapping i / 20.
void connect_pairs(const Target& t, int count, int batch, std::vector<int>& clients,
                   std::vector<int>& devices) {
  int back = t.kind == Target::kProxy ? listen_on(t.second_port, true) : -1;
  for (int start = 0; start < count; start += batch) {
    size_t from = clients.size();
    int n = std::min(batch, count - start);
    for (int j = 0; j < n; ++j) {
      int m = (start + j) / kPairsPerMapping;
      if (t.kind == Target::kRelay) {
        devices.push_back(dial(t.first_port));
        std::string hs = greeting(m);
        put(devices.back(), hs.data(), hs.size());
      }
    }
    for (int j = 0; j < n; ++j) {
      int m = (start + j) / kPairsPerMapping;
      clients.push_back(dial(t.kind == Target::kRelay ? t.second_port + m : t.first_port));
      if (t.kind == Target::kSocat) devices.push_back(dial(t.second_port));
    }
    for (int j = 0; j < n && back >= 0; ++j) devices.push_back(accept_within(back, 5000));
    confirm(clients, devices, from);
  }
  if (back >= 0) close(back);
}

Pair one_pair(const Target& t) {
  std::vector<int> clients, devices;
  connect_pairs(t, 1, 1, clients, devices);
  return {clients[0], devices[0]};
}

// Byte at stream offset o is o % 251: a lost or repeated run shows up at once.
void stream_one_way(int from, int to, size_t total) {
  static std::vector<char> pat = [] {
    std::vector<char> p((1 << 16) + 251);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<char>(i % 251);
    return p;
  }();
  std::thread writer([&] {
    for (size_t sent = 0; sent < total;) {
      size_t n = std::min(total - sent, size_t{1} << 16);
      put(from, pat.data() + sent % 251, n);
      sent += n;
    }
  });
  std::vector<char> buf(1 << 16);
  for (size_t got = 0; got < total;) {
    ssize_t k = recv(to, buf.data(), std::min(buf.size(), total - got), 0);
    if (k <= 0) die("stream: closed early or stalled");
    if (memcmp(buf.data(), pat.data() + got % 251, static_cast<size_t>(k)) != 0)
      die("stream: DATA CORRUPTION");
    got += static_cast<size_t>(k);
  }
  writer.join();
}

int run_stream(const Target& t, size_t mib) {
  Pair p = one_pair(t);
  size_t bytes = mib << 20;
  Watch w;
  stream_one_way(p.client, p.device, bytes);
  double up_s = seconds_since(w.start);
  stream_one_way(p.device, p.client, bytes);
  double wall = seconds_since(w.start), cpu = w.cpu_s();
  printf("RESULT up_MBps=%.1f down_MBps=%.1f MBps=%.1f", bytes / up_s / 1e6,
         bytes / (wall - up_s) / 1e6, 2.0 * bytes / wall / 1e6);
  if (cpu >= 0) printf(" peer_cpu_ms_per_GB=%.1f", 1e3 * cpu / (2.0 * bytes / 1e9));
  printf("\n");
  return 0;
}

int run_pingpong(const Target& t, int trips) {
  Pair p = one_pair(t);
  char out[kMsg], echo[kMsg], back[kMsg];
  std::vector<double> us;
  us.reserve(static_cast<size_t>(trips));
  Watch w;
  for (int i = 0; i < trips; ++i) {
    for (size_t j = 0; j < kMsg; ++j) out[j] = static_cast<char>(i * 7 + j);
    auto t0 = Clock::now();
    put(p.client, out, kMsg);
    get(p.device, echo, kMsg);
    put(p.device, echo, kMsg);
    get(p.client, back, kMsg);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (memcmp(out, back, kMsg) != 0) die("pingpong: DATA CORRUPTION");
  }
  double wall = seconds_since(w.start), cpu = w.cpu_s();
  std::sort(us.begin(), us.end());
  printf("RESULT rtps=%.0f p50_us=%.1f p99_us=%.1f", trips / wall, us[us.size() / 2],
         us[us.size() * 99 / 100]);
  if (cpu >= 0) printf(" peer_cpu_us_per_trip=%.2f", 1e6 * cpu / trips);
  printf("\n");
  return 0;
}

struct Conn {
  int fd;
  bool is_client;
  uint32_t index, seq;
  size_t got;
  Clock::time_point sent;
  char out[kMsg], in[kMsg];
};

void next_message(Conn& c) {
  ++c.seq;
  for (size_t j = 0; j < kMsg; ++j) c.out[j] = static_cast<char>(c.index * 7 + c.seq + j);
  c.got = 0;
  c.sent = Clock::now();
  put(c.fd, c.out, kMsg);
}

int run_load(const Target& t, int pairs, int active, double warmup, double seconds) {
  const char* b = getenv("SETUP_BATCH");
  int batch = b ? std::max(1, atoi(b)) : 10;
  active = std::min(active, pairs);
  std::vector<int> clients, devices;
  auto t0 = Clock::now();
  connect_pairs(t, pairs, batch, clients, devices);
  double setup_s = seconds_since(t0);

  int ep = epoll_create1(0);
  std::vector<Conn> conns;
  conns.reserve(clients.size() + devices.size());
  for (size_t i = 0; i < clients.size(); ++i)
    conns.push_back(Conn{clients[i], true, static_cast<uint32_t>(i), 0, 0, {}, {}, {}});
  for (size_t i = 0; i < devices.size(); ++i)
    conns.push_back(Conn{devices[i], false, static_cast<uint32_t>(i), 0, 0, {}, {}, {}});
  for (size_t i = 0; i < conns.size(); ++i) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = i;
    if (epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &e)) die("epoll_ctl failed");
  }
  for (auto& c : conns)
    if (c.is_client && c.index < static_cast<uint32_t>(active)) next_message(c);

  std::vector<float> rtt;
  rtt.reserve(1 << 22);
  std::vector<long> trips_of(clients.size());
  Watch w;
  double self0 = 0;
  bool measuring = false;
  auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(warmup + seconds));
  std::vector<epoll_event> events(4096);
  char buf[4096];
  while (Clock::now() < end) {
    if (!measuring && seconds_since(t0) >= setup_s + warmup) {
      measuring = true;
      w = Watch{};
      self0 = self_cpu_s();
      if (const char* mark = getenv("MARK_FILE"))
        if (FILE* f = fopen(mark, "w")) fclose(f);
    }
    int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
    for (int i = 0; i < n; ++i) {
      Conn& c = conns[events[i].data.u64];
      ssize_t k = recv(c.fd, c.is_client ? c.in + c.got : buf, c.is_client ? kMsg - c.got : sizeof buf, 0);
      if (k <= 0) die(c.is_client ? "load: a client was closed" : "load: a device was closed");
      if (!c.is_client) {
        put(c.fd, buf, static_cast<size_t>(k));
        continue;
      }
      c.got += static_cast<size_t>(k);
      if (c.got < kMsg) continue;
      if (memcmp(c.in, c.out, kMsg) != 0) die("load: DATA CORRUPTION");
      if (measuring) {
        rtt.push_back(std::chrono::duration<float, std::micro>(Clock::now() - c.sent).count());
        ++trips_of[c.index];
      }
      next_message(c);
    }
  }
  double wall = seconds_since(w.start), cpu = w.cpu_s(), self = self_cpu_s() - self0;
  long idle = std::count(trips_of.begin(), trips_of.begin() + active, 0L);
  if (rtt.empty()) die("load: no round trip in the measured window");
  size_t i50 = rtt.size() / 2, i99 = rtt.size() * 99 / 100;
  std::nth_element(rtt.begin(), rtt.begin() + i50, rtt.end());
  float p50 = rtt[i50];
  std::nth_element(rtt.begin(), rtt.begin() + i99, rtt.end());
  printf("RESULT pairs=%d active=%d setup_s=%.2f rtps=%.0f p50_us=%.1f p99_us=%.1f idle_pairs=%ld "
         "gen_cpu_pct=%.0f",
         pairs, active, setup_s, rtt.size() / wall, p50, rtt[i99], idle, 100 * self / wall);
  if (cpu >= 0)
    printf(" peer_cpu_pct=%.0f peer_cpu_us_per_trip=%.2f", 100 * cpu / wall, 1e6 * cpu / rtt.size());
  printf("\n");
  return idle ? 5 : 0;
}

// The burst is one non-blocking epoll loop, so every device really dials at once.
struct BurstConn {
  int fd;
  enum Role { kDevice, kClient, kListener } role;
  int index;
  bool connecting;
  Clock::time_point dialed;
  size_t got;
  char in[8];
};

int run_burst(const Target& t, int count, double limit_s) {
  if (t.kind == Target::kSocat) die("burst needs a relay or a proxy target");
  int ep = epoll_create1(0);
  std::vector<BurstConn> conns;
  conns.reserve(3 * static_cast<size_t>(count) + 1);
  auto watch = [&](size_t i, uint32_t events, int op) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = i;
    if (epoll_ctl(ep, op, conns[i].fd, &e)) die("epoll_ctl failed");
  };
  auto start_dial = [&](BurstConn::Role role, int index, int port) {
    if (conns.size() == conns.capacity()) die("burst: more connections than expected");
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) die("socket failed (descriptor limit?)");
    tune(s, false);
    sockaddr_in a = loopback(port);
    conns.push_back(BurstConn{s, role, index, true, Clock::now(), 0, {}});
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS)
      die("connect failed at once");
    watch(conns.size() - 1, EPOLLOUT, EPOLL_CTL_ADD);
  };
  auto message = [](int index, char* out) { snprintf(out, 8, "%07d", index); };

  long slow = 0, syn_retransmits = 0, failures = 0, joined = 0;
  double max_connect_ms = 0, last_join_s = 0;
  auto t0 = Clock::now();
  if (t.kind == Target::kProxy) {
    conns.push_back(BurstConn{listen_on(t.second_port, false), BurstConn::kListener, -1, false, t0, 0, {}});
    watch(0, EPOLLIN, EPOLL_CTL_ADD);
  }
  for (int i = 0; i < count; ++i) {
    if (t.kind == Target::kRelay) start_dial(BurstConn::kDevice, i, t.first_port);
    else start_dial(BurstConn::kClient, i, t.first_port);
  }
  std::vector<epoll_event> events(4096);
  char buf[256];
  while (joined + failures < count && seconds_since(t0) < limit_s) {
    int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 20);
    for (int i = 0; i < n; ++i) {
      size_t at = events[i].data.u64;
      BurstConn& conn = conns[at];  // stays put: no push_back outgrows the reserved capacity
      if (conn.role == BurstConn::kListener) {
        for (int d; (d = accept(conn.fd, nullptr, nullptr)) >= 0;) {
          if (conns.size() == conns.capacity()) die("burst: more connections than expected");
          tune(d, false);
          conns.push_back(BurstConn{d, BurstConn::kDevice, -1, false, Clock::now(), 0, {}});
          watch(conns.size() - 1, EPOLLIN, EPOLL_CTL_ADD);
        }
        continue;
      }
      if (conn.connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(conn.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err) {
          ++failures;  // not dialed again: the kernel's own SYN retries are what is counted
          epoll_ctl(ep, EPOLL_CTL_DEL, conn.fd, nullptr);
          continue;
        }
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - conn.dialed).count();
        max_connect_ms = std::max(max_connect_ms, ms);
        if (ms > 200) ++slow;
        tcp_info info{};
        len = sizeof info;
        // Nothing has been sent yet, so any retransmission so far was of the SYN.
        if (getsockopt(conn.fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_total_retrans)
          ++syn_retransmits;
        conn.connecting = false;
        watch(at, EPOLLIN, EPOLL_CTL_MOD);
        if (conn.role == BurstConn::kDevice) {
          std::string hs = greeting(conn.index / kPairsPerMapping);
          if (send(conn.fd, hs.data(), hs.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hs.size()))
            die("greeting not sent whole");
          start_dial(BurstConn::kClient, conn.index, t.second_port + conn.index / kPairsPerMapping);
        } else {
          char out[8];
          message(conn.index, out);
          if (send(conn.fd, out, sizeof out, MSG_NOSIGNAL) != sizeof out) die("message not sent whole");
        }
        continue;
      }
      ssize_t k = recv(conn.fd, conn.role == BurstConn::kDevice ? buf : conn.in + conn.got,
                       conn.role == BurstConn::kDevice ? sizeof buf : sizeof conn.in - conn.got, 0);
      if (k < 0 && errno == EAGAIN) continue;
      if (k <= 0) {
        ++failures;  // closed by the far side before its pair was proven
        epoll_ctl(ep, EPOLL_CTL_DEL, conn.fd, nullptr);
        continue;
      }
      if (conn.role == BurstConn::kDevice) {
        if (send(conn.fd, buf, static_cast<size_t>(k), MSG_NOSIGNAL) != k) die("echo not sent whole");
        continue;
      }
      conn.got += static_cast<size_t>(k);
      if (conn.got < sizeof conn.in) continue;
      char want[8];
      message(conn.index, want);
      if (memcmp(want, conn.in, sizeof want) != 0) die("burst: DATA CORRUPTION");
      ++joined;
      last_join_s = seconds_since(t0);
      epoll_ctl(ep, EPOLL_CTL_DEL, conn.fd, nullptr);
    }
  }
  printf("RESULT devices=%d joined=%ld all_joined_s=%.3f slow_connects=%ld syn_retransmits=%ld "
         "max_connect_ms=%.0f failures=%ld\n",
         count, joined, joined == count ? last_join_s : -1.0, slow, syn_retransmits, max_connect_ms,
         failures);
  for (auto& c : conns) close(c.fd);
  return joined == count ? 0 : 5;
}

}  // namespace

int main(int argc, char** argv) {
  alarm(300);  // a hard bound on any run
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
  std::string test = argc > 2 ? argv[1] : "";
  if (test == "stream" && argc == 4) return run_stream(parse_target(argv[2]), atol(argv[3]));
  if (test == "pingpong" && argc == 4) return run_pingpong(parse_target(argv[2]), atoi(argv[3]));
  if (test == "load" && argc == 7)
    return run_load(parse_target(argv[2]), atoi(argv[3]), atoi(argv[4]), atof(argv[5]),
                    atof(argv[6]));
  if (test == "burst" && argc == 5)
    return run_burst(parse_target(argv[2]), atoi(argv[3]), atof(argv[4]));
  fprintf(stderr, "usage: see the top of orvload.cpp\n");
  return 2;
}
