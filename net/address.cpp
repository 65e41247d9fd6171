// Address values: parsing and formatting IPv4 and IPv6 text, peers, prefixes.
#include "net/address.h"

#include <cstdio>
#include <cstring>

namespace orv {
namespace {

constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

std::size_t byte_count(Family family) {
  return family == Family::kIpv4 ? 4 : family == Family::kIpv6 ? 16 : 0;
}

int hex_value(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

// Plain decimal digits, at most max_digits of them, within [0, high].
bool decimal(std::string_view text, std::size_t max_digits, int high, int& value) {
  if (text.empty() || text.size() > max_digits) return false;
  value = 0;
  for (char digit : text) {
    if (digit < '0' || digit > '9') return false;
    value = value * 10 + (digit - '0');
  }
  return value <= high;
}

bool parse_ipv4(std::string_view text, std::uint8_t (&bytes)[4]) {
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = text.find('.');
    if ((dot == std::string_view::npos) != (part == 3)) return false;
    int value = 0;
    if (!decimal(text.substr(0, dot), 3, 255, value)) return false;
    bytes[part] = static_cast<std::uint8_t>(value);
    text.remove_prefix(dot == std::string_view::npos ? text.size() : dot + 1);
  }
  return true;
}

// Colon-separated groups of one to four hex digits into words[count..]; an empty text is no
// group. The last group may be dotted IPv4, which counts as two.
bool parse_groups(std::string_view text, std::uint16_t (&words)[8], int& count, bool ipv4_tail) {
  while (!text.empty()) {
    const std::size_t colon = text.find(':');
    const std::string_view group = text.substr(0, colon);
    if (colon == std::string_view::npos && ipv4_tail && group.find('.') != group.npos) {
      std::uint8_t v4[4];
      if (count > 6 || !parse_ipv4(group, v4)) return false;
      words[count++] = static_cast<std::uint16_t>(v4[0] << 8 | v4[1]);
      words[count++] = static_cast<std::uint16_t>(v4[2] << 8 | v4[3]);
      return true;
    }
    if (group.empty() || group.size() > 4 || count == 8) return false;
    int value = 0;
    for (char digit : group) {
      if (hex_value(digit) < 0) return false;
      value = value << 4 | hex_value(digit);
    }
    words[count++] = static_cast<std::uint16_t>(value);
    if (colon == std::string_view::npos) return true;
    text.remove_prefix(colon + 1);
    if (text.empty()) return false;  // a trailing single colon
  }
  return true;
}

bool parse_ipv6(std::string_view text, std::uint8_t (&bytes)[16]) {
  std::uint16_t head[8] = {}, tail[8] = {};
  int head_count = 0, tail_count = 0;
  const std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    if (!parse_groups(text, head, head_count, true) || head_count != 8) return false;
  } else {
    if (text.find("::", gap + 1) != std::string_view::npos) return false;
    if (!parse_groups(text.substr(0, gap), head, head_count, false) ||
        !parse_groups(text.substr(gap + 2), tail, tail_count, true) ||
        head_count + tail_count > 7) {
      return false;
    }
  }
  std::uint16_t words[8] = {};
  for (int i = 0; i < head_count; ++i) words[i] = head[i];
  for (int i = 0; i < tail_count; ++i) words[8 - tail_count + i] = tail[i];
  for (int i = 0; i < 8; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(words[i] & 0xFF);
  }
  return true;
}

// Whether the first length bits of both byte strings agree.
bool same_bits(const std::uint8_t* left, const std::uint8_t* right, int length) {
  const int whole = length / 8, rest = length % 8;
  if (std::memcmp(left, right, static_cast<std::size_t>(whole)) != 0) return false;
  if (rest == 0) return true;
  const std::uint8_t mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (left[whole] & mask) == (right[whole] & mask);
}

}  // namespace

bool operator==(const IpAddress& left, const IpAddress& right) {
  return left.family == right.family &&
         std::memcmp(left.bytes, right.bytes, byte_count(left.family)) == 0;
}

IpAddress ipv4_address(const std::uint8_t (&bytes)[4]) {
  IpAddress address{Family::kIpv4, {}};
  std::memcpy(address.bytes, bytes, 4);
  return address;
}

IpAddress ipv6_address(const std::uint8_t (&bytes)[16]) {
  if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    return ipv4_address({bytes[12], bytes[13], bytes[14], bytes[15]});
  }
  IpAddress address{Family::kIpv6, {}};
  std::memcpy(address.bytes, bytes, 16);
  return address;
}

