// Fuzz target: a device's handshake over a real loopback connection to a started relay, its
// bytes cut into sends at fuzz-chosen points, checked read by read against a small model of
// the handshake's rules. Linux only (it peeks at the relay's sockets with poll and FIONREAD).
//
// Input: byte 0 flags (bit 0: a client waits, bits 1-2: on which mapping, bit 3: the device
// ends its stream after its last send); byte 1: number of cuts (0 to 31); then per cut a
// big-endian 16-bit segment length; the rest is what the device sends.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "diag/log.h"
#include "net/net.h"
#include "relay/relay.h"

namespace {

using orv::kNoSocket;
using orv::Socket;

constexpr int kMappings = 4;
const std::string kIdentifiers[kMappings] = {"meter-1", "a", "x'y", std::string(200, 'L')};
constexpr std::size_t kReadBytes = 399;     // one receive of the relay
constexpr std::size_t kUnterminated = 200;  // buffered bytes without LF that end the handshake
constexpr int kPassesPerStep = 4;           // a pass with nothing ready costs half a second

std::FILE* g_report = stderr;  // the real stderr, even when libFuzzer silences fd 2
std::string g_folder;
std::string g_config;
int g_device_port = 0;
int g_client_ports[kMappings] = {};

[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::fputs("fuzz_handshake: ", g_report);
  std::vfprintf(g_report, format, arguments);
  std::fputc('\n', g_report);
  va_end(arguments);
  std::fflush(g_report);
  std::abort();
}

enum class Outcome { kPending, kHandedOver, kClosed };
const char* outcome_text(Outcome outcome) {
  switch (outcome) {
    case Outcome::kPending:
      return "pending";
    case Outcome::kHandedOver:
      return "handed over";
    case Outcome::kClosed:
      return "closed";
  }
  return "?";
}

// The handshake's rules, one read at a time.
struct Model {
  std::string received;
  std::vector<std::size_t> offsets;  // where each received byte stands in the device's stream
  bool greeting_seen = false;
  Outcome outcome = Outcome::kPending;
  int mapping = -1;
  std::size_t payload_from = 0;  // stream offset just past the identification line

  Outcome waiting() const {
    return received.size() < kUnterminated ? Outcome::kPending : Outcome::kClosed;
  }
  Outcome decide() {
    if (received.find('\n') == std::string::npos) return waiting();
    if (!greeting_seen) {
      if (received.compare(0, received.find('\n') + 1, "tcp-active-mode:1\n") != 0) {
        return Outcome::kClosed;
      }
      received.erase(0, 18);
      offsets.erase(offsets.begin(), offsets.begin() + 18);
      greeting_seen = true;
      if (received.find('\n') == std::string::npos) return waiting();
    }
    if (received.compare(0, 4, "id:'") != 0) return Outcome::kClosed;
    const std::size_t quote = received.find("'\n");
    if (quote == std::string::npos) return Outcome::kClosed;
    // A quote at offset 3 is the prefix's own: the name then runs to the end, LF first.
    const std::string name = quote < 4 ? received.substr(4) : received.substr(4, quote - 4);
    for (int i = 0; i < kMappings; ++i) {
      if (name != kIdentifiers[i]) continue;
      mapping = i;
      payload_from = offsets[quote + 1] + 1;
      return Outcome::kHandedOver;
    }
    return Outcome::kClosed;
  }
  void read(std::string_view bytes, std::size_t offset) {
    // A NUL ends what the handshake takes from this read.
    for (std::size_t i = 0; i < bytes.size() && bytes[i] != '\0'; ++i) {
      received += bytes[i];
      offsets.push_back(offset + i);
    }
    outcome = decide();
  }
};

std::size_t unread(Socket socket) {
  int count = 0;
  if (::ioctl(socket, FIONREAD, &count) != 0) return 0;
  return static_cast<std::size_t>(count);
}

bool readable(Socket socket, int timeout_ms) {
  pollfd entry{socket, POLLIN, 0};
  return ::poll(&entry, 1, timeout_ms) == 1;
}

// Loopback delivers one send whole, but only waiting for all of it makes the relay's read
// boundaries the model's.
bool arrived(Socket socket, std::size_t count) {
  if (!readable(socket, 2000)) return false;
  for (int tries = 0; unread(socket) < count; ++tries) {
    if (tries == 2000) return false;
    ::usleep(500);
  }
  return true;
}

// Closing with a reset leaves nothing in TIME_WAIT, so millions of runs do not use up ports.
void reset(Socket socket) {
  if (socket == kNoSocket) return;
  const linger abortive{1, 0};
  (void)::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);  // best effort
  orv::net_close(socket);
}

