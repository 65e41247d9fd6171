// The log's files on Windows: opened as reparse points themselves and checked, moved with
// MoveFileEx.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "diag/log_file.h"

namespace orv {
namespace {

// The C runtime's error numbers for what the log reports with strerror.
void set_errno_from(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    default:
      errno = EIO;
      break;
  }
}

}  // namespace

std::FILE* log_file_open(const char* path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, so the check below sees it for what it
    // is. Readers may hold the file and a rotation may rename it meanwhile.
    HANDLE handle = CreateFileA(
        path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      set_errno_from(GetLastError());
      return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const DWORD not_a_file =
        FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    if (GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & not_a_file) == 0 &&
        info.nNumberOfLinks == 1) {
      const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_BINARY);
      if (fd < 0) {
        CloseHandle(handle);
        return nullptr;  // errno set by the runtime
      }
      std::FILE* file = _fdopen(fd, "ab");
      if (file == nullptr) (void)_close(fd);  // the failure reported is the open's
      return file;
    }
    CloseHandle(handle);
    // Not a file of ours: DeleteFile removes a link itself, and never a folder.
    if (!DeleteFileA(path)) {
      set_errno_from(GetLastError());
      return nullptr;
    }
  }
  errno = EEXIST;  // something was put back in its place at once
  return nullptr;
}

long long log_file_size(std::FILE* file) { return _filelengthi64(_fileno(file)); }

bool log_file_truncate(std::FILE* file) { return _chsize_s(_fileno(file), 0) == 0; }

bool log_file_move(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
  set_errno_from(GetLastError());
  return false;
}

bool log_file_is_folder(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace orv
