// The one logging facility: a timestamped line on stderr and in orv.log, rotated to orv.log.1
// and older generations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv {

constexpr int kSeverityFailure = 1;
constexpr int kSeverityNotice = 4;
constexpr long kLogRotateBytes = 1000000;       // a larger orv.log moves to orv.log.1 by default
constexpr int kLogKeepDefault = 1;              // orv.log.1 alone
constexpr std::size_t kLogMessageBytes = 8192;  // message text, its NUL included

// The folder of orv.conf, orv.log and orv.log.1; "./" until the run sequence sets it.
void set_data_folder(const std::string& folder);
const std::string& data_folder();
// The data folder followed by the platform's separator and the name, by plain concatenation
// ("\" on Windows, "/" on POSIX): data_file_path("orv.log").
std::string data_file_path(const char* name);

// From the next line on, orv.log moves to orv.log.1 once larger than rotate_bytes, and keep
// older files are kept (orv.log.1 ... orv.log.<keep>). Applied whenever orv.conf is read.
void set_log_retention(long rotate_bytes, int keep);

// Writes one line to stderr and appends it, ending in CR LF, to orv.log. The severity
// (kSeverityFailure or kSeverityNotice) classifies the message and changes nothing in it.
// Never fails towards the caller; a log file that cannot be opened is reported on stderr.
void log_message(int severity, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The wall-clock fields of one log line.
struct LogTime {
  int year, month, day, hour, minute, second, millisecond;
};
LogTime log_local_time();
// The local wall-clock fields of a moment in seconds since 1970, as the log would write them
// (millisecond 0); false where the system cannot convert it.
bool local_time_at(std::int64_t seconds, LogTime& time);


// For the crash handler, which may neither allocate nor read the time zone: orv.log's path in
// fixed memory (empty when it does not fit), and local time's offset from UTC in seconds as the
// latest log_local_time found it.
const char* log_path_in_fixed_memory();
long log_utc_offset_seconds();
// "YYYY-MM-DD hh:mm:ss.mmm text" followed by line_end, truncated to fit capacity.
// Returns the length written (without the NUL).
std::size_t format_log_line(char* out, std::size_t capacity, const LogTime& time,
                            const char* text, const char* line_end);

}  // namespace orv