bool parse_address(std::string_view text, IpAddress& address) {
  if (text.find(':') == std::string_view::npos) {
    std::uint8_t bytes[4];
    if (!parse_ipv4(text, bytes)) return false;
    address = ipv4_address(bytes);
    return true;
  }
  std::uint8_t bytes[16];
  if (!parse_ipv6(text, bytes)) return false;
  address = ipv6_address(bytes);
  return true;
}

std::size_t format_address(const IpAddress& address, char (&text)[kHostTextBytes]) {
  const std::uint8_t* b = address.bytes;
  int length = 0;
  text[0] = 0;
  if (address.family == Family::kIpv4) {
    length = std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  } else if (address.family == Family::kIpv6) {
    // The longest run of zero groups, the first of equal ones, if it spans two groups or more.
    int best_at = -1, best_length = 1;
    for (int i = 0; i < 8;) {
      int run = 0;
      while (i + run < 8 && b[2 * (i + run)] == 0 && b[2 * (i + run) + 1] == 0) ++run;
      if (run > best_length) best_at = i, best_length = run;
      i += run > 0 ? run : 1;
    }
    for (int i = 0; i < 8; ++i) {
      if (i == best_at) {
        length += std::snprintf(text + length, sizeof text - length, "::");
        i += best_length - 1;
        continue;
      }
      const char* separator = i == 0 || i == best_at + best_length ? "" : ":";
      length += std::snprintf(text + length, sizeof text - length, "%s%x", separator,
                              static_cast<unsigned>(b[2 * i] << 8 | b[2 * i + 1]));
    }
  }
  return length < 0 ? 0 : static_cast<std::size_t>(length);
}

PeerAddress make_peer(const IpAddress& address, int port) {
  PeerAddress peer;
  peer.address = address;
  peer.port = static_cast<std::uint16_t>(port);
  char host[kHostTextBytes];
  format_address(address, host);
  const char* shape = address.family == Family::kIpv6   ? "[%s]:%u"
                      : address.family == Family::kIpv4 ? "%s:%u"
                                                        : "unknow address";
  std::snprintf(peer.text, sizeof peer.text, shape, host, static_cast<unsigned>(peer.port));
  return peer;
}

std::string_view peer_host(const PeerAddress& peer) {
  const std::string_view text(peer.text);
  switch (peer.address.family) {
    case Family::kIpv6:
      return text.substr(1, text.find(']') - 1);
    case Family::kIpv4:
      return text.substr(0, text.rfind(':'));
    case Family::kNone:
      break;
  }
  return text;
}

bool parse_prefix(std::string_view text, AddressPrefix& prefix) {
  const std::size_t slash = text.find('/');
  const std::string_view address_text = text.substr(0, slash);
  AddressPrefix parsed;
  if (!parse_address(address_text, parsed.address)) return false;
  const bool written_ipv6 = address_text.find(':') != std::string_view::npos;
  const int most = written_ipv6 ? 128 : 32;
  parsed.length = most;
  if (slash != std::string_view::npos && !decimal(text.substr(slash + 1), 3, most, parsed.length)) {
    return false;
  }
  if (written_ipv6 && parsed.address.family == Family::kIpv4) {
    // Mapped: its ffff bits lie within the first 96, so a shorter length would leave them set.
    if (parsed.length < 96) return false;
    parsed.length -= 96;
  }
  const std::size_t bytes = byte_count(parsed.address.family);
  for (std::size_t bit = static_cast<std::size_t>(parsed.length); bit < 8 * bytes; ++bit) {
    if (parsed.address.bytes[bit / 8] & (0x80 >> (bit % 8))) return false;
  }
  prefix = parsed;
  return true;
}

bool prefix_contains(const AddressPrefix& prefix, const IpAddress& address) {
  if (prefix.address.family == address.family) {
    return same_bits(prefix.address.bytes, address.bytes, prefix.length);
  }
  if (prefix.address.family != Family::kIpv6 || address.family != Family::kIpv4) return false;
  std::uint8_t mapped[16];
  std::memcpy(mapped, kMappedPrefix, sizeof kMappedPrefix);
  std::memcpy(mapped + 12, address.bytes, 4);
  return same_bits(prefix.address.bytes, mapped, prefix.length);
}

}  // namespace orv
