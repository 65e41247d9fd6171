// Winsock 2 behind the socket layer.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <cstring>

#include "net/net.h"

namespace orv {

namespace {
SOCKET native(Socket socket) { return static_cast<SOCKET>(static_cast<INT_PTR>(socket)); }
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

Socket net_tcp_socket() { return portable(::socket(AF_INET, SOCK_STREAM, 0)); }

bool net_bind_any(Socket socket, int port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  return ::bind(native(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool net_bind(Socket socket, const char* ipv4, int port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  if (inet_pton(AF_INET, ipv4, &address.sin_addr) != 1) {
    WSASetLastError(WSAEINVAL);
    return false;
  }
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  return ::bind(native(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool net_listen(Socket socket, int backlog) {
  return ::listen(native(socket), backlog == kBacklogMax ? SOMAXCONN : backlog) == 0;
}

int net_local_port(Socket socket) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  int length = sizeof address;
  if (::getsockname(native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

Socket net_connect_loopback(int port) {
  Socket socket = net_tcp_socket();
  if (socket == kNoSocket) return kNoSocket;
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(native(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = WSAGetLastError();
    net_close(socket);
    WSASetLastError(error);
    return kNoSocket;
  }
  u_long on = 1;
  (void)ioctlsocket(native(socket), FIONBIO, &on);  // as accepted sockets: sends never block
  return socket;
}

Socket net_accept(Socket listener, char (&peer_address)[kAddressTextBytes], int* peer_port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  int length = sizeof address;  // 16, an IPv4 address
  peer_address[0] = 0;
  SOCKET accepted = ::accept(native(listener), reinterpret_cast<sockaddr*>(&address), &length);
  if (accepted == INVALID_SOCKET) return kNoSocket;
  // Non-blocking, so a peer that stops reading can never hold the single thread in a send.
  u_long on = 1;
  (void)ioctlsocket(accepted, FIONBIO, &on);  // cannot fail on a fresh socket
  if (peer_port != nullptr) *peer_port = ntohs(address.sin_port);
  const char* text = inet_ntoa(address.sin_addr);
  if (text != nullptr && std::strlen(text) < kAddressTextBytes) {
    std::memcpy(peer_address, text, std::strlen(text) + 1);
  }
  return portable(accepted);
}

long net_recv(Socket socket, void* buffer, std::size_t length) {
  return ::recv(native(socket), static_cast<char*>(buffer), static_cast<int>(length), 0);
}

long net_send(Socket socket, const void* buffer, std::size_t length) {
  return ::send(native(socket), static_cast<const char*>(buffer), static_cast<int>(length), 0);
}

void net_shutdown_both(Socket socket) { (void)::shutdown(native(socket), SD_BOTH); }  // may be gone
void net_close(Socket socket) { (void)::closesocket(native(socket)); }  // nothing to do about it
void net_shutdown_send(Socket socket) { (void)::shutdown(native(socket), SD_SEND); }

void net_set_keepalive(Socket socket, int idle_seconds) {
  // Windows sends ten probes; at ten seconds apart at most, a silent peer ends within idle
  // plus about a minute and a half.
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(idle_seconds) * 1000;
  values.keepaliveinterval = static_cast<ULONG>(idle_seconds < 10 ? idle_seconds : 10) * 1000;
  DWORD returned = 0;
  // Best effort: a socket without keepalive still relays; only a vanished peer lingers.
  (void)WSAIoctl(native(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                 &returned, nullptr, nullptr);
}

}  // namespace orv