void send_all(Socket socket, std::string_view bytes) {
  while (!bytes.empty()) {
    const long sent = orv::net_send(socket, bytes.data(), bytes.size());
    if (sent <= 0) fail("device send failed");
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

int holder_of(const orv::RelayState& state, Socket socket) {
  for (std::size_t m = 0; m < state.mappings.size(); ++m) {
    for (const orv::RelayPair& pair : state.mappings[m].pairs) {
      if (pair.device.socket == socket) return static_cast<int>(m);
    }
  }
  return -1;
}

struct Input {
  bool client_waits = false;
  int client_mapping = 0;
  bool ends = false;
  std::vector<std::size_t> cuts;  // segment lengths; the rest is the last segment
  std::string_view stream;
};

bool parse(const std::uint8_t* data, std::size_t size, Input& input) {
  if (size < 2) return false;
  input.client_waits = (data[0] & 1) != 0;
  input.client_mapping = (data[0] >> 1) & 3;
  input.ends = (data[0] & 8) != 0;
  const std::size_t cuts = data[1] % 32;
  if (size < 2 + 2 * cuts) return false;
  for (std::size_t i = 0; i < cuts; ++i) {
    input.cuts.push_back(static_cast<std::size_t>(data[2 + 2 * i] << 8 | data[3 + 2 * i]));
  }
  input.stream =
      std::string_view(reinterpret_cast<const char*>(data) + 2 + 2 * cuts, size - 2 - 2 * cuts);
  return true;
}

std::vector<std::string_view> segments_of(const Input& input) {
  std::vector<std::string_view> segments;
  std::string_view rest = input.stream;
  for (std::size_t cut : input.cuts) {
    const std::size_t length = std::min(cut, rest.size());
    if (length > 0) segments.push_back(rest.substr(0, length));
    rest.remove_prefix(length);
  }
  if (!rest.empty()) segments.push_back(rest);
  return segments;
}

void remove_folder() {
  std::error_code ignored;
  std::filesystem::remove_all(g_folder, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // libFuzzer may point fd 2 at /dev/null later (-close_fd_mask=2, against the relay's log).
  const int saved = ::dup(2);
  if (saved >= 0) g_report = ::fdopen(saved, "w");
  if (g_report == nullptr) g_report = stderr;
  if (!orv::net_startup()) fail("socket library did not start");

  char folder[] = "/tmp/orv-fuzz-XXXXXX";
  if (::mkdtemp(folder) == nullptr) fail("no temporary folder");
  g_folder = folder;
  std::atexit(remove_folder);
  orv::set_data_folder(g_folder);

  // Free ports: bound to port 0 together, so they differ, then released for the relay.
  Socket probes[kMappings + 1];
  for (Socket& probe : probes) {
    probe = orv::net_open_listener({}, 0, 1);
    if (probe == kNoSocket) fail("no free port");
  }
  g_device_port = orv::net_local_port(probes[0]);
  for (int i = 0; i < kMappings; ++i) g_client_ports[i] = orv::net_local_port(probes[i + 1]);
  for (Socket probe : probes) orv::net_close(probe);

  g_config = g_folder + "/orv.conf";
  std::ofstream file(g_config, std::ios::binary);
  file << "active-mode-port " << g_device_port << "\n";
  for (int i = 0; i < kMappings; ++i) {
    file << "map " << kIdentifiers[i] << ' ' << g_client_ports[i] << "\n";
  }
  if (!file.flush()) fail("cannot write %s", g_config.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input;
  if (!parse(data, size, input)) return 0;
  orv::RelayState state;
  if (!orv::orv_start(state, g_config)) fail("relay did not start");

  Socket client = kNoSocket;
  if (input.client_waits) {
    orv::Mapping& mapping = state.mappings[input.client_mapping];
    client = orv::net_connect_loopback(mapping.port);
    if (client == kNoSocket) fail("client cannot connect");
    auto waiting = [&] {
      for (const orv::RelayPair& pair : mapping.pairs) {
        if (pair.client.socket != kNoSocket) return true;
      }
      return false;
    };
    for (int pass = 0; !waiting(); ++pass) {
      if (pass == kPassesPerStep) fail("client not accepted");
      orv::relay_cycle(state);
    }
  }

  const Socket device = orv::net_connect_loopback(g_device_port);
  if (device == kNoSocket) fail("device cannot connect");
  auto busy_slot = [&] {
    std::size_t slot = 0;
    while (slot < state.queue.size() && state.queue[slot].socket == kNoSocket) ++slot;
    return slot;
  };
  for (int pass = 0; busy_slot() == state.queue.size(); ++pass) {
    if (pass == kPassesPerStep) fail("device not accepted");
    orv::relay_cycle(state);
  }
  const std::size_t slot = busy_slot();
  const Socket relay_side = state.queue[slot].socket;

  Model model;
  std::size_t offset = 0;
  const bool payload_checked = input.client_waits;
  for (std::string_view segment : segments_of(input)) {
    const bool delivering = model.outcome == Outcome::kHandedOver && payload_checked &&
                            model.mapping == input.client_mapping;
    if (model.outcome != Outcome::kPending && !delivering) break;
    send_all(device, segment);
    // Each pass receives at most 399 bytes, so the segment is read in such pieces; each piece
    // is one step of the model, and the relay must agree after every one.
    for (std::size_t done = 0; done < segment.size() && model.outcome == Outcome::kPending;) {
      if (done == 0 && !arrived(relay_side, segment.size())) fail("segment never arrived");
      const std::size_t piece = std::min(kReadBytes, segment.size() - done);
      model.read(segment.substr(done, piece), offset + done);
      done += piece;
      for (int pass = 0;; ++pass) {
        if (state.queue[slot].socket != relay_side) break;
        if (unread(relay_side) <= segment.size() - done) break;
        if (pass == kPassesPerStep) fail("relay left a readable handshake unread");
        orv::relay_cycle(state);
      }
      const bool relay_pending = state.queue[slot].socket == relay_side;
      if (relay_pending != (model.outcome == Outcome::kPending)) {
        fail("after %zu bytes the model says %s, the relay %s", offset + done,
             outcome_text(model.outcome), relay_pending ? "keeps waiting" : "ended it");
      }
    }
    offset += segment.size();
  }
  if (model.outcome == Outcome::kPending && input.ends) {
    (void)::shutdown(device, SHUT_WR);  // a failure shows as a still-pending slot below
    model.outcome = Outcome::kClosed;
    for (int pass = 0; pass < kPassesPerStep && state.queue[slot].socket == relay_side; ++pass) {
      orv::relay_cycle(state);
    }
  }

  const bool in_slot = state.queue[slot].socket == relay_side;
  const int holder = holder_of(state, relay_side);
  switch (model.outcome) {
    case Outcome::kPending:
      if (!in_slot || holder >= 0) fail("model: pending; relay: not");
      if (readable(device, 0)) fail("relay sent to or closed a pending device");
      break;
    case Outcome::kHandedOver:
      if (in_slot) fail("model: handed over; relay: pending");
      if (holder != model.mapping)
        fail("model: handed to mapping %d; relay: to %d", model.mapping, holder);
      break;
    case Outcome::kClosed: {
      if (in_slot) fail("model: closed; relay: pending");
      if (holder >= 0) fail("model: closed; relay: handed to mapping %d", holder);
      if (!readable(device, 2000)) fail("relay kept a refused device open");
      char byte = 0;
      if (orv::net_recv(device, &byte, 1) > 0) fail("relay sent bytes to a refused device");
      break;
    }
  }

  // With its client waiting, everything after the identification line reaches the client.
  if (model.outcome == Outcome::kHandedOver && payload_checked &&
      model.mapping == input.client_mapping) {
    const std::string_view expected =
        input.stream.substr(model.payload_from, offset - model.payload_from);
    std::string got;
    for (int idle = 0; got.size() < expected.size() && idle < kPassesPerStep;) {
      orv::relay_cycle(state);
      char buffer[2048];
      const long count = orv::net_recv(client, buffer, sizeof buffer);
      if (count > 0) got.append(buffer, static_cast<std::size_t>(count));
      idle = count > 0 ? 0 : idle + 1;
    }
    if (got != expected) {
      fail("client got %zu bytes, expected %zu after the identification line", got.size(),
           expected.size());
    }
  }

  reset(device);
  reset(client);
  orv::relay_stop(state);
  // Pending connections are the socket library's to release at exit; here every run must.
  for (const orv::PendingSlot& pending : state.queue) {
    if (pending.socket != kNoSocket) orv::net_close(pending.socket);
  }
  return 0;
}
