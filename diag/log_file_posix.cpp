// The log's files on POSIX: O_NOFOLLOW and a check of what was opened, rename for rotation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "diag/log_file.h"

namespace orv {

std::FILE* log_file_open(const char* path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    // O_NONBLOCK: a FIFO put in orv.log's place fails at once rather than hold the relay until
    // someone reads it. It changes nothing for a regular file.
    const int fd =
        ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0 && errno != ELOOP && errno != ENXIO) return nullptr;  // ELOOP: a link
    if (fd >= 0) {
      struct stat status{};
      if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1) {
        std::FILE* file = ::fdopen(fd, "ab");
        if (file == nullptr) {
          const int error = errno;
          (void)::close(fd);  // the open's failure is the one to report
          errno = error;
        }
        return file;
      }
      (void)::close(fd);  // opened for a check only; nothing was written
    }
    // Not a file of ours: the name goes, never what it points to; a folder stays (EISDIR).
    if (::unlink(path) != 0) return nullptr;
  }
  errno = EEXIST;  // something was put back in its place at once
  return nullptr;
}

long long log_file_size(std::FILE* file) {
  struct stat status{};
  return ::fstat(::fileno(file), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

bool log_file_truncate(std::FILE* file) { return ::ftruncate(::fileno(file), 0) == 0; }

// rename replaces a link at `to` itself, and refuses a folder there (EISDIR).
bool log_file_move(const char* from, const char* to) { return ::rename(from, to) == 0; }

bool log_file_is_folder(const char* path) {
  struct stat status{};
  return ::lstat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace orv
