// The real program's commands besides running: check, reload, --help and --version; and a
// running relay that reloads on SIGHUP.
#include <sys/socket.h>
#include <sys/un.h>

#include <regex>

#include "diag/version.h"
#include "tests/program/program.h"

namespace orv_test {
namespace {

// Each line's verdict and reason (none for a line taken as it stands); exit codes 0 and 1.
TEST_F(ProgramTest, CommandsAnswerOnStandardOutputWithTheirExitCodes) {
  const std::string folder = under_wine() ? "C:\\ProgramData\\orv\\" : data.string() + "/";
  const std::string end = under_wine() ? "\r\n" : "\n";  // a Windows text stream
  const std::pair<std::string, std::string> lines[] = {
      {"# a comment, and a commented-out line:", ""},
      {"#map meter-2 9002", ""},
      {"map meter-3 70000", "rejected: port 70000 out of range (1 to 65535)"},
      {"map meter-1 9001", ""},
      {"map meter-1 9003", "rejected: identifier 'meter-1' already used on line 4"},
      {"mapp meter-5 9005", "ignored: 'mapp' is no keyword, perhaps 'map'"},
      {"Map meter-6 9006", "ignored: 'Map' is no keyword, perhaps 'map'"},
      {"active-mode-prot 2001",
       "ignored: 'active-mode-prot' is no keyword, perhaps "
       "'active-mode-port'"},
      {"map meter-4 90o1", "accepted: '90o1' taken as port 90"},
      {"map meter-7 +9007 x y", "accepted: 'x y' ignored"},
      {"status-port 8080 127.0.0.1 extra", "accepted: 'extra' ignored"},
      {"status-port 8080 localhost", "rejected: address 'localhost' is not a dotted IPv4 address"},
      {"handshake-timeout 60", "rejected: seconds 60 out of range (1 to 50)"},
      {"keepalive 6o", "rejected: seconds '6o' is not a number"},
      {"session-log yes", "rejected: value is not on or off"},
      {"active-mode-port", "rejected: no port"},
      {"map m -1", "rejected: port -1 out of range (1 to 65535)"},
  };
  std::ofstream bad(data / "bad.conf", std::ios::binary);
  std::string said;
  for (std::size_t i = 0; i < std::size(lines); ++i) {
    bad << lines[i].first << (i % 2 ? "\r\n" : "\n");
    if (!lines[i].second.empty())
      said += folder + "bad.conf:" + std::to_string(i + 1) + ": '" + lines[i].first + "' " +
              lines[i].second + end;
  }
  bad.close();
  said +=
      folder + "bad.conf: 3 mappings, active-mode port 2000, rejected lines: 8, warnings: 6" + end;
  write_config();
  const std::string reload = under_wine() ? "OpenService failed (1060)" : "Cannot reload from here";
  const struct {
    std::vector<std::string> args;
    int code;
    std::string out;  // what standard output begins with
  } cases[] = {
      {{"check"},
       0,
       folder + "orv.conf: 1 mappings, active-mode port " + std::to_string(device_port) +
           ", rejected lines: 0, warnings: 0" + end},
      {{"CHECK", folder + "bad.conf"}, 1, said},
      {{"check", folder + "none.conf"}, 1, folder + "none.conf: No such file or directory" + end},
      {{"--version"}, 0, std::string("orv ") + orv::kVersion + end},
      {{"--help"}, 0, std::string("ORV ") + orv::kVersion + ", a TCP rendezvous relay" + end},
      {{"reload"}, 1, reload},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    start(c.args);
    EXPECT_EQ(wait_child(child, kStartMs), c.code);
    const std::string out = read_text(child.out_path);
    EXPECT_EQ(out.substr(0, c.args[0] == "check" || c.args[0] == "CHECK" ? out.npos : c.out.size()),
              c.out);
    EXPECT_EQ(read_text(child.err_path), "");
  }
  EXPECT_FALSE(fs::exists(data / "orv.log"));  // none of them runs the relay
}

// SIGHUP reloads as the service, telling systemd, and in the console: the kept mapping's pair
// goes on, the removed mapping's port refuses, the added one relays; a missing file changes
// nothing. SIGTERM and SIGINT still stop.
TEST_F(ProgramTest, SighupReloadsWhileKeptPairsGoOn) {
  if (under_wine()) GTEST_SKIP() << "Windows has no SIGHUP: tests/package/windows.sh reloads";
  const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // as systemd's
  sockaddr_un address{AF_UNIX, {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (out / "notify").c_str());
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  for (const bool service : {true, false}) {
    SCOPED_TRACE(service ? "service" : "console");
    fs::remove(data / "orv.log");
    const int gone_port = free_port();
    write_config("map gone " + std::to_string(gone_port) + "\n");
    if (service) env.push_back("NOTIFY_SOCKET=" + (out / "notify").string());
    start(service ? std::vector<std::string>{} : std::vector<std::string>{"run"});
    if (service) env.pop_back();
    ASSERT_TRUE(wait_for_log("Started 1.0")) << log();
    const int client = connect_to(client_port), meter = join_device("meter-1");
    ASSERT_TRUE(send_all(client, "before"));
    ASSERT_EQ(receive(meter, 6), "before");
    const int added_port = free_port();
    std::ofstream(data / "orv.conf", std::ios::binary)
        << "active-mode-port " << device_port << "\nmap meter-1 " << client_port << "\nmap new "
        << added_port << "\n";
    signal_child(child, SIGHUP);
    ASSERT_TRUE(wait_for_log("Reloaded: 1 mappings added, 1 removed, 0 changed, 1 kept\r\n"));
    EXPECT_LT(connect_to(gone_port), 0);
    const int added_client = connect_to(added_port), added_device = join_device("new");
    ASSERT_TRUE(send_all(added_client, "new"));
    EXPECT_EQ(receive(added_device, 3), "new");
    ASSERT_TRUE(send_all(meter, "after"));
    EXPECT_EQ(receive(client, 5), "after");
    fs::remove(data / "orv.conf");
    signal_child(child, SIGHUP);
    EXPECT_TRUE(wait_for_log("Not reloaded: " + (data / "orv.conf").string() +
                             ": No such file or directory\r\n"));
    ASSERT_TRUE(send_all(client, "still"));
    EXPECT_EQ(receive(meter, 5), "still");
    signal_child(child, service ? SIGTERM : SIGINT);
    EXPECT_EQ(wait_child(child, kStartMs), 0);
    for (const int s : {client, meter, added_client, added_device}) close(s);
    std::string said;  // the notify messages, each followed by '|'
    char buffer[256];
    for (ssize_t n; (n = recv(notify, buffer, sizeof buffer, MSG_DONTWAIT)) > 0; said += '|')
      said.append(buffer, static_cast<std::size_t>(n));
    const std::string reload = R"(RELOADING=1\nMONOTONIC_USEC=\d+\|READY=1\|)";
    EXPECT_TRUE(std::regex_match(
        said, std::regex(service ? R"(STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000\|READY=1\|)" +
                                       reload + reload + R"(STOPPING=1\|STATUS=Stopped\|)"
                                 : "")))
        << said;
  }
  close(notify);
}

}  // namespace
}  // namespace orv_test
