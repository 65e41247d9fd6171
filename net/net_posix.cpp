// BSD sockets and poll() behind the socket layer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "net/net.h"

namespace orv {

struct SocketSet {
  std::vector<Socket> members;  // in the order of addition
  std::vector<int> position;    // by descriptor: index into members, or -1
  // Scratch for socket_wait, kept here so that a wait allocates nothing once it has grown.
  std::vector<pollfd> polled;
  std::vector<std::size_t> poll_index;
};

void SocketSetDeleter::operator()(SocketSet* set) const { delete set; }

SocketSetPtr socket_set_create() { return SocketSetPtr(new SocketSet); }

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

bool net_listen(Socket socket, int backlog) { return ::listen(socket, backlog) == 0; }

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

Socket net_accept(Socket listener, char (&peer_address)[kAddressTextBytes]) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  peer_address[0] = 0;
  Socket accepted = ::accept(listener, reinterpret_cast<sockaddr*>(&address), &length);
  if (accepted == kNoSocket) return kNoSocket;
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
void net_close(Socket socket) { (void)::close(socket); }  // nothing to do about a failure

void socket_set_clear(SocketSet& set) {
  for (Socket member : set.members) set.position[static_cast<std::size_t>(member)] = -1;
  set.members.clear();
}

void socket_set_add(SocketSet& set, Socket socket) {
  if (socket < 0) return;
  auto index = static_cast<std::size_t>(socket);
  if (index >= set.position.size()) set.position.resize(index + 1, -1);
  if (set.position[index] != -1) return;
  set.position[index] = static_cast<int>(set.members.size());
  set.members.push_back(socket);
}

bool socket_set_contains(const SocketSet& set, Socket socket) {
  if (socket < 0) return false;
  auto index = static_cast<std::size_t>(socket);
  return index < set.position.size() && set.position[index] != -1;
}

void socket_set_remove(SocketSet& set, Socket socket) {
  if (!socket_set_contains(set, socket)) return;
  auto index = static_cast<std::size_t>(socket);
  auto slot = static_cast<std::size_t>(set.position[index]);
  Socket last = set.members.back();
  set.members[slot] = last;
  set.position[static_cast<std::size_t>(last)] = static_cast<int>(slot);
  set.members.pop_back();
  set.position[index] = -1;
}

std::size_t socket_set_size(const SocketSet& set) { return set.members.size(); }

namespace {
// Keeps only the members whose poll entry reports one of the wanted events.
void keep_ready(SocketSet& set, const std::vector<pollfd>& polled,
                const std::vector<std::size_t>& index_of_member, short wanted) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < set.members.size(); ++i) {
    Socket member = set.members[i];
    if (polled[index_of_member[i]].revents & wanted) {
      set.members[kept] = member;
      set.position[static_cast<std::size_t>(member)] = static_cast<int>(kept);
      ++kept;
    } else {
      set.position[static_cast<std::size_t>(member)] = -1;
    }
  }
  set.members.resize(kept);
}
}  // namespace

int socket_wait(SocketSet& read, SocketSet& write, int timeout_ms) {
  // One poll entry per socket: read members first, write members joined to theirs.
  std::vector<pollfd>& polled = read.polled;
  polled.clear();
  read.poll_index.clear();
  write.poll_index.clear();
  for (Socket member : read.members) {
    read.poll_index.push_back(polled.size());
    polled.push_back(pollfd{member, POLLIN, 0});
  }
  for (Socket member : write.members) {
    if (socket_set_contains(read, member)) {
      std::size_t index = read.poll_index[static_cast<std::size_t>(
          read.position[static_cast<std::size_t>(member)])];
      polled[index].events |= POLLOUT;
      write.poll_index.push_back(index);
    } else {
      write.poll_index.push_back(polled.size());
      polled.push_back(pollfd{member, POLLOUT, 0});
    }
  }
  int result = ::poll(polled.data(), polled.size(), timeout_ms);
  if (result < 1) return result;
  // An error or hang-up counts as ready both ways: the next recv or send reports it.
  constexpr short kTrouble = POLLERR | POLLHUP | POLLNVAL;
  keep_ready(read, polled, read.poll_index, static_cast<short>(POLLIN | kTrouble));
  keep_ready(write, polled, write.poll_index, static_cast<short>(POLLOUT | kTrouble));
  int ready = 0;
  for (const pollfd& entry : polled) ready += entry.revents != 0;
  return ready;
}

}  // namespace orv
