// Winsock 2 behind the socket layer.
// winsock2.h first: the others build on its types.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
// clang-format on

#include <cstring>

#include "net/net.h"

namespace orv {

namespace {
SOCKET native_socket(Socket socket) { return static_cast<SOCKET>(static_cast<INT_PTR>(socket)); }
Socket portable(SOCKET socket) {
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(socket);
}
}  // namespace

bool net_startup() {
  WSADATA data;
  int result = WSAStartup(MAKEWORD(2, 2), &data);
  if (result != 0) {
    WSASetLastError(result);
    return false;
  }
  return true;
}

void net_cleanup() { WSACleanup(); }

void net_set_last_error(int code) { WSASetLastError(code); }

int net_last_error() { return WSAGetLastError(); }

bool net_error_is_retry(int code) { return code == WSAEINTR || code == WSAEWOULDBLOCK; }

bool net_error_is_exhaustion(int code) { return code == WSAEMFILE || code == WSAENOBUFS; }

namespace {

// The system's socket address for address:port; none gives 0.0.0.0. Returns its length.
int to_native(const IpAddress& address, int port, SOCKADDR_STORAGE& native) {
  std::memset(&native, 0, sizeof native);
  if (address.family == Family::kIpv6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(native);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<u_short>(port));
    std::memcpy(&in6.sin6_addr, address.bytes, 16);
    return sizeof in6;
  }
  auto& in = reinterpret_cast<sockaddr_in&>(native);
  in.sin_family = AF_INET;
  in.sin_port = htons(static_cast<u_short>(port));
  std::memcpy(&in.sin_addr, address.bytes, 4);
  return sizeof in;
}

PeerAddress from_native(const SOCKADDR_STORAGE& native) {
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
void close_keeping_error(SOCKET socket) {
  const int error = WSAGetLastError();
  ::closesocket(socket);
  WSASetLastError(error);
}

}  // namespace

Socket net_open_listener(const IpAddress& address, int port, int backlog,
                         const char** failed_step) {
  const char* ignored = nullptr;
  const char*& step = failed_step != nullptr ? *failed_step : ignored;
  step = "socket";
  const SOCKET listener = ::socket(family_of(address), SOCK_STREAM, 0);
  if (listener == INVALID_SOCKET) return kNoSocket;
  if (address.family == Family::kIpv6) {
    // Windows listens on IPv6 alone unless told otherwise; "::" means both families.
    DWORD off = 0;
    (void)setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                     sizeof off);  // without it bind still works, for IPv6 peers
  }
  SOCKADDR_STORAGE native;
  const int length = to_native(address, port, native);
  step = "bind";
  if (::bind(listener, reinterpret_cast<sockaddr*>(&native), length) == 0) {
    step = "listen";
    if (::listen(listener, backlog == kBacklogMax ? SOMAXCONN : backlog) == 0) {
      return portable(listener);
    }
  }
  close_keeping_error(listener);
  return kNoSocket;
}

int net_local_port(Socket socket) {
  SOCKADDR_STORAGE native;
  std::memset(&native, 0, sizeof native);
  int length = sizeof native;
  if (::getsockname(native_socket(socket), reinterpret_cast<sockaddr*>(&native), &length) != 0) {
    return -1;
  }
  return from_native(native).port;
}

Socket net_connect(const IpAddress& address, int port, const IpAddress* source) {
  const SOCKET socket = ::socket(family_of(address), SOCK_STREAM, 0);
  if (socket == INVALID_SOCKET) return kNoSocket;
  SOCKADDR_STORAGE native;
  if (source != nullptr) {
    const int length = to_native(*source, 0, native);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&native), length) != 0) {
      close_keeping_error(socket);
      return kNoSocket;
    }
  }
  const int length = to_native(address, port, native);
  if (::connect(socket, reinterpret_cast<sockaddr*>(&native), length) != 0) {
    close_keeping_error(socket);
    return kNoSocket;
  }
  u_long on = 1;
  (void)ioctlsocket(socket, FIONBIO, &on);  // as accepted sockets: sends never block
  return portable(socket);
}

Socket net_connect_loopback(int port) { return net_connect(ipv4_address({127, 0, 0, 1}), port); }

Socket net_accept(Socket listener, PeerAddress& peer) {
  SOCKADDR_STORAGE native;
  std::memset(&native, 0, sizeof native);
  int length = sizeof native;
  const SOCKET accepted =
      ::accept(native_socket(listener), reinterpret_cast<sockaddr*>(&native), &length);
  if (accepted == INVALID_SOCKET) return kNoSocket;
  // Non-blocking, so a peer that stops reading can never hold the single thread in a send.
  u_long on = 1;
  (void)ioctlsocket(accepted, FIONBIO, &on);  // cannot fail on a fresh socket
  peer = from_native(native);
  return portable(accepted);
}

long net_recv(Socket socket, void* buffer, std::size_t length) {
  return ::recv(native_socket(socket), static_cast<char*>(buffer), static_cast<int>(length), 0);
}

long net_send(Socket socket, const void* buffer, std::size_t length) {
  return ::send(native_socket(socket), static_cast<const char*>(buffer), static_cast<int>(length),
                0);
}

void net_shutdown_both(Socket socket) {
  (void)::shutdown(native_socket(socket), SD_BOTH);
}  // may be gone
void net_close(Socket socket) {
  (void)::closesocket(native_socket(socket));
}  // nothing to do about it
void net_shutdown_send(Socket socket) { (void)::shutdown(native_socket(socket), SD_SEND); }

void net_set_keepalive(Socket socket, int idle_seconds) {
  // Windows sends ten probes; at ten seconds apart at most, a silent peer ends within idle
  // plus about a minute and a half.
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(idle_seconds) * 1000;
  values.keepaliveinterval = static_cast<ULONG>(idle_seconds < 10 ? idle_seconds : 10) * 1000;
  DWORD returned = 0;
  // Best effort: a socket without keepalive still relays; only a vanished peer lingers.
  (void)WSAIoctl(native_socket(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                 &returned, nullptr, nullptr);
}

}  // namespace orv
