// Addresses: text in and out, prefixes, and listeners of either family on loopback.
#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

std::string shown(const IpAddress& address) {
  char text[kHostTextBytes];
  return std::string(text, format_address(address, text));
}

// Rows: text, how it is shown ("" when refused).
TEST(Address, ParsesEitherFamilyAndShowsItsShortestForm) {
  const std::pair<std::string, std::string> rows[] = {
      {"192.0.2.1", "192.0.2.1"},
      {"010.0.0.255", "10.0.0.255"},
      {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
      {"2001:db8:0:1:0:0:0:0", "2001:db8:0:1::"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
      {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"},
      {"::", "::"},
      {"::1", "::1"},
      {"::ffff:192.0.2.1", "192.0.2.1"},
      {"::FFFF:c000:201", "192.0.2.1"},
      {"64:ff9b::192.0.2.1", "64:ff9b::c000:201"},
      {"1.2.3", ""},
      {"1.2.3.4.5", ""},
      {"256.0.0.1", ""},
      {"1.2.3.4 ", ""},
      {"-1.2.3.4", ""},
      {"1:2:3:4:5:6:7", ""},
      {"1:2:3:4:5:6:7:8:9", ""},
      {"1::2::3", ""},
      {":::", ""},
      {"1:", ""},
      {":1::", ""},
      {"12345::", ""},
      {"::g", ""},
      {"[::1]", ""},
      {"fe80::1%1", ""},
      {"1.2.3.4::", ""},
      {"::1.2.3.4:5", ""},
      {"1:2:3:4:5:6:7:1.2.3.4", ""},
      {"", ""},
      {"localhost", ""},
  };
  for (const auto& [text, expected] : rows) {
    IpAddress address;
    EXPECT_EQ(parse_address(text, address) ? shown(address) : "", expected) << text;
  }
  const std::pair<const char*, std::string> peers[] = {
      {"::ffff:10.1.2.3", "10.1.2.3:5000 10.1.2.3"},
      {"2001:db8::1", "[2001:db8::1]:5000 2001:db8::1"},
      {"", "unknow address unknow address"}};
  for (const auto& [text, expected] : peers) {
    IpAddress address;
    parse_address(text, address);
    const PeerAddress peer = make_peer(address, 5000);
    EXPECT_EQ(peer.text + (" " + std::string(peer_host(peer))), expected);
  }
}

// Rows: a prefix (or refused), then addresses it holds and addresses it does not.
TEST(Address, PrefixesHoldTheirAddressesWhicheverFamilyAnIpv4PeerCameOver) {
  const std::tuple<std::string, std::vector<std::string>, std::vector<std::string>> rows[] = {
      {"10.0.0.0/8", {"10.0.0.0", "10.255.255.255", "::ffff:10.1.1.1"}, {"11.0.0.0", "::a00:1"}},
      {"192.0.2.7", {"192.0.2.7"}, {"192.0.2.6", "192.0.2.8"}},
      {"192.0.2.128/25", {"192.0.2.200"}, {"192.0.2.127"}},
      {"0.0.0.0/0", {"1.2.3.4", "255.255.255.255"}, {"::1", "2001:db8::1"}},
      {"2001:db8::/32", {"2001:db8:ffff::1"}, {"2001:db9::", "32.1.13.184"}},
      {"::ffff:127.0.0.0/104", {"127.9.9.9", "::ffff:127.0.0.1"}, {"128.0.0.1", "::1"}},
      {"::/0", {"::1", "127.0.0.1", "2001:db8::1"}, {}},
      {"::1", {"::1"}, {"::2", "0.0.0.1"}},
  };
  for (const auto& [text, inside, outside] : rows) {
    AddressPrefix prefix;
    ASSERT_TRUE(parse_prefix(text, prefix)) << text;
    for (const auto& [addresses, held] : {std::pair{inside, true}, std::pair{outside, false}}) {
      for (const std::string& address_text : addresses) {
        IpAddress address;
        ASSERT_TRUE(parse_address(address_text, address)) << address_text;
        EXPECT_EQ(prefix_contains(prefix, address), held) << text << " " << address_text;
      }
    }
  }
  for (const char* refused : {"10.0.0.1/8", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/+8", "/8",
                              "::1/129", "2001:db8::/0x20", "::ffff:10.0.0.0/95", "10.0.0.0/8/8"}) {
    AddressPrefix prefix;
    EXPECT_FALSE(parse_prefix(refused, prefix)) << refused;
  }
}

// "::" takes both families and shows each peer as it is; a failed opener names its step.
TEST(Address, DualStackListenerTakesBothFamiliesAndAFailureNamesItsStep) {
  net_startup();
  const Socket listener = net_open_listener(kIpv6Any, 0, kBacklogMax);
  ASSERT_NE(listener, kNoSocket) << net_last_error();
  const int port = net_local_port(listener);
  const std::pair<IpAddress, std::string> peers[] = {{kIpv6Loopback, "[::1]:"},
                                                     {ipv4_address({127, 0, 0, 1}), "127.0.0.1:"}};
  for (const auto& [address, text] : peers) {
    const Socket connected = net_connect(address, port);
    ASSERT_NE(connected, kNoSocket) << text << net_last_error();
    ASSERT_TRUE(socket_ready(listener, false, 5000)) << text;
    PeerAddress peer;
    const Socket accepted = net_accept(listener, peer);
    EXPECT_EQ(peer.text, text + std::to_string(net_local_port(connected)));
    net_close(accepted);
    net_close(connected);
  }
  const char* step = "";
  EXPECT_EQ(net_open_listener(kIpv6Any, port, kBacklogMax, &step), kNoSocket);
  EXPECT_STREQ(step, "bind");
  net_close(listener);
}

}  // namespace
}  // namespace orv
