// The log: one timestamped line on stderr and appended to orv.log, which rotates to orv.log.1.
#include "diag/log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "diag/console.h"

namespace orv {
namespace {
std::string g_data_folder = "./";
#ifdef _WIN32
constexpr char kSeparator[] = "\\";
#else
constexpr char kSeparator[] = "/";
#endif
}  // namespace

void set_data_folder(const std::string& folder) { g_data_folder = folder; }
const std::string& data_folder() { return g_data_folder; }
std::string data_file_path(const char* name) { return g_data_folder + kSeparator + name; }

bool local_time_at(std::int64_t seconds, LogTime& time) {
  const auto moment = static_cast<std::time_t>(seconds);
  std::tm local{};
#ifdef _WIN32
  if (localtime_s(&local, &moment) != 0) return false;
#else
  if (localtime_r(&moment, &local) == nullptr) return false;
#endif
  time = LogTime{local.tm_year + 1900,
                 local.tm_mon + 1,
                 local.tm_mday,
                 local.tm_hour,
                 local.tm_min,
                 local.tm_sec,
                 0};
  return true;
}

LogTime log_local_time() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  LogTime time{};
  // Fails only for moments far beyond any clock; the line then shows zeros.
  (void)local_time_at(system_clock::to_time_t(now), time);
  time.millisecond =
      static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  return time;
}

std::size_t format_log_line(char* out, std::size_t capacity, const LogTime& time,
                            const char* text, const char* line_end) {
  if (capacity == 0) return 0;
  int length = std::snprintf(out, capacity, "%02d-%02d-%02d %02d:%02d:%02d.%03d %s%s", time.year,
                             time.month, time.day, time.hour, time.minute, time.second,
                             time.millisecond, text, line_end);
  if (length < 0) {
    out[0] = 0;
    return 0;
  }
  return static_cast<std::size_t>(length) < capacity ? static_cast<std::size_t>(length)
                                                     : capacity - 1;
}

void log_message(int severity, const char* format, ...) {
  (void)severity;  // classifies the message for the caller; the line is the same
  char text[kLogMessageBytes];
  va_list arguments;
  va_start(arguments, format);
  // vsnprintf truncates within the buffer; a longer message loses its end.
  if (std::vsnprintf(text, sizeof text, format, arguments) < 0) text[0] = 0;
  va_end(arguments);

  const LogTime time = log_local_time();
  // Room for the timestamp and the line end around the longest message.
  char line[kLogMessageBytes + 64];
  write_console(line, format_log_line(line, sizeof line, time, text, "\n"));

  const std::string path = data_file_path("orv.log");
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && status.st_size > kLogRotateBytes) {
    const std::string older = data_file_path("orv.log.1");
    // Either may fail (no older file, a file in use): the line then goes to the old log.
    (void)std::remove(older.c_str());
    (void)std::rename(path.c_str(), older.c_str());
  }
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    int length = std::snprintf(line, sizeof line, "%s: %s\n", path.c_str(), std::strerror(errno));
    if (length > 0) {
      write_console(line, std::min(static_cast<std::size_t>(length), sizeof line - 1));
    }
    return;
  }
  std::size_t length = format_log_line(line, sizeof line, time, text, "\r\n");
  (void)std::fwrite(line, 1, length, file);  // nothing better to do about a full disk
  (void)std::fclose(file);
}

}  // namespace orv
