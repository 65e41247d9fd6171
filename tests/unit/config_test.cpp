// The configuration reader on text alone: no sockets, no files.
#include "config/config.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace orv {
namespace {

const std::string kPath = "/etc/orv/orv.conf";

std::string list_text(const AllowList& list) {
  std::string text = list.prefixes.empty() ? "none" : "";
  for (const AddressPrefix& prefix : list.prefixes) {
    char address[kHostTextBytes];
    format_address(prefix.address, address);
    text += (text.empty() ? "" : ",") + std::string(address) + "/" + std::to_string(prefix.length);
  }
  return list.set ? text : "-";
}

// What reading the text gives: its fields on one line (those of who may connect only when one is
// set), then each message on a line of its own.
std::string read(const std::string& text) {
  Config c;
  std::vector<std::string> messages;
  read_config(c, text, kPath, messages);
  std::ostringstream got;
  got << c.active_mode_port << (c.session_log ? " on " : " off ") << c.status_port << " "
      << c.status_address << " " << c.keepalive_seconds << " " << c.handshake_timeout_seconds << " "
      << c.log_size_bytes << "/" << c.log_keep;
  for (const MappingEntry& m : c.mappings) got << " " << m.identifier << ":" << m.port;
  std::ostringstream who;
  who << " | " << c.listen_address << " " << list_text(c.allow_devices) << " "
      << list_text(c.allow_clients) << " " << c.handshakes_per_address << " "
      << c.client_wait_timeout_seconds;
  for (const auto* lists : {&c.allow_clients_of, &c.allow_devices_of})
    for (const NamedAllowList& named : *lists)
      who << " " << named.identifier << "=" << list_text(named.list);
  if (who.str() != " |  - - 0 0") got << who.str();
  for (const std::string& message : messages) got << "\n" << message;
  return got.str();
}

// Case-sensitive keywords (another word makes a comment), the first mapping of an identifier
// wins, ports read as strtol reads them, CRLF or LF; a rejected line changes nothing.
TEST(ReadConfig, ReadsEachDirectiveStrictlyAndSaysWhereItRejectsOne) {
  const std::string example =
      "\n# site A\nactive-mode-port +900\nmap meter-1 901\n  map Meter-1\t902 trailing\n"
      "map meter-1 903\nmap meter-3\nMAP x 1\nmapx y 2\nactive-mode-port 0\nmap a 1\n"
      "map b 65535\nmap c 80abc\nsession-log on\nstatus-port 9100 0.0.0.0\nkeepalive 7200\n"
      "handshake-timeout 50\nlog-size 999999999\nlog-keep 100\n";
  for (const std::string& text : {example, std::regex_replace(example, std::regex("\n"), "\r\n")})
    EXPECT_EQ(
        read(text),
        "900 on 9100 0.0.0.0 7200 50 999999999/100 meter-1:901 Meter-1:902 a:1 b:65535 c:80\n" +
            kPath + ":6:\tAlready used identifier 'meter-1'\n" + kPath + ":7: 'map meter-3'\n" +
            kPath + ":10: 'active-mode-port 0'");
  EXPECT_EQ(read("status-port 9100\nkeepalive 1\nhandshake-timeout 1\nsession-log off\n"
                 "log-size 100000\nlog-keep 1\n"),
            "2000 off 9100 127.0.0.1 1 1 100000/1");
  const std::pair<std::string, std::vector<std::string>> refused[] = {
      {"map m", {"", " 0", " 65536", " abc", " -1", " 99999999999999999999"}},
      {"session-log", {" yes", ""}},
      {"status-port",
       {" 9100 256.0.0.1", " 9100 1.2.3", " 9100 localhost", " 0", " 65536", " 80abc"}},
      {"keepalive", {" 7201", " 0", " -5", " 60s"}},
      {"handshake-timeout", {" 51", " 0", ""}},
      {"log-size", {" 99999", " 1000000000", " 1e6", ""}},
      {"log-keep", {" 0", " 101", " +5"}},
      {"listen-address", {"", " ::1::", " [::1]", " 10.0.0.0/8"}},
      {"handshakes-per-address", {" 0", " 21", " 4x"}},
      {"client-wait-timeout", {" 0", " 86401", " -1"}},
  };
  for (const auto& [directive, values] : refused)
    for (const std::string& value : values)
      EXPECT_EQ(read(directive + value + "\r\n"),
                "2000 off 0 127.0.0.1 0 0 1000000/1\n" + kPath + ":1: '" + directive + value + "'");
}

// Lists add up, per identifier too; a rejected list line lets nobody in through it; the last
// listen-address wins; status-port takes IPv6.
TEST(ReadConfig, ReadsWhoMayConnectAndShutsOutOnAnUnreadableList) {
  EXPECT_EQ(read("listen-address 0.0.0.0\nlisten-address ::\nlisten-address ::1::\n"
                 "allow-devices 10.0.0.0/8 ::FFFF:192.0.2.0/120\nallow-devices 2001:DB8::/32\n"
                 "allow-clients 127.0.0.1\nallow-clients-of m ::1 10.0.0.0/8\n"
                 "allow-clients-of n 0.0.0.0/0\nallow-clients-of m 192.0.2.9\n"
                 "allow-devices-of m 192.0.2.0/24\nhandshakes-per-address 20\n"
                 "client-wait-timeout 86400\nstatus-port 9100 ::1\n"),
            "2000 off 9100 ::1 0 0 1000000/1 | :: 10.0.0.0/8,192.0.2.0/24,2001:db8::/32 "
            "127.0.0.1/32 20 86400 "
            "m=::1/128,10.0.0.0/8,192.0.2.9/32 n=0.0.0.0/0 m=192.0.2.0/24\n" +
                kPath + ":3: 'listen-address ::1::'");
  const std::pair<std::string, std::string> refused[] = {
      {"allow-devices", "none - 0 0"},
      {"allow-devices 10.0.0.0/8 # office", "none - 0 0"},
      {"allow-clients-of m", "- - 0 0 m=none"},
      {"allow-devices-of m 10.0.0.0/8 localhost", "- - 0 0 m=none"},
      {"allow-clients 10.0.0.0/8 10.0.0.1/8", "- none 0 0"}};
  for (const auto& [line, shut] : refused)
    EXPECT_EQ(read(line + "\n"), "2000 off 0 127.0.0.1 0 0 1000000/1 |  " + shut + "\n" + kPath +
                                     ":1: '" + line + "'");
}

}  // namespace
}  // namespace orv
