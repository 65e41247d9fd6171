// How bytes that the relay does not choose (an identifier a device sent, a name in orv.conf) are
// shown in the log and on the status page, so that none of them can steer a terminal or a
// browser, reorder what is shown, or pass for a line of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orv {

// The well-formed UTF-8 character at bytes[0] (no overlong form, no surrogate, nothing beyond
// U+10FFFF): its length, and its code point in *code; 0 when none starts there.
std::size_t utf8_character(const unsigned char* bytes, std::size_t left, std::uint32_t& code);

// Shows the character at text[at] (or the byte, where none starts there) and moves at past it:
// printable ASCII and UTF-8 characters as they are, the backslash as "\\", and as "\xNN" every
// byte of a control character (below 0x20, 0x7F, the C1 controls U+0080 to U+009F), of a
// bidirectional control (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069), of a line
// or paragraph separator (U+2028, U+2029), and every byte that is not part of well-formed UTF-8
// (bytes 0x80 to 0x9F alone among them). Returns the length written to piece.
constexpr std::size_t kShownPieceBytes = 16;  // a character of four bytes, each "\xNN"
std::size_t show_next(std::string_view text, std::size_t& at, char (&piece)[kShownPieceBytes]);

constexpr std::size_t kShownBytesPerByte = 4;  // "\xNN", the most one byte can become
// The whole text shown so.
std::string shown_text(std::string_view text);
// The same into out, NUL-terminated, without allocating; characters that do not fit whole are
// left out. Returns the length written.
std::size_t show_into(std::string_view text, char* out, std::size_t capacity);

}  // namespace orv
