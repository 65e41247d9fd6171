// Addresses as values: an IP address with its family, a peer's address and port with its text
// formatted once, and address prefixes with their matching. Pure: no sockets, no system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orv {

enum class Family : std::uint8_t { kNone, kIpv4, kIpv6 };

// An IPv4 address is held in bytes[0..3], in network order. An IPv4-mapped IPv6 address
// (::ffff:a.b.c.d, how a dual-stack listener sees an IPv4 peer) is held as the IPv4 address, so
// one host has one value whichever stack it came over.
struct IpAddress {
  Family family = Family::kNone;
  std::uint8_t bytes[16] = {};
};
bool operator==(const IpAddress& left, const IpAddress& right);

IpAddress ipv4_address(const std::uint8_t (&bytes)[4]);
IpAddress ipv6_address(const std::uint8_t (&bytes)[16]);  // a mapped one becomes IPv4
constexpr IpAddress kIpv6Loopback{Family::kIpv6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
constexpr IpAddress kIpv6Any{Family::kIpv6, {}};

// Dotted IPv4 ("192.0.2.1"; four parts of one to three digits, each 0 to 255) or IPv6 text
// ("2001:db8::1", "::ffff:192.0.2.1"; no zone, no brackets). False for anything else.
bool parse_address(std::string_view text, IpAddress& address);

// The address alone: dotted IPv4, or IPv6 in its shortest form (lower case, leading zeros
// dropped, the longest run of two or more zero groups as "::"). "" for none.
constexpr std::size_t kHostTextBytes = 40;  // eight groups of four, seven colons, the NUL
std::size_t format_address(const IpAddress& address, char (&text)[kHostTextBytes]);

// A peer of a connection: its address, its port, and "address:port" formatted once at accept
// ("192.0.2.1:5000", "[2001:db8::1]:5000"), or "unknow address" when it has none.
constexpr std::size_t kPeerTextBytes = kHostTextBytes + 8;  // brackets, ":65535"
struct PeerAddress {
  IpAddress address;
  std::uint16_t port = 0;
  char text[kPeerTextBytes] = {};
};
PeerAddress make_peer(const IpAddress& address, int port);
// The address alone, as a view into text: where an address stands without its port.
std::string_view peer_host(const PeerAddress& peer);

// "10.0.0.0/8", "2001:db8::/32", or a bare address (all its bits). A prefix within
// ::ffff:0:0/96 is held as the IPv4 prefix it covers, as addresses are.
struct AddressPrefix {
  IpAddress address;  // bits beyond length are zero
  int length = 0;
};
// False for a malformed address or length, and for bits set beyond the length (a typing error
// such as 192.168.1.10/24 must not quietly let in the whole network).
bool parse_prefix(std::string_view text, AddressPrefix& prefix);
// An IPv4 prefix holds only IPv4 addresses; an IPv6 prefix holds an IPv4 address when it holds
// that address's mapped form (::/0 holds every address).
bool prefix_contains(const AddressPrefix& prefix, const IpAddress& address);

}  // namespace orv
