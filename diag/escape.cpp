// The one escaper of the log and the status page.
#include "diag/escape.h"

namespace orv {
namespace {

// Characters that are well-formed but must not act: C1 controls, the bidirectional controls, and
// the separators some viewers break lines at.
bool acts(std::uint32_t code) {
  return code <= 0x9F || code == 0x061C || code == 0x200E || code == 0x200F ||
         (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

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
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  }
  if (length == 0 || length > left || bytes[1] < low || bytes[1] > high) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if (bytes[i] < 0x80 || bytes[i] > 0xBF) return 0;
    code = code << 6 | (bytes[i] & 0x3F);
  }
  return length;
}

std::size_t show_next(std::string_view text, std::size_t& at, char (&piece)[kShownPieceBytes]) {
  static const char kHex[] = "0123456789abcdef";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data()) + at;
  std::uint32_t code = 0;
  std::size_t length = 1, written = 0;
  if (bytes[0] == '\\') {
    piece[written++] = '\\';
    piece[written++] = '\\';
  } else if (bytes[0] >= 0x20 && bytes[0] < 0x7F) {
    piece[written++] = static_cast<char>(bytes[0]);
  } else if (bytes[0] >= 0x80 && (length = utf8_character(bytes, text.size() - at, code)) > 0 &&
             !acts(code)) {
    for (std::size_t k = 0; k < length; ++k) piece[written++] = static_cast<char>(bytes[k]);
  } else {
    // A whole character that acts is shown byte by byte, so what was sent stays readable.
    if (length == 0) length = 1;
    for (std::size_t k = 0; k < length; ++k) {
      piece[written++] = '\\';
      piece[written++] = 'x';
      piece[written++] = kHex[bytes[k] >> 4];
      piece[written++] = kHex[bytes[k] & 0x0F];
    }
  }
  at += length;
  return written;
}

std::string shown_text(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  char piece[kShownPieceBytes];
  for (std::size_t at = 0; at < text.size();) shown.append(piece, show_next(text, at, piece));
  return shown;
}

std::size_t show_into(std::string_view text, char* out, std::size_t capacity) {
  std::size_t length = 0;
  char piece[kShownPieceBytes];
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t count = show_next(text, at, piece);
    if (count >= capacity - length) break;
    for (std::size_t k = 0; k < count; ++k) out[length++] = piece[k];
  }
  out[length] = 0;
  return length;
}

}  // namespace orv
