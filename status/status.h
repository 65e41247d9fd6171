// The status listener: a small HTTP/1.1 server in the relay's own pass that answers GET /metrics
// (Prometheus text), GET /status.json and GET / (plain text, or a page for browsers) from a
// read-only view of the relay's state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "diag/version.h"
#include "net/net.h"
#include "relay/relay.h"

namespace orv {

constexpr int kStatusConnections = 8;                // open at once; more wait in the backlog
constexpr std::size_t kStatusRequestBytes = 4096;    // request line and headers
constexpr std::int64_t kStatusConnectionMs = 10000;  // a connection's whole life
constexpr std::int64_t kStatusRequestMs = 2000;      // its request must have arrived by then
constexpr int kStatusConnectionsPerAddress = 4;      // from one address at once
constexpr std::int64_t kStatusAcceptRestMs = 1000;   // the listener rests after a failed accept

// ---- requests ----------------------------------------------------------------------------

enum class StatusRequest : std::uint8_t {
  kIncomplete,   // no blank line yet, and room for more
  kMetrics,      // GET or HEAD of /metrics
  kJson,         // GET or HEAD of /status.json
  kPage,         // GET or HEAD of /
  kBrowserPage,  // the same from a browser: its Accept header names text/html
  kNotFound,     // any other method or path
  kBadRequest,   // not an HTTP/1.x request line
  kTooLarge,     // kStatusRequestBytes without the blank line that ends the headers
};
struct ParsedRequest {
  StatusRequest kind = StatusRequest::kIncomplete;
  bool head = false;  // HEAD: the answer's headers only
};
// Classifies what a connection has received so far. A query string is ignored; headers and
// anything after them are not looked at.
ParsedRequest parse_status_request(const char* bytes, std::size_t length);

// ---- the server --------------------------------------------------------------------------

enum class StatusPhase : std::uint8_t {
  kFree,
  kReading,    // the request is arriving
  kAnswering,  // the answer is going out
  kDraining,   // answer sent and our end of stream with it; what the peer still sends is
               // read and dropped until it closes, so closing never resets the answer away
};

struct StatusConnection {
  Socket socket = kNoSocket;
  std::uint8_t watched = kUnwatched;
  StatusPhase phase = StatusPhase::kFree;
  std::int64_t opened_ms = 0;  // clock_milliseconds() at accept
  IpAddress peer;
  std::uint64_t accept_number = 0;  // orders connections accepted within one millisecond
  std::size_t received = 0;         // request bytes in request
  std::size_t answer_at = 0;        // the answer still to send: answer[answer_at, answer_end)
  std::size_t answer_end = 0;
  // Allocated once at start and untouched until used: an idle server costs no resident memory.
  std::unique_ptr<char[]> request;  // kStatusRequestBytes
  std::unique_ptr<char[]> answer;   // StatusServer::answer_capacity
};

static_assert(kStatusConnections + 1 <= kHookSocketsMax,
              "the server's sockets fit the hook's room");

struct StatusServer {
  RelayState* state = nullptr;
  Socket listener = kNoSocket;
  std::uint8_t listener_watched = kUnwatched;
  std::string address;  // where the listener is: the status-port it was opened for
  int port = 0;
  std::int64_t resume_ms = 0;  // the listener rests until then after a failed accept
  int open = 0;                // connections not free
  std::uint64_t accepts = 0;   // connections accepted so far
  std::size_t answer_capacity = 0;
  StatusConnection connections[kStatusConnections];
};

// Opens the listener on the configured address and port and hooks the server into the pass.
// False, logged, when the listener cannot open; the relay then goes on without it. Call after
// orv_start: the buffers are sized for the mappings.
bool status_start(StatusServer& server, RelayState& state);
// Closes every status connection and the listener, and unhooks the server. Call before
// relay_stop; nothing when the server did not start.
void status_stop(StatusServer& server, RelayState& state);
// After a reload: opens, moves or closes the listener as status-port now says, and sizes the
// answers for the mappings now configured. Connections in flight stay: an answer being sent
// shows the state before the reload and goes out whole, a request still arriving is answered
// from the state after it.
void status_reload(StatusServer& server, RelayState& state);

// ---- rendering ---------------------------------------------------------------------------

// Appends to a fixed buffer; what does not fit sets overflow and is left out.
struct StatusText {
  char* data;
  std::size_t capacity;
  std::size_t length = 0;
  bool overflow = false;

  void add(std::string_view text);
  void add_number(std::uint64_t value);
  void add_signed(std::int64_t value);
};

// The page for browsers, a constant built into the program: it reads /status.json.
extern const std::string_view kStatusPage;

// Bytes enough for any body, with the relay's configured mappings and every pair joined.
std::size_t status_body_capacity(const RelayState& state);
// The bodies of /metrics, /status.json and /. Each returns its length, or 0 when it did not fit.
std::size_t render_metrics(const RelayState& state, char* out, std::size_t capacity);
std::size_t render_json(const RelayState& state, std::int64_t now_seconds, char* out,
                        std::size_t capacity);
std::size_t render_page(const RelayState& state, std::int64_t now_seconds, char* out,
                        std::size_t capacity);

}  // namespace orv
