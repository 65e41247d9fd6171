// How bytes that the relay does not choose (an identifier a device sent, a name in orv.conf) are
// shown in the log and on the status page, so that none of them can steer a terminal or a
// browser, reorder what is shown, or pass for a line of its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orv {

constexpr std::size_t kEscapedBytesPerByte = 4;  // "\xNN", the most one byte can become

// Writes text as it is shown: printable ASCII and whole UTF-8 characters as they are, the
// backslash as "\\", and as "\xNN" every byte of a control character (below 0x20, 0x7F, the C1
// controls U+0080 to U+009F), of a bidirectional control (U+061C, U+200E, U+200F, U+202A to
// U+202E, U+2066 to U+2069), of a line or paragraph separator (U+2028, U+2029), and every byte
// that is not part of well-formed UTF-8 (bytes 0x80 to 0x9F alone among them). out needs room
// for kEscapedBytesPerByte * text.size() bytes; returns the length written (no NUL).
std::size_t escape_shown(std::string_view text, char* out);
std::string shown_text(std::string_view text);

}  // namespace orv
