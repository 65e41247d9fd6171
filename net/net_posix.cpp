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

bool net_error_is_retry(int code) {
  return code == EINTR || code == EAGAIN || code == EWOULDBLOCK;
}

bool net_error_is_exhaustion(int code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

Socket net_tcp_socket() { return ::socket(AF_INET, SOCK_STREAM, 0); }

bool net_bind_any(Socket socket, int port) {
  // A restarted relay must listen again at once while old connections sit in TIME_WAIT; Linux
  // still refuses a second listener on a port that is listening.
  int on = 1;
  (void)setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // best effort
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  return ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool net_bind(Socket socket, const char* ipv4, int port) {
  sockaddr_in address{};
  if (inet_pton(AF_INET, ipv4, &address.sin_addr) != 1) {
    errno = EINVAL;
    return false;
  }
  int on = 1;
  (void)setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // as net_bind_any
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool net_listen(Socket socket, int backlog) {
  return ::listen(socket, backlog == kBacklogMax ? SOMAXCONN : backlog) == 0;
}

int net_local_port(Socket socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

Socket net_connect_loopback(int port) {
  Socket socket = net_tcp_socket();
  if (socket == kNoSocket) return kNoSocket;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int result;
  do {
    result = ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    int error = errno;
    net_close(socket);
    errno = error;
    return kNoSocket;
  }
  return socket;
}

Socket net_accept(Socket listener, char (&peer_address)[kAddressTextBytes], int* peer_port) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  peer_address[0] = 0;
  // Non-blocking from the start, so neither a vanished connection nor a spurious readiness
  // report can hold the single thread.
  Socket accepted = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted == kNoSocket) return kNoSocket;
  if (peer_port != nullptr) *peer_port = ntohs(address.sin_port);
  if (address.sin_family != AF_INET ||
      inet_ntop(AF_INET, &address.sin_addr, peer_address, sizeof peer_address) == nullptr) {
    peer_address[0] = 0;
  }
  return accepted;
}

long net_recv(Socket socket, void* buffer, std::size_t length) {
  return ::recv(socket, buffer, length, MSG_DONTWAIT);
}

long net_send(Socket socket, const void* buffer, std::size_t length) {
  return ::send(socket, buffer, length, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void net_shutdown_both(Socket socket) { (void)::shutdown(socket, SHUT_RDWR); }  // may be gone
void net_shutdown_send(Socket socket) { (void)::shutdown(socket, SHUT_WR); }      // may be gone

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
  (void)setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms,
                   sizeof user_timeout_ms);
}
void net_close(Socket socket) { (void)::close(socket); }  // nothing to do about a failure

}  // namespace orv
