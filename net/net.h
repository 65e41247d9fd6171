// The socket layer the relay is written against: one Winsock and one POSIX implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace orv {

// Socket handles are plain integers on both platforms; kNoSocket means "no socket".
using Socket = int;
constexpr Socket kNoSocket = -1;

// Starts the socket library (WSAStartup 2.2 on Windows). On POSIX it raises the soft limit on
// open descriptors to the hard limit, since a full configuration holds thousands of sockets.
// Returns false when the library cannot start; the native error is then net_last_error().
bool net_startup();
// Shuts the socket library down (WSACleanup); nothing on POSIX.
void net_cleanup();

// The native error code of the last failed socket call (WSAGetLastError, errno).
int net_last_error();
// Restores a saved error code, so cleanup after a failure does not hide the failure's code.
void net_set_last_error(int code);
// True for the codes after which a call is simply tried again in a later pass: an interrupted
// call, and "would block" (a spurious readiness report on POSIX, where calls never block).
bool net_error_is_retry(int code);

// Listener steps, each returning false (or kNoSocket) on failure with net_last_error() set.
Socket net_tcp_socket();                   // AF_INET, SOCK_STREAM, protocol 0
bool net_bind_any(Socket socket, int port);  // INADDR_ANY; POSIX also sets SO_REUSEADDR
bool net_listen(Socket socket, int backlog);
// The local port a socket is bound to (a listener bound to port 0 learns its port), or -1.
int net_local_port(Socket socket);
// Connects to 127.0.0.1:port, blocking until done; for tests and tools.
Socket net_connect_loopback(int port);

// Accepts one connection. On success *peer_address holds the dotted IPv4 text of the peer, or
// is empty (peer_address[0] == 0) when the address cannot be turned into text.
constexpr std::size_t kAddressTextBytes = 16;  // "255.255.255.255" and its NUL
Socket net_accept(Socket listener, char (&peer_address)[kAddressTextBytes]);

// One recv / send, never blocking on POSIX (MSG_DONTWAIT, MSG_NOSIGNAL for that call only).
// Results as the system's: bytes moved, 0 at end of stream (recv), -1 on error.
long net_recv(Socket socket, void* buffer, std::size_t length);
long net_send(Socket socket, const void* buffer, std::size_t length);

void net_shutdown_both(Socket socket);  // shutdown of both directions; errors are ignored
void net_close(Socket socket);          // closesocket / close; errors are ignored

// Shuts down both directions, closes and sets *socket to kNoSocket; nothing when it is none.
void net_close_connection(Socket& socket);

// A readiness set for one wait. On Windows an fd_set of FD_SETSIZE (4096) handles: a full set
// silently leaves further sockets out. On POSIX no limit, and add, contains and remove cost
// constant time; a set is reused from wait to wait without allocating once it has grown.
struct SocketSet;
struct SocketSetDeleter {
  void operator()(SocketSet* set) const;
};
using SocketSetPtr = std::unique_ptr<SocketSet, SocketSetDeleter>;
SocketSetPtr socket_set_create();

void socket_set_clear(SocketSet& set);
void socket_set_add(SocketSet& set, Socket socket);  // no duplicates; kNoSocket is never added
bool socket_set_contains(const SocketSet& set, Socket socket);
void socket_set_remove(SocketSet& set, Socket socket);
std::size_t socket_set_size(const SocketSet& set);

// Waits until a socket of either set is ready, at most timeout_ms. Afterwards each set holds only
// its ready sockets (readable includes a listener with a connection and a peer that closed).
// Returns the number of ready sockets, 0 on timeout, -1 on failure.
int socket_wait(SocketSet& read, SocketSet& write, int timeout_ms);

// Whole seconds since 1970. Tests may pin the clock; clock_release returns to the real one.
std::int64_t clock_seconds();
void clock_pin(std::int64_t seconds);
void clock_release();

}  // namespace orv
