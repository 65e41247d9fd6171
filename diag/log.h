// The one logging facility: a timestamped line on stderr and in orv.log, rotated to orv.log.1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv {

constexpr int kSeverityFailure = 1;
constexpr int kSeverityNotice = 4;
constexpr long kLogRotateBytes = 1000000;  // a larger orv.log moves to orv.log.1
constexpr std::size_t kLogMessageBytes = 8192;  // message text, its NUL included

// The folder of orv.conf, orv.log and orv.log.1; "./" until the run sequence sets it.
void set_data_folder(const std::string& folder);
const std::string& data_folder();
// The data folder followed by the platform's separator and the name, by plain concatenation
// ("\" on Windows, "/" on POSIX): data_file_path("orv.log").
std::string data_file_path(const char* name);

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
// "YYYY-MM-DD hh:mm:ss.mmm text" followed by line_end, truncated to fit capacity.
// Returns the length written (without the NUL).
std::size_t format_log_line(char* out, std::size_t capacity, const LogTime& time,
                            const char* text, const char* line_end);

}  // namespace orv
