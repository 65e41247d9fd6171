// The device handshake: a greeting line and an identification line, then the hand-over.
#include <cstdio>
#include <cstring>

#include "diag/log.h"
#include "relay/relay.h"

namespace orv {
namespace {

constexpr std::size_t kGreetingBytes = sizeof(kGreetingLine) - 1;
constexpr std::size_t kPrefixBytes = sizeof(kIdentificationPrefix) - 1;

// Offset of the first LF in the first length bytes, or -1.
long find_lf(const unsigned char* bytes, std::size_t length) {
  const void* found = std::memchr(bytes, '\n', length);
  return found == nullptr ? -1 : static_cast<const unsigned char*>(found) - bytes;
}

// Offset of the first quote directly followed by LF, or -1.
long find_closing_quote(const unsigned char* bytes, std::size_t length) {
  for (std::size_t i = 0; i + 1 < length; ++i) {
    if (bytes[i] == '\'' && bytes[i + 1] == '\n') return static_cast<long>(i);
  }
  return -1;
}

}  // namespace

void open_slot(PendingSlot& slot, Socket socket, const char* peer_address) {
  std::snprintf(slot.peer_address, sizeof(slot.peer_address), "%s", peer_address);
  slot.received_length = 0;
  slot.socket = socket;
  slot.greeting_seen = false;
  slot.accepted_at = clock_seconds();
}

bool identify_pending(RelayState& state, PendingSlot& slot) {
  unsigned char read[kIdentifyReadBytes + 1];
  const long got = net_recv(slot.socket, read, kIdentifyReadBytes);
  if (got <= 0) return false;
  const std::size_t raw = static_cast<std::size_t>(got);
  read[raw] = 0;
  // Bytes after a NUL are dropped from the handshake (but may still be payload, below).
  const std::size_t appended = std::strlen(reinterpret_cast<const char*>(read));
  // On entry fewer than kUnterminatedLimit bytes wait, so one read always fits.
  std::memcpy(slot.received + slot.received_length, read, appended);
  slot.received_length += appended;

  long lf = find_lf(slot.received, slot.received_length);
  if (lf < 0) return slot.received_length < kUnterminatedLimit;
  if (!slot.greeting_seen) {
    if (static_cast<std::size_t>(lf) + 1 != kGreetingBytes ||
        std::memcmp(slot.received, kGreetingLine, kGreetingBytes) != 0) {
      return false;
    }
    slot.received_length -= kGreetingBytes;
    std::memmove(slot.received, slot.received + kGreetingBytes, slot.received_length);
    slot.greeting_seen = true;
    lf = find_lf(slot.received, slot.received_length);
    if (lf < 0) return slot.received_length < kUnterminatedLimit;
  }
  if (slot.received_length < kPrefixBytes ||
      std::memcmp(slot.received, kIdentificationPrefix, kPrefixBytes) != 0) {
    return false;
  }
  const long quote = find_closing_quote(slot.received, slot.received_length);
  if (quote < 0) return false;
  const char* identifier = reinterpret_cast<const char*>(slot.received) + kPrefixBytes;
  // A quote at offset 3 is the prefix's own: the identifier then runs to the end and starts
  // with an LF, so it names no mapping.
  const std::size_t length = static_cast<std::size_t>(quote) < kPrefixBytes
                                 ? slot.received_length - kPrefixBytes
                                 : static_cast<std::size_t>(quote) - kPrefixBytes;
  Mapping* mapping = find_mapping(state, identifier, length);
  if (mapping == nullptr) {
    log_message(1, "%05d: Connection with invalid identifier '%s' from %s", slot.socket,
                escape_identifier(identifier, length).c_str(), slot.peer_address);
    return false;
  }
  // No LF waited before this read, so what follows the quote and LF is the tail of this read:
  // hand it over as received, NUL bytes included.
  const std::size_t rest = slot.received_length - (static_cast<std::size_t>(quote) + 2);
  const std::size_t start = appended - rest;
  place_device(*mapping, slot.socket, read + start, raw - start);
  slot.socket = kNoSocket;
  return false;
}

void close_slot(PendingSlot& slot) { net_close_connection(slot.socket); }

std::string escape_identifier(const char* identifier, std::size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(identifier[i]);
    if (byte == '\\') {
      text += "\\\\";
    } else if (byte < 0x20 || byte == 0x7F) {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0x0F];
    } else {
      text += static_cast<char>(byte);
    }
  }
  return text;
}

}  // namespace orv
