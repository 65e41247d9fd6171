// Writing into the status answers' fixed buffers: numbers, names from outside escaped for where
// they go, and times in the relay's local zone, as its log writes them.
#include <charconv>
#include <chrono>
#include <cstring>

#include "diag/escape.h"
#include "diag/log.h"
#include "status/figures.h"

namespace orv {

void StatusText::add(std::string_view text) {
  if (overflow || text.size() > capacity - length) {
    overflow = true;
    return;
  }
  std::memcpy(data + length, text.data(), text.size());
  length += text.size();
}

void StatusText::add_number(std::uint64_t value) {
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  add(std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
}

void StatusText::add_signed(std::int64_t value) {
  if (value < 0) {
    add("-");
    add_number(0 - static_cast<std::uint64_t>(value));
  } else {
    add_number(static_cast<std::uint64_t>(value));
  }
}

namespace {

void add_two_digits(StatusText& text, int value) {
  const char digits[2] = {static_cast<char>('0' + value / 10 % 10),
                          static_cast<char>('0' + value % 10)};
  text.add(std::string_view(digits, 2));
}

// The local fields of a moment and the zone's offset then. Where the system cannot convert it
// (Windows stops at the year 3000), the moment is given in UTC, which is still the same moment.
struct LocalMoment {
  LogTime time;
  std::int64_t offset_seconds;
};
LocalMoment local_moment(std::int64_t seconds) {
  using namespace std::chrono;
  seconds = static_cast<std::int64_t>(shown_time(seconds));
  LocalMoment moment{};
  const sys_seconds utc{std::chrono::seconds{seconds}};
  if (local_time_at(seconds, moment.time)) {
    const sys_days day = year{moment.time.year} / moment.time.month / moment.time.day;
    const sys_seconds local = day + hours{moment.time.hour} + minutes{moment.time.minute} +
                              std::chrono::seconds{moment.time.second};
    moment.offset_seconds = (local - utc).count();
    if (moment.offset_seconds > -86400 && moment.offset_seconds < 86400) return moment;
  }
  const sys_days day = floor<days>(utc);
  const year_month_day date{day};
  const hh_mm_ss clock{utc - day};
  moment.time = LogTime{static_cast<int>(date.year()),
                        static_cast<int>(static_cast<unsigned>(date.month())),
                        static_cast<int>(static_cast<unsigned>(date.day())),
                        static_cast<int>(clock.hours().count()),
                        static_cast<int>(clock.minutes().count()),
                        static_cast<int>(clock.seconds().count()),
                        0};
  moment.offset_seconds = 0;
  return moment;
}

void add_offset(StatusText& text, std::int64_t offset_seconds) {
  text.add(offset_seconds < 0 ? "-" : "+");
  const std::int64_t minutes = (offset_seconds < 0 ? -offset_seconds : offset_seconds) / 60;
  add_two_digits(text, static_cast<int>(minutes / 60));
  text.add(":");
  add_two_digits(text, static_cast<int>(minutes % 60));
}

}  // namespace

void add_escaped(StatusText& text, std::string_view name, Form form) {
  if (form != Form::kLabel) {
    // For a person as the log shows it, from the one escaper of both; in JSON, what that shows
    // has its backslashes and quotes escaped once more.
    char piece[kShownPieceBytes];
    for (std::size_t at = 0; at < name.size();) {
      const std::string_view shown(piece, show_next(name, at, piece));
      if (form == Form::kText) {
        text.add(shown);
        continue;
      }
      for (const char& byte : shown) {
        text.add(byte == '\\' ? "\\\\" : byte == '"' ? "\\\"" : std::string_view(&byte, 1));
      }
    }
    return;
  }
  // A label holds the bytes themselves, escaped as the format wants; a byte that is not UTF-8
  // shows as "\xNN" (the label's own backslash escaped), since the text is UTF-8.
  static const char kHex[] = "0123456789abcdef";
  const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
  for (std::size_t i = 0; i < name.size();) {
    const unsigned char byte = bytes[i];
    std::uint32_t code = 0;
    std::size_t length = 1;
    if (byte == '\\') {
      text.add("\\\\");
    } else if (byte == '"') {
      text.add("\\\"");
    } else if (byte == '\n') {
      text.add("\\n");
    } else if (byte < 0x80) {
      text.add(std::string_view(name.data() + i, 1));
    } else if ((length = utf8_character(bytes + i, name.size() - i, code)) > 0) {
      text.add(std::string_view(name.data() + i, length));
    } else {
      length = 1;
      text.add("\\\\x");
      const char digits[2] = {kHex[byte >> 4], kHex[byte & 0x0F]};
      text.add(std::string_view(digits, 2));
    }
    i += length;
  }
}

void add_time(StatusText& text, std::int64_t seconds, bool iso) {
  const LocalMoment moment = local_moment(seconds);
  const LogTime& time = moment.time;
  text.add_number(static_cast<std::uint64_t>(time.year));
  text.add("-");
  add_two_digits(text, time.month);
  text.add("-");
  add_two_digits(text, time.day);
  text.add(iso ? "T" : " ");
  add_two_digits(text, time.hour);
  text.add(":");
  add_two_digits(text, time.minute);
  text.add(":");
  add_two_digits(text, time.second);
  if (iso) add_offset(text, moment.offset_seconds);
}

void add_zone(StatusText& text, std::int64_t seconds) {
  text.add("UTC");
  add_offset(text, local_moment(seconds).offset_seconds);
}

}  // namespace orv
