// The device handshake: a greeting line and an identification line, then the hand-over.
#include <cstring>

#include "diag/log.h"
#include "diag/peer_log.h"
#include "relay/pass.h"

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

// Counts the refusal and, with the session log, says why.
bool refuse(RelayState& state, PendingSlot& slot, Refusal reason) {
  ++state.counters.refused[static_cast<int>(reason)];
  if (session_log(state)) {
    log_peer(PeerLine::kHandshakeRefused, kSeverityNotice, "Handshake from %s refused: %s",
             slot.peer.text, refusal_text(reason));
  }
  return false;
}

}  // namespace

const char* refusal_text(Refusal reason) {
  switch (reason) {
    case Refusal::kBadGreeting:
      return "bad greeting";
    case Refusal::kNoPrefix:
      return "no identification prefix";
    case Refusal::kNoClosingQuote:
      return "no closing quote";
    case Refusal::kOverlongLine:
      return "over-long line";
    case Refusal::kNotAllowedAs:
      return "identifier not allowed from this address";
    case Refusal::kEndedEarly:
    case Refusal::kCount:
      break;
  }
  return "ended early";
}

void open_slot(PendingSlot& slot, Socket socket, const PeerAddress& peer) {
  slot.peer = peer;
  slot.received_length = 0;
  slot.socket = socket;
  slot.greeting_seen = false;
  slot.accepted_at = clock_seconds();
  slot.accepted_at_ms = clock_milliseconds();
}

bool identify_pending(RelayState& state, PendingSlot& slot) {
  unsigned char read[kIdentifyReadBytes + 1];
  const long got = net_recv(slot.socket, read, kIdentifyReadBytes);
  if (got < 0 && net_error_is_retry(net_last_error())) return true;  // nothing there after all
  if (got <= 0) return refuse(state, slot, Refusal::kEndedEarly);
  const std::size_t raw = static_cast<std::size_t>(got);
  read[raw] = 0;
  // Bytes after a NUL are dropped from the handshake (but may still be payload, below).
  const std::size_t appended = std::strlen(reinterpret_cast<const char*>(read));
  // On entry fewer than kUnterminatedLimit bytes wait, so one read always fits.
  std::memcpy(slot.received + slot.received_length, read, appended);
  slot.received_length += appended;

  long lf = find_lf(slot.received, slot.received_length);
  if (lf < 0) {
    return slot.received_length < kUnterminatedLimit || refuse(state, slot, Refusal::kOverlongLine);
  }
  if (!slot.greeting_seen) {
    if (static_cast<std::size_t>(lf) + 1 != kGreetingBytes ||
        std::memcmp(slot.received, kGreetingLine, kGreetingBytes) != 0) {
      return refuse(state, slot, Refusal::kBadGreeting);
    }
    slot.received_length -= kGreetingBytes;
    std::memmove(slot.received, slot.received + kGreetingBytes, slot.received_length);
    slot.greeting_seen = true;
    lf = find_lf(slot.received, slot.received_length);
    if (lf < 0) {
      return slot.received_length < kUnterminatedLimit ||
             refuse(state, slot, Refusal::kOverlongLine);
    }
  }
  if (slot.received_length < kPrefixBytes ||
      std::memcmp(slot.received, kIdentificationPrefix, kPrefixBytes) != 0) {
    return refuse(state, slot, Refusal::kNoPrefix);
  }
  const long quote = find_closing_quote(slot.received, slot.received_length);
  if (quote < 0) return refuse(state, slot, Refusal::kNoClosingQuote);
  const char* identifier = reinterpret_cast<const char*>(slot.received) + kPrefixBytes;
  // A quote at offset 3 is the prefix's own: the identifier then runs to the end and starts
  // with an LF, so it names no mapping.
  const std::size_t length = static_cast<std::size_t>(quote) < kPrefixBytes
                                 ? slot.received_length - kPrefixBytes
                                 : static_cast<std::size_t>(quote) - kPrefixBytes;
  Mapping* mapping = find_mapping(state, identifier, length);
  if (mapping == nullptr) {
    ++state.counters.unknown_identifiers;
    const std::string_view host = peer_host(slot.peer);
    char shown[kPendingBytes * kShownBytesPerByte + 1];
    (void)show_into(std::string_view(identifier, length), shown, sizeof shown);  // it all fits
    log_peer(PeerLine::kInvalidIdentifier, kSeverityFailure,
             "%05d: Connection with invalid identifier '%s' from %.*s", slot.socket, shown,
             static_cast<int>(host.size()), host.data());
    return false;
  }
  // A device's name cannot be taken from elsewhere when its own list says where it may be.
  const AllowList* allowed = devices_allowed_as(state.config, mapping->identifier);
  if (allowed != nullptr && !allows(*allowed, slot.peer.address)) {
    return refuse(state, slot, Refusal::kNotAllowedAs);
  }
  // No LF waited before this read, so what follows the quote and LF is the tail of this read:
  // hand it over as received, NUL bytes included.
  const std::size_t rest = slot.received_length - (static_cast<std::size_t>(quote) + 2);
  const std::size_t start = appended - rest;
  const Socket device = slot.socket;
  forget_slot(state, slot);
  place_device(state, *mapping, device, slot.peer, read + start, raw - start);
  return false;
}

void forget_slot(RelayState& state, PendingSlot& slot) {
  if (slot.socket == kNoSocket) return;
  std::uint8_t watched = kWatchRead;
  poller_forget(*state.poller, slot.socket, watched);
  slot.socket = kNoSocket;
}

void close_slot(RelayState& state, PendingSlot& slot) {
  Socket socket = slot.socket;
  forget_slot(state, slot);
  net_close_connection(socket);
}

}  // namespace orv
