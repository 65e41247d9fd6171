// BSD sockets and poll() behind the socket layer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/net.h"

namespace orv {

bool net_startup() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    // Failing to raise it only lowers how many sockets the relay can hold.
    (void)setrlimit(RLIMIT_NOFILE, &limit);
  }
  return true;
}

void net_cleanup() {}

void net_set_last_error(int code) { errno = code; }

int net_last_error() { return errno; }

bool net_error_is_retry(int code) { return code == EINTR || code == EAGAIN || code == EWOULDBLOCK; }

bool net_error_is_exhaustion(int code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

namespace {

// The system's socket address for address:port; none gives 0.0.0.0. Returns its length.
socklen_t to_native(const IpAddress& address, int port, sockaddr_storage& native) {
  native = {};
  if (address.family == Family::kIpv6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(native);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<std::uint16_t>(port));
    std::memcpy(&in6.sin6_addr, address.bytes, 16);
    return sizeof in6;
  }
  auto& in = reinterpret_cast<sockaddr_in&>(native);
  in.sin_family = AF_INET;
  in.sin_port = htons(static_cast<std::uint16_t>(port));
  std::memcpy(&in.sin_addr, address.bytes, 4);
  return sizeof in;
}

PeerAddress from_native(const sockaddr_storage& native) {
  if (native.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(native);
    std::uint8_t bytes[16];
    std::memcpy(bytes, &in6.sin6_addr, 16);
    return make_peer(ipv6_address(bytes), ntohs(in6.sin6_port));
  }
  if (native.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(native);
    std::uint8_t bytes[4];
    std::memcpy(bytes, &in.sin_addr, 4);
    return make_peer(ipv4_address(bytes), ntohs(in.sin_port));
  }
  return make_peer(IpAddress{}, 0);
}

int family_of(const IpAddress& address) {
  return address.family == Family::kIpv6 ? AF_INET6 : AF_INET;
}

// Closes the socket without losing the code of the call that failed.
void close_keeping_error(Socket socket) {
  const int error = errno;
  ::close(socket);
  errno = error;
}

}  // namespace

Socket net_open_listener(const IpAddress& address, int port, int backlog,
                         const char** failed_step) {
  const char* ignored = nullptr;
  const char*& step = failed_step != nullptr ? *failed_step : ignored;
  step = "socket";
  const Socket listener = ::socket(family_of(address), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener == kNoSocket) return kNoSocket;
  // A restarted relay must listen again at once while old connections sit in TIME_WAIT; Linux
  // still refuses a second listener on a port that is listening.
  int on = 1, off = 0;
  (void)setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // best effort
  if (address.family == Family::kIpv6) {
    // Dual stack whatever net.ipv6.bindv6only says; without it only IPv6 peers would come.
    (void)setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);  // then bind says
  }
  sockaddr_storage native;
  const socklen_t length = to_native(address, port, native);
  step = "bind";
  if (::bind(listener, reinterpret_cast<sockaddr*>(&native), length) == 0) {
    step = "listen";
    if (::listen(listener, backlog == kBacklogMax ? SOMAXCONN : backlog) == 0) return listener;
  }
  close_keeping_error(listener);
  return kNoSocket;
}

int net_local_port(Socket socket) {
  sockaddr_storage native{};
  socklen_t length = sizeof native;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&native), &length) != 0) return -1;
  return from_native(native).port;
}

Socket net_connect(const IpAddress& address, int port, const IpAddress* source) {
  const Socket socket = ::socket(family_of(address), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket == kNoSocket) return kNoSocket;
  sockaddr_storage native;
  if (source != nullptr) {
    const socklen_t length = to_native(*source, 0, native);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&native), length) != 0) {
      close_keeping_error(socket);
      return kNoSocket;
    }
  }
  const socklen_t length = to_native(address, port, native);
  int result;
  do {
    result = ::connect(socket, reinterpret_cast<sockaddr*>(&native), length);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    close_keeping_error(socket);
    return kNoSocket;
  }
  return socket;
}

Socket net_connect_loopback(int port) { return net_connect(ipv4_address({127, 0, 0, 1}), port); }

Socket net_accept(Socket listener, PeerAddress& peer) {
  sockaddr_storage native{};
  socklen_t length = sizeof native;
  // Non-blocking from the start, so neither a vanished connection nor a spurious readiness
  // report can hold the single thread.
  const Socket accepted = ::accept4(listener, reinterpret_cast<sockaddr*>(&native), &length,
                                    SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted == kNoSocket) return kNoSocket;
  peer = from_native(native);
  return accepted;
}

long net_recv(Socket socket, void* buffer, std::size_t length) {
  return ::recv(socket, buffer, length, MSG_DONTWAIT);
}

long net_send(Socket socket, const void* buffer, std::size_t length) {
  return ::send(socket, buffer, length, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void net_shutdown_both(Socket socket) { (void)::shutdown(socket, SHUT_RDWR); }  // may be gone
void net_shutdown_send(Socket socket) { (void)::shutdown(socket, SHUT_WR); }    // may be gone

void net_set_keepalive(Socket socket, int idle_seconds) {
  // Six probes, at most ten seconds apart: a silent peer ends within idle + 60 s. The user
  // timeout ends a connection whose sent data stays unacknowledged as long.
  const int interval = idle_seconds < 10 ? idle_seconds : 10;
  const int count = 6;
  const unsigned user_timeout_ms = static_cast<unsigned>(idle_seconds + interval * count) * 1000;
  const int on = 1;
  // Best effort: a socket without keepalive still relays; only a vanished peer lingers.
  (void)setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  (void)setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle_seconds, sizeof idle_seconds);
  (void)setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  (void)setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  (void)setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
}
void net_close(Socket socket) { (void)::close(socket); }  // nothing to do about a failure

}  // namespace orv
