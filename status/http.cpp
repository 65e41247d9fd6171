// The status listener's connections: a request in, one answer out, each step taken only when the
// pass's wait reported the socket ready, so no status client can hold the relay.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "diag/log.h"
#include "net/poller.h"
#include "status/status.h"

namespace orv {

namespace {

// Whether the header lines (up to the empty line) hold an Accept header that names text/html, as
// a browser's does; names and media types in any letter case.
bool accepts_html(std::string_view headers) {
  const auto folded_equal = [](std::string_view text, std::string_view lower) {
    return std::equal(text.begin(), text.end(), lower.begin(), lower.end(), [](char a, char b) {
      return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
  };
  while (!headers.empty() && headers[0] != '\n' && headers[0] != '\r') {
    const std::size_t end = std::min(headers.find('\n'), headers.size());
    const std::string_view line = headers.substr(0, end);
    headers.remove_prefix(std::min(end + 1, headers.size()));
    if (line.size() < 7 || !folded_equal(line.substr(0, 7), "accept:")) continue;
    for (std::size_t at = 7; at + 9 <= line.size(); ++at) {
      if (folded_equal(line.substr(at, 9), "text/html")) return true;
    }
  }
  return false;
}

}  // namespace

ParsedRequest parse_status_request(const char* bytes, std::size_t length) {
  ParsedRequest request;
  // The headers end at the first empty line: LF LF, or LF CR LF.
  bool complete = false;
  for (std::size_t i = 0; i + 1 < length && !complete; ++i) {
    complete =
        bytes[i] == '\n' &&
        (bytes[i + 1] == '\n' || (bytes[i + 1] == '\r' && i + 2 < length && bytes[i + 2] == '\n'));
  }
  if (!complete) {
    request.kind =
        length >= kStatusRequestBytes ? StatusRequest::kTooLarge : StatusRequest::kIncomplete;
    return request;
  }
  // Request line: METHOD SP TARGET SP HTTP/1.x, then CR LF or LF.
  std::string_view line(
      bytes,
      static_cast<std::size_t>(static_cast<const char*>(std::memchr(bytes, '\n', length)) - bytes));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t first = line.find(' ');
  const std::size_t second = first == line.npos ? line.npos : line.find(' ', first + 1);
  request.kind = StatusRequest::kBadRequest;
  if (second == line.npos || first == 0 || second == first + 1) return request;
  const std::string_view method = line.substr(0, first);
  std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." || version[7] < '0' ||
      version[7] > '9') {
    return request;
  }
  target = target.substr(0, target.find('?'));
  request.head = method == "HEAD";
  request.kind = StatusRequest::kNotFound;
  if (method == "GET" || request.head) {
    if (target == "/metrics") request.kind = StatusRequest::kMetrics;
    if (target == "/status.json") request.kind = StatusRequest::kJson;
    if (target == "/") {
      const std::string_view headers(line.data() + line.size(), length - line.size());
      request.kind = accepts_html(headers.substr(headers.find('\n') + 1))
                         ? StatusRequest::kBrowserPage
                         : StatusRequest::kPage;
    }
  }
  return request;
}

namespace {

constexpr std::uint32_t kTagListener = kHookTagBase;
constexpr std::uint32_t kTagFirstConnection = kHookTagBase + 1;
// Room kept in front of the body for the status line and the headers.
constexpr std::size_t kHeadBytes = 512;
constexpr char kPlainType[] = "text/plain; charset=utf-8";
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kJsonType[] = "application/json";
constexpr char kHtmlType[] = "text/html; charset=utf-8";
// The page is one document with its script and style inside; it reaches nothing but this server.
constexpr char kHtmlHeaders[] =
    "Cache-Control: no-store\r\nVary: Accept\r\nX-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src "
    "'unsafe-inline'; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'\r\n";

const char* reason_phrase(int code) {
  switch (code) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 431:
      return "Request Header Fields Too Large";
    default:
      return "Internal Server Error";
  }
}

void close_connection(StatusServer& server, StatusConnection& connection) {
  poller_forget(*server.state->poller, connection.socket, connection.watched);
  net_close_connection(connection.socket);
  connection.phase = StatusPhase::kFree;
  --server.open;
}

// False when the poller refused: the connection is then closed, not kept unwatched.
bool watch(StatusServer& server, StatusConnection& connection, unsigned flags) {
  const auto index = static_cast<std::uint32_t>(&connection - server.connections);
  if (poller_watch(*server.state->poller, connection.socket, kTagFirstConnection + index, flags,
                   connection.watched)) {
    return true;
  }
  watch_refused(*server.state);
  close_connection(server, connection);
  return false;
}

// One send of what is left; sockets never block, so a full one takes part or nothing.
void send_answer(StatusServer& server, StatusConnection& connection) {
  const std::size_t count = connection.answer_end - connection.answer_at;
  const long sent =
      net_send(connection.socket, connection.answer.get() + connection.answer_at, count);
  if (sent < 0 && net_error_is_retry(net_last_error())) return;
  if (sent <= 0) return close_connection(server, connection);
  connection.answer_at += static_cast<std::size_t>(sent);
  if (connection.answer_at < connection.answer_end) return;
  net_shutdown_send(connection.socket);
  connection.phase = StatusPhase::kDraining;
  (void)watch(server, connection, kWatchRead);  // refused: closed already
}

// Renders the answer behind the room for its headers, then writes the headers in front of it.
void start_answer(StatusServer& server, StatusConnection& connection, ParsedRequest request) {
  char* body = connection.answer.get() + kHeadBytes;
  const std::size_t room = server.answer_capacity - kHeadBytes;
  std::size_t length = 0;
  int code = 200;
  const char* type = kPlainType;
  const char* headers = "";
  switch (request.kind) {
    case StatusRequest::kMetrics:
      length = render_metrics(*server.state, body, room);
      type = kMetricsType;
      break;
    case StatusRequest::kJson:
      length = render_json(*server.state, clock_seconds(), body, room);
      type = kJsonType;
      headers = "Cache-Control: no-store\r\n";
      break;
    case StatusRequest::kPage:
      length = render_page(*server.state, clock_seconds(), body, room);
      headers = "Cache-Control: no-store\r\nVary: Accept\r\n";
      break;
    case StatusRequest::kBrowserPage:
      if (kStatusPage.size() <= room) {
        std::memcpy(body, kStatusPage.data(), kStatusPage.size());
        length = kStatusPage.size();
      }
      type = kHtmlType;
      headers = kHtmlHeaders;
      break;
    case StatusRequest::kNotFound:
      code = 404;
      break;
    case StatusRequest::kBadRequest:
      code = 400;
      break;
    default:
      code = 431;
      break;
  }
  if (code == 200 && length == 0) code = 500;  // the buffer is sized for the state: not expected
  if (code != 200) {
    StatusText text{body, room};
    text.add(reason_phrase(code));
    text.add("\n");
    length = text.length;
    type = kPlainType;
    headers = "";
  }
  char head[kHeadBytes];
  StatusText text{head, sizeof head};
  text.add("HTTP/1.1 ");
  text.add_number(static_cast<std::uint64_t>(code));
  text.add(" ");
  text.add(reason_phrase(code));
  text.add("\r\nContent-Type: ");
  text.add(type);
  text.add("\r\nContent-Length: ");
  text.add_number(length);
  text.add("\r\nConnection: close\r\n");
  text.add(headers);
  text.add("\r\n");
  std::memcpy(body - text.length, head, text.length);
  connection.answer_at = kHeadBytes - text.length;
  connection.answer_end = kHeadBytes + (request.head ? 0 : length);
  connection.phase = StatusPhase::kAnswering;
  if (watch(server, connection, kWatchWrite)) send_answer(server, connection);
}

void read_request(StatusServer& server, StatusConnection& connection) {
  const long got = net_recv(connection.socket, connection.request.get() + connection.received,
                            kStatusRequestBytes - connection.received);
  if (got < 0 && net_error_is_retry(net_last_error())) return;
  if (got <= 0) return close_connection(server, connection);  // gone before asking
  connection.received += static_cast<std::size_t>(got);
  const ParsedRequest request = parse_status_request(connection.request.get(), connection.received);
  if (request.kind != StatusRequest::kIncomplete) start_answer(server, connection, request);
}

void drain(StatusServer& server, StatusConnection& connection) {
  const long got = net_recv(connection.socket, connection.request.get(), kStatusRequestBytes);
  if (got > 0 || (got < 0 && net_error_is_retry(net_last_error()))) return;
  close_connection(server, connection);
}

// Makes room when the address already has its share of the connections: the oldest of them that
// still waits for its request is closed, so connections kept silent cannot shut out a request
// from their own address either. False when none of them waits for a request.
bool room_for(StatusServer& server, const IpAddress& address) {
  int same = 0;
  StatusConnection* oldest = nullptr;
  for (StatusConnection& connection : server.connections) {
    if (connection.phase == StatusPhase::kFree || !(connection.peer == address)) continue;
    ++same;
    if (connection.phase == StatusPhase::kReading &&
        (oldest == nullptr || connection.accept_number < oldest->accept_number)) {
      oldest = &connection;
    }
  }
  if (same < kStatusConnectionsPerAddress) return true;
  if (oldest == nullptr) return false;
  close_connection(server, *oldest);
  return true;
}

void accept_connection(StatusServer& server) {
  if (server.open >= kStatusConnections) return;  // the listener leaves the wait after this pass
  PeerAddress peer;
  Socket accepted = net_accept(server.listener, peer);
  if (accepted == kNoSocket) {
    // Out of descriptors the listener would stay readable and fail again in every pass: it
    // rests instead. Status accepts are not the relay's accept errors and are not logged.
    if (!net_error_is_retry(net_last_error())) {
      server.resume_ms = clock_milliseconds() + kStatusAcceptRestMs;
    }
    return;
  }
  // One address never holds more than its share while others wait in the backlog.
  if (!room_for(server, peer.address)) return net_close_connection(accepted);
  for (StatusConnection& connection : server.connections) {
    if (connection.phase != StatusPhase::kFree) continue;
    connection.socket = accepted;
    connection.phase = StatusPhase::kReading;
    connection.opened_ms = clock_milliseconds();
    connection.peer = peer.address;
    connection.accept_number = ++server.accepts;
    connection.received = 0;
    ++server.open;
    (void)watch(server, connection, kWatchRead);  // refused: closed already
    return;
  }
}

void serve(void* context, const PollEvent& event) {
  StatusServer& server = *static_cast<StatusServer*>(context);
  if (event.tag == kTagListener) {
    if (event.readable) accept_connection(server);
    return;
  }
  const std::uint32_t index = event.tag - kTagFirstConnection;
  if (index >= static_cast<std::uint32_t>(kStatusConnections)) return;
  StatusConnection& connection = server.connections[index];
  if (connection.socket != event.socket) return;
  switch (connection.phase) {
    case StatusPhase::kReading:
      if (event.readable) read_request(server, connection);
      break;
    case StatusPhase::kAnswering:
      if (event.writable) send_answer(server, connection);
      break;
    case StatusPhase::kDraining:
      if (event.readable) drain(server, connection);
      break;
    case StatusPhase::kFree:
      break;
  }
}

// Once per pass, also when the wait timed out: the time limits (a request that is slow to arrive
// is cut sooner than an answer that is slow to be read), and the listener in the wait only while
// a connection is free, so further connections wait in its backlog at no cost.
void after_pass(void* context) {
  StatusServer& server = *static_cast<StatusServer*>(context);
  const std::int64_t now = clock_milliseconds();
  if (server.open > 0) {
    for (StatusConnection& connection : server.connections) {
      const std::int64_t age = now - connection.opened_ms;
      if ((connection.phase == StatusPhase::kReading && age >= kStatusRequestMs) ||
          (connection.phase != StatusPhase::kFree && age >= kStatusConnectionMs)) {
        close_connection(server, connection);
      }
    }
  }
  const bool wanted = server.open < kStatusConnections && now >= server.resume_ms;
  if (poller_watch(*server.state->poller, server.listener, kTagListener,
                   wanted ? kWatchRead : kWatchNone, server.listener_watched)) {
    return;
  }
  // Out of the wait all the same, or tried again after the next pass.
  watch_refused(*server.state);
  if (!wanted) poller_forget(*server.state->poller, server.listener, server.listener_watched);
}

// The listener for the configured address and port, or kNoSocket; either is logged.
Socket open_configured_listener(const Config& config) {
  IpAddress address;
  (void)parse_address(config.status_address, address);  // the configuration checked it
  const char* step = "";
  const Socket listener = net_open_listener(address, config.status_port, kStatusConnections, &step);
  if (listener == kNoSocket) {
    log_message(kSeverityFailure, "Status listener on %s error: %s failed with %d",
                make_peer(address, config.status_port).text, step, net_last_error());
  } else {
    log_message(kSeverityNotice, "Status page on %s",
                make_peer(address, net_local_port(listener)).text);
  }
  return listener;
}
// Every answer buffer as large as the state needs now, and never smaller than an answer still
// going out, which moves along unchanged.
void size_answers(StatusServer& server) {
  std::size_t capacity = kHeadBytes + status_body_capacity(*server.state);
  for (const StatusConnection& connection : server.connections) {
    if (connection.phase == StatusPhase::kAnswering) {
      capacity = std::max(capacity, connection.answer_end);
    }
  }
  if (capacity == server.answer_capacity) return;
  for (StatusConnection& connection : server.connections) {
    auto answer = std::make_unique_for_overwrite<char[]>(capacity);
    if (connection.phase == StatusPhase::kAnswering) {
      std::memcpy(answer.get() + connection.answer_at,
                  connection.answer.get() + connection.answer_at,
                  connection.answer_end - connection.answer_at);
    }
    connection.answer = std::move(answer);
  }
  server.answer_capacity = capacity;
}

}  // namespace

bool status_start(StatusServer& server, RelayState& state) {
  const Config& config = state.config;
  server.listener = open_configured_listener(config);
  if (server.listener == kNoSocket) return false;
  server.address = config.status_address;
  server.port = config.status_port;
  server.state = &state;
  server.answer_capacity = kHeadBytes + status_body_capacity(state);
  for (StatusConnection& connection : server.connections) {
    connection.request = std::make_unique_for_overwrite<char[]>(kStatusRequestBytes);
    connection.answer = std::make_unique_for_overwrite<char[]>(server.answer_capacity);
  }
  server.listener_watched = kUnwatched;
  if (!poller_watch(*state.poller, server.listener, kTagListener, kWatchRead,
                    server.listener_watched)) {
    watch_refused(state);  // tried again after each pass
  }
  state.hook = PassHook{&server, serve, after_pass};
  return true;
}

void status_stop(StatusServer& server, RelayState& state) {
  if (server.listener == kNoSocket) return;
  for (StatusConnection& connection : server.connections) {
    if (connection.phase != StatusPhase::kFree) close_connection(server, connection);
  }
  poller_forget(*state.poller, server.listener, server.listener_watched);
  net_close(server.listener);
  server.listener = kNoSocket;
  state.hook = PassHook{};
}

void status_reload(StatusServer& server, RelayState& state) {
  const Config& config = state.config;
  if (config.status_port == 0) return status_stop(server, state);
  // A listener that cannot open is logged, and the relay goes on without it.
  if (server.listener == kNoSocket) return (void)status_start(server, state);
  if (config.status_port != server.port || config.status_address != server.address) {
    const Socket listener = open_configured_listener(config);
    if (listener == kNoSocket) return status_stop(server, state);
    poller_forget(*state.poller, server.listener, server.listener_watched);
    net_close(server.listener);
    server.listener = listener;
    server.address = config.status_address;
    server.port = config.status_port;
    server.resume_ms = 0;
    server.listener_watched = kUnwatched;  // the pass watches it from its end on
  }
  size_answers(server);
}

}  // namespace orv
