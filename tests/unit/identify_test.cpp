// The device handshake over real loopback connections, driven pass by pass.
#include <gtest/gtest.h>

#include <string>

#include "relay/pass.h"
#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

using Handshake = RelayFixture;
const std::string kGreeting = kGreetingLine;

TEST_F(Handshake, HandsOverWhetherSentAtOnceOrByteByByte) {
  start({"meter-1"});
  const std::string handshake = kGreeting + "id:'meter-1'\n";
  for (const bool byte_by_byte : {false, true}) {
    SCOPED_TRACE(byte_by_byte);
    const Socket device_side = device();
    if (byte_by_byte) {
      const PendingSlot& slot = state.queue[0];
      for (std::size_t sent = 1; sent < handshake.size(); ++sent) {
        send_text(device_side, handshake.substr(sent - 1, 1));
        ASSERT_TRUE(cycle_until([&] {
          return slot.socket != kNoSocket &&
                 slot.received_length + (slot.greeting_seen ? kGreeting.size() : 0) == sent;
        }));
      }
      EXPECT_EQ(devices_placed(), 0);
      send_text(device_side, handshake.substr(handshake.size() - 1));
    } else {
      send_text(device_side, handshake);
    }
    ASSERT_TRUE(cycle_until([&] { return devices_placed() == 1 && slots_in_use() == 0; }));
    close_channel(state, mapping(0).pairs[0].device);
    net_close(device_side);
  }
}

// Without the session log only an unknown name is logged; with it every refusal says why.
TEST_F(Handshake, RefusesMalformedHandshakesAndSaysWhyOnlyInTheSessionLog) {
  start({"meter-1"}, "session-log on\n");
  const struct {
    const char* name;
    std::string bytes;
    std::string logged;
  } cases[] = {
      {"CR in greeting", "tcp-active-mode:1\r\nid:'meter-1'\n", "refused: bad greeting"},
      {"capitals", "TCP-ACTIVE-MODE:1\nid:'meter-1'\n", "refused: bad greeting"},
      {"leading space", " tcp-active-mode:1\nid:'meter-1'\n", "refused: bad greeting"},
      {"CR LF identification", kGreeting + "id:'meter-1'\r\n", "refused: no closing quote"},
      {"missing prefix", kGreeting + "ID:'meter-1'\n", "refused: no identification prefix"},
      {"200 bytes without LF", kGreeting + std::string(200, 'a'), "refused: over-long line"},
      {"ended early", kGreeting + "id:'met", "refused: ended early"},
      {"unknown", kGreeting + "id:'meter-2'\n", "invalid identifier 'meter-2' from 127.0.0.1"},
      {"other case", kGreeting + "id:'Meter-1'\n", "invalid identifier 'Meter-1' from 127.0.0.1"},
      {"empty", kGreeting + "id:''\n", "invalid identifier '' from 127.0.0.1"},
      {"escaped", kGreeting + "id:'a\rb\\c\x1b[2J\x7f\xc3\xa9'\n",
       "invalid identifier 'a\\x0db\\\\c\\x1b[2J\\x7f\xc3\xa9' from 127.0.0.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Socket device_side = device();
    testing::internal::CaptureStderr();
    send_text(device_side, c.bytes);
    if (std::string(c.name) == "ended early") net_shutdown_send(device_side);
    bool ended = false;
    receive(device_side, 1, &ended);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ended);
    EXPECT_EQ(devices_placed(), 0);
    EXPECT_EQ(slots_in_use(), 0);
    EXPECT_NE(log.find(c.logged + "\n"), std::string::npos) << log;
    net_close(device_side);
  }
  EXPECT_EQ(state.counters.refused[static_cast<int>(Refusal::kBadGreeting)], 3u);
  EXPECT_EQ(state.counters.unknown_identifiers, 4u);
  // Without the session log, the refusals are silent.
  state.config.session_log = false;
  const Socket quiet = device();
  testing::internal::CaptureStderr();
  send_text(quiet, "nonsense\n");
  bool ended = false;
  receive(quiet, 1, &ended);
  EXPECT_TRUE(ended);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  net_close(quiet);
}

TEST_F(Handshake, KeepsWaitingWith199BytesWithoutLineEnd) {
  start({"meter-1"});
  const Socket device_side = device();
  send_text(device_side, kGreeting + std::string(199, 'a'));
  ASSERT_TRUE(
      cycle_until([&] { return slots_in_use() == 1 && state.queue[0].received_length == 199; }));
  relay_cycle(state);
  EXPECT_EQ(slots_in_use(), 1);
  send_text(device_side, "a");  // the 200th byte ends it
  EXPECT_TRUE(cycle_until([&] { return slots_in_use() == 0; }));
  net_close(device_side);
}

TEST(EscapeIdentifier, EscapesControlBytesDeleteAndBackslashOnly) {
  const struct {
    std::string raw, logged;
  } cases[] = {
      {"meter-1", "meter-1"},
      {std::string("\0\n\r\x1f", 4), "\\x00\\x0a\\x0d\\x1f"},
      {"\\x", "\\\\x"},
      {"\x7f\x80\xff ~'", "\\x7f\x80\xff ~'"},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_identifier(c.raw.data(), c.raw.size()), c.logged);
}

// Payload in the same segment as the identification line is kept, NUL bytes included.
TEST_F(Handshake, DeliversPayloadThatArrivedWithTheIdentificationLine) {
  start({"meter-1"});
  const Socket client_side = client(0);
  ASSERT_TRUE(cycle_until([&] { return mapping(0).pairs[0].client.socket != kNoSocket; }));
  const std::string payload("first\0bytes\n'", 13);
  const Socket device_side = identified_device("meter-1", payload);
  EXPECT_EQ(receive(client_side, payload.size()), payload);
  net_close(device_side);
  net_close(client_side);
}

TEST_F(Handshake, DropsPayloadOfAWaitingDeviceWhenAClientJoins) {
  start({"meter-1"});
  const Socket device_side = identified_device("meter-1", "early");
  const Socket client_side = client(0);
  ASSERT_TRUE(cycle_until([&] { return mapping(0).pairs[0].client.socket != kNoSocket; }));
  send_text(device_side, "late");
  EXPECT_EQ(receive(client_side, 4), "late");
  net_close(device_side);
  net_close(client_side);
}

}  // namespace
}  // namespace orv
