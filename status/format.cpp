// Writing into the status answers' fixed buffers: numbers, names from outside escaped for where
// they go, and times in the relay's local zone, as its log writes them.
#include <charconv>
#include <chrono>
#include <cstring>

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

// The length of the UTF-8 sequence at bytes[0], or 0 where none starts there. C1 controls
// (U+0080 to U+009F) count as none unless allowed: a terminal may act on them.
std::size_t utf8_sequence(const unsigned char* bytes, std::size_t left, bool c1_allowed) {
  const unsigned char lead = bytes[0];
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    if (lead == 0xC2 && !c1_allowed) low = 0xA0;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  }
  if (length == 0 || length > left || bytes[1] < low || bytes[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (bytes[i] < 0x80 || bytes[i] > 0xBF) return 0;
  }
  return length;
}

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
  static const char kHex[] = "0123456789abcdef";
  // One backslash of what is meant, as the output spells it.
  const std::string_view backslash = form == Form::kText ? "\\" : "\\\\";
  const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
  for (std::size_t i = 0; i < name.size();) {
    const unsigned char byte = bytes[i];
    std::size_t length = 1;
    if (byte == '\\') {
      // A label holds the byte itself; the other forms show it escaped, as the log does.
      text.add(backslash);
      if (form != Form::kLabel) text.add(backslash);
    } else if (byte == '"' && form != Form::kText) {
      text.add("\\\"");
    } else if (byte == '\n' && form == Form::kLabel) {
      text.add("\\n");
    } else if (byte < 0x80 && (form == Form::kLabel || (byte >= 0x20 && byte != 0x7F))) {
      text.add(std::string_view(name.data() + i, 1));
    } else if (byte >= 0x80 &&
               (length = utf8_sequence(bytes + i, name.size() - i, form == Form::kLabel))) {
      text.add(std::string_view(name.data() + i, length));
    } else {
      length = 1;
      text.add(backslash);
      text.add("x");
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
