// The relay's state and its operations: mappings and their pairs, the identification queue,
// sockets closing after a pair ended, start and stop, and the one pass of the event loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "net/net.h"
#include "net/poller.h"

namespace orv {

constexpr int kPairsPerMapping = 20;
constexpr std::size_t kChannelBytes = 4000;
constexpr int kPendingSlots = 20;
constexpr std::uint32_t kPendingAgeLimit = 50;  // seconds; a greater age may be evicted
constexpr int kCycleWaitMs = 500;
constexpr int kCarriedPassesMax = 4;
constexpr std::int64_t kLingerMs = 30000;  // a closing socket waits this long for its peer
constexpr std::int64_t kAcceptBackoffFirstMs = 100;  // a listener out of descriptors rests,
constexpr std::int64_t kAcceptBackoffMaxMs = 1000;   // doubling up to this while it keeps failing
constexpr std::int64_t kAcceptErrorLogMs = 1000;     // at most one accept-error line per this
constexpr std::int64_t kWaitBackoffFirstMs = 100;    // a failed wait rests the pass,
constexpr std::int64_t kWaitBackoffMaxMs = 1000;     // doubling up to this while waits keep failing
constexpr std::int64_t kPollerErrorLogMs = 1000;     // at most one line per this and failure kind

// The handshake a device sends on the active-mode port.
constexpr char kGreetingLine[] = "tcp-active-mode:1\n";  // 18 bytes
constexpr char kIdentificationPrefix[] = "id:'";
constexpr std::size_t kIdentifyReadBytes = 399;  // one receive of identify_pending
constexpr std::size_t kUnterminatedLimit = 200;  // this many bytes without LF end the handshake
// What may wait in a slot: fewer than kUnterminatedLimit bytes, plus one full read.
constexpr std::size_t kPendingBytes = kUnterminatedLimit + kIdentifyReadBytes + 1;

// The two sides of a pair.
enum class Side : std::uint8_t { kClient, kDevice };
inline Side other_side(Side side) { return side == Side::kClient ? Side::kDevice : Side::kClient; }
inline const char* side_text(Side side) { return side == Side::kClient ? "client" : "device"; }

// How a side of a pair ended, for the session log.
enum class EndHow : std::uint8_t { kNone, kEndOfStream, kError, kRelayStop, kReload };

// One side of a pair: the socket it reads from and the bytes read but not yet sent on.
struct Channel {
  Socket socket = kNoSocket;
  std::uint32_t fill = 0;  // buffered bytes, always from buffer[0]
  // The peer ended its stream or failed: not read again. With a partner the socket is kept, so
  // that what this side sent earlier can still be delivered.
  bool ended = false;
  // Nothing can be sent to this side any more (a send or receive on it failed); bytes meant for
  // it are dropped.
  bool broken = false;
  // A send would not block (last send took everything, or the wait said so).
  bool writable = false;
  std::uint8_t watched = kUnwatched;  // WatchFlags in force in the poller
  std::uint64_t placed_pass = 0;      // the pass that put the socket here: not served in it
  unsigned char* buffer = nullptr;    // kChannelBytes, owned by the mapping, touched only in use
  // Cold: for the log and the status page.
  std::uint64_t delivered = 0;  // bytes from this side handed to the other side's socket
  PeerAddress peer;
  std::int64_t arrived_at = 0;  // seconds since 1970, when the socket was placed here
};

inline bool channel_holds_data(const Channel& channel) { return channel.fill > 0; }
inline bool channel_has_room(const Channel& channel) { return channel.fill < kChannelBytes; }
inline void channel_empty(Channel& channel) { channel.fill = 0; }

// A client joined with a device. free: both sockets none; waiting client: client only;
// waiting device: device only; relaying: both.
struct RelayPair {
  Channel client;  // bytes from the client, for the device
  Channel device;  // bytes from the device, for the client
  // Issued when the client took this pair while it was free; smaller = waited longer.
  std::int64_t client_ticket = 0;
  std::int64_t joined_at = 0;        // seconds since 1970, when both sides were there
  std::int64_t client_since_ms = 0;  // clock_milliseconds() when a client took it while free
  // The side that ended first, and how; for the session log.
  Side first_ender = Side::kClient;
  EndHow first_end = EndHow::kNone;
};

inline Channel& side_of(RelayPair& pair, Side side) {
  return side == Side::kClient ? pair.client : pair.device;
}
inline const Channel& side_of(const RelayPair& pair, Side side) {
  return side == Side::kClient ? pair.client : pair.device;
}

// Counted since start, as the events happen.
struct MappingCounters {
  std::uint64_t devices_identified = 0;
  std::uint64_t clients_accepted = 0;
  std::uint64_t clients_turned_away = 0;
  std::uint64_t devices_turned_away = 0;
  std::uint64_t clients_not_allowed = 0;  // closed at accept: their address is not allowed
  std::uint64_t pairs_ended = 0;
  std::uint64_t bytes_to_device = 0;
  std::uint64_t bytes_to_client = 0;
  std::int64_t last_device_seen_at = 0;  // seconds since 1970 a device last identified or left;
                                         // 0: never
  std::int64_t last_pair_end_at = 0;     // seconds since 1970 a pair last ended; 0: never
};

// A listener's place in the wait, and its rest after accept ran out of descriptors or buffers:
// out of the wait until resume_ms, the rest doubling while it keeps failing.
struct ListenerWatch {
  std::uint8_t watched = kUnwatched;
  bool resting = false;
  std::int64_t resume_ms = 0;
  std::int64_t backoff_ms = 0;
  std::int64_t logged_ms = -kAcceptErrorLogMs;  // last accept-error line while resting
};

// A mapping slot: live while its mapping is configured. Its index names it in the pass's tags, on
// the status page and in its pairs for as long as it lives; a free slot may be reused.
struct Mapping {
  bool live = false;
  std::string identifier;
  int port = 0;
  Socket listener = kNoSocket;
  RelayPair pairs[kPairsPerMapping];
  MappingCounters counters;
  ListenerWatch listener_watch;
  // 2 * kPairsPerMapping channel buffers, allocated once and left untouched until used, so an
  // idle mapping costs no resident memory.
  std::unique_ptr<unsigned char[]> buffers;
};

// Why a handshake was refused; an identifier that names no mapping is counted apart.
enum class Refusal : std::uint8_t {
  kBadGreeting,
  kNoPrefix,
  kNoClosingQuote,
  kOverlongLine,
  kEndedEarly,
  kNotAllowedAs,  // the identifier may not be used from the device's address
  kCount,
};
const char* refusal_text(Refusal reason);  // "bad greeting", ...

// A device connection waiting for its handshake to end. Free when socket is kNoSocket.
struct PendingSlot {
  PeerAddress peer;
  unsigned char received[kPendingBytes];  // handshake bytes not yet consumed
  std::size_t received_length = 0;
  Socket socket = kNoSocket;
  bool greeting_seen = false;
  std::int64_t accepted_at = 0;     // seconds since 1970
  std::int64_t accepted_at_ms = 0;  // clock_milliseconds()
  // When the handshake timeout in force at its accept closes it (clock_milliseconds()); 0: never.
  std::int64_t handshake_deadline_ms = 0;
  std::uint64_t placed_pass = 0;
  Refusal refusal = Refusal::kEndedEarly;  // set when identify_pending refuses
};

// A socket of an ended pair: its sending side is shut down, and what it still receives is read
// and discarded until its peer ends too or kLingerMs pass, so the peer never sees a reset that
// would destroy bytes it has not read yet.
struct ClosingSocket {
  Socket socket = kNoSocket;
  std::int64_t deadline_ms = 0;
};

struct RelayCounters {
  std::uint64_t refused[static_cast<int>(Refusal::kCount)] = {};
  std::uint64_t unknown_identifiers = 0;
  std::uint64_t evictions = 0;  // queue-full evictions and handshake timeouts
  std::uint64_t accept_errors = 0;
  // Device connections closed at accept: their address is not allowed, or already has
  // handshakes-per-address connections waiting for their handshake.
  std::uint64_t devices_not_allowed = 0;
  std::uint64_t devices_over_address_limit = 0;
  // Sockets the poller refused to watch: new connections turned away, and sockets ended or
  // closed early because what they are watched for could not be changed.
  std::uint64_t watch_refusals = 0;
  std::int64_t started_at = 0;      // seconds since 1970
  std::uint64_t reloads = 0;        // configuration reloads applied
  std::int64_t last_reload_at = 0;  // seconds since 1970 of the last one; 0: never
};

// Another service served by the same pass (the status listener). Its sockets carry tags from
// kHookTagBase on; the pass hands their events to serve() after the relay's own work, then
// calls after_pass() once.
struct PassHook {
  void* context = nullptr;
  void (*serve)(void* context, const PollEvent& event) = nullptr;
  void (*after_pass)(void* context) = nullptr;
};
constexpr std::uint32_t kHookTagBase = 0xF0000000u;
constexpr std::size_t kHookSocketsMax = 64;  // the hook's sockets in the poller at once

// The last failures of the poller, so that a failure that repeats is logged once a second.
struct PollerTrouble {
  std::int64_t wait_backoff_ms = 0;  // the rest after the last failed wait; 0 after a good one
  std::int64_t wait_logged_ms = -kPollerErrorLogMs;
  std::int64_t watch_logged_ms = -kPollerErrorLogMs;
};

struct RelayState {
  Config config;            // as read at start or the last reload; the mappings follow it
  std::string config_path;  // the file it was read from
  int active_mode_port = kDefaultActiveModePort;
  Socket active_mode_listener = kNoSocket;
  ListenerWatch active_mode_watch;
  int listeners_resting = 0;  // mapping listeners out of the wait after running out
  // Mapping slots, live ones in configuration order at start. Resized only between passes.
  std::vector<Mapping> mappings;
  std::vector<PendingSlot> queue;           // the identification queue, kPendingSlots once started
  std::vector<ClosingSocket> closing;       // bounded; its capacity is fixed at start
  std::vector<std::uint32_t> closing_free;  // indices of free entries of closing
  std::int64_t closing_scan_ms = 0;         // when expiry looks at the list next
  std::int64_t waiting_scan_ms = 0;         // when client-wait-timeout looks at the pairs next
  std::int64_t ticket_counter = 0;          // last client ticket issued; 64 bits, so it never wraps
  std::uint64_t pass = 0;                   // passes so far
  // Sockets whose last read filled their channel, served again by the next pass without a wait
  // (at most kCarriedPassesMax passes in a row); both are reserved at start.
  std::vector<PollEvent> carry, carried;
  int carried_passes = 0;
  RelayCounters counters;
  PassHook hook;
  PollerPtr poller;
  int (*wait)(Poller& poller, int timeout_ms) = poller_wait;  // tests make it fail
  PollerTrouble poller_trouble;
};

// ---- mappings and pairs ----------------------------------------------------------------

// A live mapping with no listener, all pairs free, and its channel buffers.
Mapping make_mapping(const std::string& identifier, int port);
// The live mapping equal to the identifier (same length, same bytes), or nullptr.
Mapping* find_mapping(RelayState& state, const char* identifier, std::size_t length);

// A TCP listener on listen-address (every IPv4 address when not set) with the system's largest
// backlog, or kNoSocket after logging why.
Socket open_listener(const RelayState& state, int port);
// Closes the listener (no shutdown) and every pair socket; all pairs are free afterwards. Joined
// pairs end as `how` says: at once for the relay stop, with the lingering close for a reload.
void close_mapping(RelayState& state, Mapping& mapping, EndHow how = EndHow::kRelayStop);

// Both take the socket over in every case: it ends up in a pair or is closed.
// A client joins the waiting device of the lowest pair (both channels emptied), else takes the
// lowest free pair with the next ticket, else is closed.
void place_client(RelayState& state, Mapping& mapping, Socket client, const PeerAddress& peer);
// A device joins the waiting client with the smallest ticket (its bytes are kept), else waits in
// the lowest pair without a device, else is closed. first_bytes are what the device sent after
// its identification line in the same read; they go into the device channel.
void place_device(RelayState& state, Mapping& mapping, Socket device, const PeerAddress& peer,
                  const unsigned char* first_bytes = nullptr, std::size_t count = 0);

// ---- identification --------------------------------------------------------------------

void open_slot(PendingSlot& slot, Socket socket, const PeerAddress& peer);
// One receive and the handshake so far. True: still pending. False: over; either the socket was
// handed to a mapping (slot.socket is then kNoSocket) or it is to be closed with close_slot.
bool identify_pending(RelayState& state, PendingSlot& slot);
void close_slot(RelayState& state, PendingSlot& slot);

// ---- start, stop, and the pass -----------------------------------------------------------

// Reads the configuration and opens the listeners. False when the configuration cannot be
// opened or the active-mode listener cannot open.
bool orv_start(RelayState& state, const std::string& config_path);
// Closes every listener, pair socket and closing socket; pending connections are left alone.
void relay_stop(RelayState& state);
// A socket the poller refused (net_last_error() says why): counted, and logged at most once a
// second. The caller closes the socket or keeps it out of use; it never stays unwatched.
void watch_refused(RelayState& state);
// One pass: wait at most 0.5 s, accept, identify, relay, serve closing sockets.
void relay_cycle(RelayState& state);

// ---- reload ------------------------------------------------------------------------------

struct ReloadCounts {
  int added = 0, removed = 0, changed = 0, kept = 0;
};
// Applies a configuration read again, between two passes. A mapping whose identifier and port
// stay keeps its listener, pairs and counters untouched; a removed one ends its pairs with the
// lingering close and frees its slot; a changed port gets a new listener while its pairs go on;
// a new one takes a free slot. A changed active-mode port reopens that listener (the old one
// stays when the new one cannot open); pending connections stay. The other directives apply
// from here on.
ReloadCounts relay_reload(RelayState& state, Config config);

}  // namespace orv
