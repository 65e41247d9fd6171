// Standard error on POSIX: written only while it has room, so that a reader that stopped
// draining a pipe, a socket or a terminal cannot stop the relay's one thread.
//
// The descriptor itself stays blocking: O_NONBLOCK would change the open file description,
// which is shared with whoever gave it to us (a shell's terminal, for one). Instead each piece
// is written only after poll, with no wait, says the descriptor can take it. On Linux a pipe
// that polls writable has a free page, and takes a piece of at most PIPE_BUF bytes whole into
// it, so the write never waits; a socket that polls writable has most of its buffer free. A line
// longer than PIPE_BUF whose later piece finds no room loses its end on the console.
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "diag/console.h"

namespace orv {

void write_console(const char* text, std::size_t length) {
  const int saved = errno;  // a log line must not change what its caller is about to report
  while (length > 0) {
    pollfd entry{STDERR_FILENO, POLLOUT, 0};
    int ready = ::poll(&entry, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1 || (entry.revents & POLLOUT) == 0) break;  // full, gone or closed: dropped
    ssize_t written = ::write(STDERR_FILENO, text, std::min<std::size_t>(length, PIPE_BUF));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;  // EPIPE with SIGPIPE ignored, among others
    text += written;
    length -= static_cast<std::size_t>(written);
  }
  errno = saved;
}

}  // namespace orv
