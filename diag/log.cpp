// The log: one timestamped line on stderr and appended to orv.log, which rotates to orv.log.1.
#include "diag/log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "diag/console.h"
#include "diag/log_file.h"

namespace orv {
namespace {
std::string g_data_folder = "./";
// data_file_path("orv.log") in fixed memory, for the log and the crash handler; empty when it
// does not fit, which no system could open either.
char g_log_path[4096] = "./orv.log";
std::atomic<long> g_utc_offset{0};
static_assert(std::atomic<long>::is_always_lock_free, "read in a signal handler");
long g_rotate_bytes = kLogRotateBytes;
int g_keep = kLogKeepDefault;
#ifdef _WIN32
constexpr char kSeparator[] = "\\";
#else
constexpr char kSeparator[] = "/";
#endif

// Room for the timestamp and the line end around the longest message.
constexpr std::size_t kLineBytes = kLogMessageBytes + 64;

void append_line(std::FILE* file, const LogTime& time, const char* text) {
  char line[kLineBytes];
  std::size_t length = format_log_line(line, sizeof line, time, text, "\r\n");
  (void)std::fwrite(line, 1, length, file);  // nothing better to do about a full disk
}

// orv.log.<number>, in fixed memory like orv.log's path: lines logged by the relay's pass
// allocate nothing.
using GenerationPath = char[sizeof g_log_path + 12];  // "." and any int
const char* generation(GenerationPath& path, int number) {
  std::snprintf(path, sizeof path, "%s.%d", g_log_path, number);
  return path;
}

// Moves orv.log to orv.log.1, each older file one number up, and opens a new orv.log. When
// orv.log cannot move (orv.log.1 is a folder, say), orv.log is emptied and says why, rather than
// grow without bound; a passing hold (a reader on Windows) is waited out up to twice the size.
std::FILE* rotate(std::FILE* file, long long size, const LogTime& time) {
  (void)std::fclose(file);  // only opened to learn its size
  GenerationPath older, newer;
  for (int number = g_keep - 1; number >= 1; --number) {
    // A generation that is missing leaves the next one where it is.
    (void)log_file_move(generation(older, number), generation(newer, number + 1));
  }
  const bool moved = log_file_move(g_log_path, generation(older, 1));
  const int error = errno;
  file = log_file_open(g_log_path);
  if (moved || file == nullptr) return file;
  if (!log_file_is_folder(older) && size <= 2LL * g_rotate_bytes) return file;
  if (!log_file_truncate(file)) return file;
  char text[kLogMessageBytes];
  std::snprintf(text, sizeof text, "Log rotation to %s failed: %s, orv.log emptied instead", older,
                std::strerror(error));
  char line[kLineBytes];
  write_console(line, format_log_line(line, sizeof line, time, text, "\n"));
  append_line(file, time, text);
  return file;
}
}  // namespace

void set_log_retention(long rotate_bytes, int keep) {
  g_rotate_bytes = rotate_bytes;
  g_keep = keep;
}

void set_data_folder(const std::string& folder) {
  g_data_folder = folder;
  const std::string path = data_file_path("orv.log");
  const std::size_t length = path.size() < sizeof g_log_path ? path.size() : 0;
  std::memcpy(g_log_path, path.data(), length);
  g_log_path[length] = 0;
}
const char* log_path_in_fixed_memory() { return g_log_path; }
long log_utc_offset_seconds() { return g_utc_offset.load(); }
const std::string& data_folder() { return g_data_folder; }
std::string data_file_path(const char* name) { return g_data_folder + kSeparator + name; }

namespace {
// Also gives local time's offset from UTC at that moment (0 on Windows, where nothing reads it).
bool convert_local(std::int64_t seconds, LogTime& time, long& utc_offset) {
  const auto moment = static_cast<std::time_t>(seconds);
  std::tm local{};
#ifdef _WIN32
  if (localtime_s(&local, &moment) != 0) return false;
  utc_offset = 0;
#else
  if (localtime_r(&moment, &local) == nullptr) return false;
  utc_offset = local.tm_gmtoff;
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
}  // namespace

bool local_time_at(std::int64_t seconds, LogTime& time) {
  long utc_offset = 0;
  return convert_local(seconds, time, utc_offset);
}

LogTime log_local_time() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  LogTime time{};
  long utc_offset = 0;
  // Fails only for moments far beyond any clock; the line then shows zeros.
  if (convert_local(system_clock::to_time_t(now), time, utc_offset)) g_utc_offset.store(utc_offset);
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
  char line[kLineBytes];
  write_console(line, format_log_line(line, sizeof line, time, text, "\n"));

  std::FILE* file = log_file_open(g_log_path);
  if (file != nullptr) {
    const long long size = log_file_size(file);
    if (size > g_rotate_bytes) file = rotate(file, size, time);
  }
  if (file == nullptr) {
    int length = std::snprintf(line, sizeof line, "%s: %s\n", g_log_path, std::strerror(errno));
    if (length > 0) {
      write_console(line, std::min(static_cast<std::size_t>(length), sizeof line - 1));
    }
    return;
  }
  append_line(file, time, text);
  (void)std::fclose(file);  // a failure here has nowhere better to go
}

}  // namespace orv
