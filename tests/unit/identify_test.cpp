// The device handshake over real loopback connections, driven pass by pass.
#include <string>

#include "relay/pass.h"
#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

using Handshake = RelayFixture;
const std::string kGreeting = kGreetingLine;

// Sent at once or a byte per pass, the handshake hands the device to the waiting client, and
// what followed the identification line in the same send reaches it, NUL bytes included.
TEST_F(Handshake, HandsOverWithThePayloadWhetherSentAtOnceOrByteByByte) {
  start({"meter-1"});
  const std::string handshake = kGreeting + "id:'meter-1'", payload("\nfirst\0bytes\n'", 14);
  for (const bool byte_by_byte : {false, true}) {
    SCOPED_TRACE(byte_by_byte ? "byte by byte" : "at once");
    const Socket client_side = placed_client(0), device_side = device();
    const PendingSlot& slot = state.queue[0];
    for (std::size_t sent = 1; byte_by_byte && sent <= handshake.size(); ++sent) {
      send_text(device_side, handshake.substr(sent - 1, 1));
      ASSERT_TRUE(cycle_until([&] {
        return slot.socket != kNoSocket &&
               slot.received_length + (slot.greeting_seen ? kGreeting.size() : 0) == sent;
      }));
    }
    EXPECT_EQ(devices_placed(), 0);
    send_text(device_side, (byte_by_byte ? "" : handshake) + payload);
    EXPECT_EQ(receive(client_side, payload.size() - 1), payload.substr(1));
    EXPECT_EQ(slots_in_use(), 0);
    net_close(client_side);
    net_close(device_side);
    ASSERT_TRUE(cycle_until([&] { return devices_placed() == 0; }));
  }
}

// Every refusal closes the device without a byte. The session log says why; without it only an
// identifier that names no mapping is logged, with its bytes escaped.
TEST_F(Handshake, RefusesMalformedHandshakesAndSaysWhyOnlyInTheSessionLog) {
  start({"meter-1"}, "session-log on\n");
  const struct {
    std::string bytes, logged;
  } cases[] = {
      {"tcp-active-mode:1\r\nid:'meter-1'\n", "refused: bad greeting"},
      {"TCP-ACTIVE-MODE:1\nid:'meter-1'\n", "refused: bad greeting"},
      {kGreeting + "id:'meter-1'\r\n", "refused: no closing quote"},
      {kGreeting + "ID:'meter-1'\n", "refused: no identification prefix"},
      {kGreeting + std::string(200, 'a'), "refused: over-long line"},
      {kGreeting + "id:'met", "refused: ended early"},
      {kGreeting + "id:'Meter-1'\n", "invalid identifier 'Meter-1' from 127.0.0.1"},
      {kGreeting + "id:''\n", "invalid identifier '' from 127.0.0.1"},
      {kGreeting + "id:'a\rb\\c\x1b[2J\x7f\xc3\xa9'\n",
       "invalid identifier 'a\\x0db\\\\c\\x1b[2J\\x7f\xc3\xa9' from 127.0.0.1"},
  };
  for (const bool session_log : {true, false}) {
    state.config.session_log = session_log;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.logged);
      const Socket device_side = device();
      const std::string log = stderr_of([&] {
        send_text(device_side, c.bytes);
        net_shutdown_send(device_side);  // "ended early" needs the end; the others are over before
        EXPECT_TRUE(closed_by_relay(device_side));
      });
      const bool logged = session_log || c.logged.find("invalid") == 0;
      EXPECT_EQ(log.find(c.logged + "\n") != std::string::npos, logged) << log;
      EXPECT_EQ(devices_placed() + slots_in_use(), 0);
    }
  }
  EXPECT_EQ(state.counters.refused[static_cast<int>(Refusal::kBadGreeting)], 4u);
  EXPECT_EQ(state.counters.unknown_identifiers, 6u);
}

}  // namespace
}  // namespace orv
