// The socket layer the relay is written against: one Winsock and one POSIX implementation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/address.h"

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
// True when accept failed for lack of descriptors or buffers: the listener stays readable, so
// trying again at once would only fail again.
bool net_error_is_exhaustion(int code);

// Opens a TCP listener on the address (none: every IPv4 address) and port: socket, bind,
// listen (kBacklogMax: the system's largest backlog). POSIX sets SO_REUSEADDR, so a restarted
// relay listens again at once. An IPv6 listener takes IPv4 peers too (IPV6_V6ONLY off, which
// Windows has on by default), so "::" is every address of both families on both systems.
// On failure: kNoSocket, *failed_step names the call ("socket", "bind" or "listen") and
// net_last_error() holds its code.
constexpr int kBacklogMax = -1;
Socket net_open_listener(const IpAddress& address, int port, int backlog,
                         const char** failed_step = nullptr);
// The local port a socket is bound to (a listener bound to port 0 learns its port), or -1.
int net_local_port(Socket socket);
// Connects to address:port, blocking until done, from source (any port) when given; for tests
// and tools. net_recv and net_send never block on it, as on accepted sockets.
Socket net_connect(const IpAddress& address, int port, const IpAddress* source = nullptr);
// Connects to 127.0.0.1:port.
Socket net_connect_loopback(int port);

// Accepts one connection, non-blocking, and the peer's address with its text.
Socket net_accept(Socket listener, PeerAddress& peer);

// TCP keepalive: idle seconds, then probes; a peer that stopped answering ends the connection
// with an error within about idle + 60 seconds (Linux also bounds unacknowledged data so).
void net_set_keepalive(Socket socket, int idle_seconds);

// One recv / send, never blocking: accepted and connected sockets are non-blocking (POSIX also
// passes MSG_DONTWAIT, and MSG_NOSIGNAL so a reset peer raises no SIGPIPE). A socket with
// nothing to read or no room reports a retry error.
// Results as the system's: bytes moved, 0 at end of stream (recv), -1 on error.
long net_recv(Socket socket, void* buffer, std::size_t length);
long net_send(Socket socket, const void* buffer, std::size_t length);

void net_shutdown_both(Socket socket);  // shutdown of both directions; errors are ignored
void net_shutdown_send(Socket socket);  // our end of stream to the peer; errors are ignored
void net_close(Socket socket);          // closesocket / close; errors are ignored

// Shuts down both directions, closes and sets *socket to kNoSocket; nothing when it is none.
void net_close_connection(Socket& socket);

// Whole seconds since 1970, and a steady millisecond count for intervals. Tests may pin both
// (clock_pin: seconds, and milliseconds = seconds * 1000; clock_pin_ms: milliseconds, and
// seconds = milliseconds / 1000); clock_release returns to the real clocks.
std::int64_t clock_seconds();
std::int64_t clock_milliseconds();
void clock_pin(std::int64_t seconds);
void clock_pin_ms(std::int64_t milliseconds);
void clock_release();
// Sleeps; on a pinned clock it moves the clock on instead, so a test sees the rest at once.
void clock_sleep_ms(std::int64_t milliseconds);

}  // namespace orv
