// Winsock 2 and select() behind the socket layer.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "net/net.h"

static_assert(FD_SETSIZE == 4096, "FD_SETSIZE is set as a compile definition for every file");

namespace orv {

struct SocketSet {
  fd_set set;
};

void SocketSetDeleter::operator()(SocketSet* set) const { delete set; }

SocketSetPtr socket_set_create() {
  SocketSetPtr set(new SocketSet);
  set->set.fd_count = 0;
  return set;
}

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

Socket net_tcp_socket() { return portable(::socket(AF_INET, SOCK_STREAM, 0)); }

bool net_bind_any(Socket socket, int port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  return ::bind(native(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool net_listen(Socket socket, int backlog) { return ::listen(native(socket), backlog) == 0; }

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
  return socket;
}

Socket net_accept(Socket listener, char (&peer_address)[kAddressTextBytes]) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  int length = sizeof address;  // 16, an IPv4 address
  peer_address[0] = 0;
  SOCKET accepted = ::accept(native(listener), reinterpret_cast<sockaddr*>(&address), &length);
  if (accepted == INVALID_SOCKET) return kNoSocket;
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

void socket_set_clear(SocketSet& set) { set.set.fd_count = 0; }

void socket_set_add(SocketSet& set, Socket socket) {
  if (socket == kNoSocket) return;
  if (socket_set_contains(set, socket)) return;
  if (set.set.fd_count >= FD_SETSIZE) return;  // full: left out of this wait
  set.set.fd_array[set.set.fd_count++] = native(socket);
}

bool socket_set_contains(const SocketSet& set, Socket socket) {
  if (socket == kNoSocket) return false;
  for (u_int i = 0; i < set.set.fd_count; ++i) {
    if (set.set.fd_array[i] == native(socket)) return true;
  }
  return false;
}

void socket_set_remove(SocketSet& set, Socket socket) {
  if (socket == kNoSocket) return;
  FD_CLR(native(socket), &set.set);
}

std::size_t socket_set_size(const SocketSet& set) { return set.set.fd_count; }

int socket_wait(SocketSet& read, SocketSet& write, int timeout_ms) {
  timeval timeout;
  timeout.tv_sec = timeout_ms / 1000;
  timeout.tv_usec = (timeout_ms % 1000) * 1000;
  if (read.set.fd_count == 0 && write.set.fd_count == 0) {
    // select refuses empty sets; waiting out the timeout is what an idle pass means.
    Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  int result = ::select(0, &read.set, &write.set, nullptr, &timeout);
  return result == SOCKET_ERROR ? -1 : result;
}

}  // namespace orv
