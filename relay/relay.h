// The relay's state and its operations: mappings and their pairs, the identification queue,
// start and stop, and the one pass of the event loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "net/net.h"

namespace orv {

constexpr int kPairsPerMapping = 20;
constexpr std::size_t kChannelBytes = 4000;
constexpr int kPendingSlots = 20;
constexpr std::uint32_t kPendingAgeLimit = 50;  // seconds; a greater age may be evicted
constexpr int kListenBacklog = 15;
constexpr int kCycleWaitMs = 500;

// The handshake a device sends on the active-mode port.
constexpr char kGreetingLine[] = "tcp-active-mode:1\n";  // 18 bytes
constexpr char kIdentificationPrefix[] = "id:'";
constexpr std::size_t kIdentifyReadBytes = 399;  // one receive of identify_pending
constexpr std::size_t kUnterminatedLimit = 200;  // this many bytes without LF end the handshake
// What may wait in a slot: fewer than kUnterminatedLimit bytes, plus one full read.
constexpr std::size_t kPendingBytes = kUnterminatedLimit + kIdentifyReadBytes + 1;

// One side of a pair: the socket it reads from and the bytes read but not yet sent on.
struct Channel {
  Socket socket = kNoSocket;
  std::size_t fill = 0;  // buffered bytes, always from buffer[0]
  // The peer ended its stream (or its receive failed) while the pair was joined. The socket is
  // kept, but not read again, so that what it sent earlier can still be delivered.
  bool ended = false;
  unsigned char buffer[kChannelBytes];
};

inline bool channel_holds_data(const Channel& channel) { return channel.fill > 0; }
inline bool channel_has_room(const Channel& channel) { return channel.fill < kChannelBytes; }
inline void channel_empty(Channel& channel) { channel.fill = 0; }
// Shuts down and closes the channel's socket where set, clears `ended`; the buffer stays.
void channel_close(Channel& channel);

// A client joined with a device. free: both sockets none; waiting client: client only;
// waiting device: device only; relaying: both.
struct RelayPair {
  Channel client;  // bytes from the client, for the device
  Channel device;  // bytes from the device, for the client
  // Issued when the client took this pair while it was free; smaller = waited longer.
  std::int64_t client_ticket = 0;
};

struct Mapping {
  std::string identifier;
  int port = 0;
  Socket listener = kNoSocket;
  RelayPair pairs[kPairsPerMapping];
};

// A device connection waiting for its handshake to end. Free when socket is kNoSocket.
struct PendingSlot {
  char peer_address[kAddressTextBytes] = {};  // dotted text, or "unknow address"
  unsigned char received[kPendingBytes];      // handshake bytes not yet consumed
  std::size_t received_length = 0;
  Socket socket = kNoSocket;
  bool greeting_seen = false;
  std::int64_t accepted_at = 0;  // seconds since 1970
};

struct RelayState {
  Config config;  // as read at start; the mappings below are built from it
  int active_mode_port = kDefaultActiveModePort;
  Socket active_mode_listener = kNoSocket;
  std::vector<Mapping> mappings;  // configuration order; never resized once read
  std::vector<PendingSlot> queue;  // the identification queue, kPendingSlots once started
  std::int64_t ticket_counter = 0;  // last client ticket issued; 64 bits, so it never wraps
  // The pass's readiness sets, kept here so a pass allocates nothing.
  SocketSetPtr read_set = socket_set_create();
  SocketSetPtr write_set = socket_set_create();
};

// ---- mappings and pairs ----------------------------------------------------------------

// A mapping with no listener and all pairs free.
Mapping make_mapping(const std::string& identifier, int port);
// Same length, same bytes.
bool mapping_equals(const Mapping& mapping, const std::string& identifier);
// The first mapping equal to the identifier, in configuration order, or nullptr.
Mapping* find_mapping(RelayState& state, const char* identifier, std::size_t length);

// A TCP listener on every interface (backlog 15), or kNoSocket; the error is net_last_error().
Socket open_listener(int port);
// Closes the listener (no shutdown) and every pair socket; all pairs are free afterwards.
void close_mapping(Mapping& mapping);

// Both take the socket over in every case: it ends up in a pair or is closed.
// A client joins the waiting device of the lowest pair (both channels emptied), else takes the
// lowest free pair with the next ticket, else is closed.
void place_client(Mapping& mapping, Socket client, std::int64_t& ticket_counter);
// A device joins the waiting client with the smallest ticket (its bytes are kept), else waits in
// the lowest pair without a device, else is closed. first_bytes are what the device sent after
// its identification line in the same read; they go into the device channel.
void place_device(Mapping& mapping, Socket device, const unsigned char* first_bytes = nullptr,
                  std::size_t count = 0);

// One receive into the channel's free space; call only when it has room and is readable.
// At end of stream or on an error other than retry: with the peer present the channel is marked
// ended (socket kept), otherwise its socket is closed.
void channel_receive(Channel& channel, bool peer_present);
// One send of every buffered byte to the peer; call only when it holds data and the peer is
// writable. The bytes sent leave the front of the buffer. On a failure other than retry the
// channel's own socket is closed.
void channel_send(Channel& channel, Socket peer);

// ---- identification --------------------------------------------------------------------

void open_slot(PendingSlot& slot, Socket socket, const char* peer_address);
// One receive and the handshake so far. True: still pending. False: over; either the socket was
// handed to a mapping (slot.socket is then kNoSocket) or it is to be closed with close_slot.
bool identify_pending(RelayState& state, PendingSlot& slot);
void close_slot(PendingSlot& slot);
// The identifier as it may be logged: bytes below 0x20, 0x7F and the backslash escaped.
std::string escape_identifier(const char* identifier, std::size_t length);

// ---- start, stop, and the pass -----------------------------------------------------------

// Reads the configuration and opens the listeners. False when the configuration cannot be
// opened or the active-mode listener cannot open.
bool orv_start(RelayState& state, const std::string& config_path);
// Closes every listener and pair socket; pending connections are left alone.
void relay_stop(RelayState& state);
// One pass: build the sets, wait at most 0.5 s, accept, identify, relay.
void relay_cycle(RelayState& state);

}  // namespace orv
