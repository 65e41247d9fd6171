// Addresses: text in and out, peers' texts, prefixes.
#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

// Rows: text, and how it is shown; a peer shows it with its port, IPv6 in brackets.
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
  };
  for (const auto& [text, expected] : rows) {
    IpAddress address;
    ASSERT_TRUE(parse_address(text, address)) << text;
    char shown[kHostTextBytes];
    EXPECT_EQ(std::string(shown, format_address(address, shown)), expected) << text;
    const PeerAddress peer = make_peer(address, 5000);
    EXPECT_EQ(peer.text,
              (expected.find(':') != expected.npos ? "[" + expected + "]" : expected) + ":5000");
    EXPECT_EQ(peer_host(peer), expected);
  }
  EXPECT_STREQ(make_peer(IpAddress{}, 5000).text, "unknow address");
  for (const char* refused : {"1.2.3",
                              "1.2.3.4.5",
                              "256.0.0.1",
                              "1.2.3.4 ",
                              "-1.2.3.4",
                              "1:2:3:4:5:6:7",
                              "",
                              "[::1]",
                              "1:2:3:4:5:6:7:8:9",
                              "1::2::3",
                              ":::",
                              "1:",
                              ":1::",
                              "12345::",
                              "::g",
                              "fe80::1%1",
                              "1.2.3.4::",
                              "::1.2.3.4:5",
                              "1:2:3:4:5:6:7:1.2.3.4",
                              "localhost"}) {
    IpAddress address;
    EXPECT_FALSE(parse_address(refused, address)) << refused;
  }
}

// Rows: a prefix, then addresses it holds and addresses it does not.
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

}  // namespace
}  // namespace orv
