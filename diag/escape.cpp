// The one escaper of the log and the status page.
#include "diag/escape.h"

#include <cstdint>

namespace orv {
namespace {

// The UTF-8 character at bytes[0] (its length and code point), or 0 when none starts there:
// no overlong forms, no surrogates, nothing beyond U+10FFFF.
std::size_t utf8_character(const unsigned char* bytes, std::size_t left, std::uint32_t& code) {
  const unsigned char lead = bytes[0];
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (length == 0 || length > left || bytes[1] < low || bytes[1] > high) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if (bytes[i] < 0x80 || bytes[i] > 0xBF) return 0;
    code = code << 6 | (bytes[i] & 0x3F);
  }
  return length;
}

// Characters that are valid but must not act: C1 controls, the bidirectional controls, and the
// separators some viewers break lines at.
bool acts(std::uint32_t code) {
  return code <= 0x9F || code == 0x061C || code == 0x200E || code == 0x200F ||
         (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::size_t escape_shown(std::string_view text, char* out) {
  static const char kHex[] = "0123456789abcdef";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  char* at = out;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char byte = bytes[i];
    std::uint32_t code = 0;
    std::size_t length = 1;
    if (byte == '\\') {
      *at++ = '\\';
      *at++ = '\\';
    } else if (byte >= 0x20 && byte < 0x7F) {
      *at++ = static_cast<char>(byte);
    } else if (byte >= 0x80 && (length = utf8_character(bytes + i, text.size() - i, code)) > 0 &&
               !acts(code)) {
      for (std::size_t k = 0; k < length; ++k) *at++ = static_cast<char>(bytes[i + k]);
    } else {
      // A whole character that acts is escaped byte by byte, so what was sent stays readable.
      if (length == 0) length = 1;
      for (std::size_t k = 0; k < length; ++k) {
        *at++ = '\\';
        *at++ = 'x';
        *at++ = kHex[bytes[i + k] >> 4];
        *at++ = kHex[bytes[i + k] & 0x0F];
      }
    }
    i += length;
  }
  return static_cast<std::size_t>(at - out);
}

std::string shown_text(std::string_view text) {
  std::string shown(kEscapedBytesPerByte * text.size(), '\0');
  shown.resize(escape_shown(text, shown.data()));
  return shown;
}

}  // namespace orv
