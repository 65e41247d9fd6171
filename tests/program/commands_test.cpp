// The real program's commands besides running: check, reload, --help and --version.
#include "diag/version.h"
#include "tests/program/program.h"

namespace orv_test {
namespace {

// Each line's verdict and reason (none for a line taken as it stands); exit codes 0 and 1.
TEST_F(ProgramTest, CommandsAnswerOnStandardOutputWithTheirExitCodes) {
  const std::string folder = under_wine() ? "C:\\ProgramData\\orv\\" : data.string() + "/";
  const std::string end = under_wine() ? "\r\n" : "\n";  // a Windows text stream
  const std::pair<std::string, std::string> lines[] = {
      {"#map meter-2 9002", ""},
      {"map meter-3 70000", "rejected: port 70000 out of range (1 to 65535)"},
      {"map meter-1 9001", ""},
      {"map meter-1 9003", "rejected: identifier 'meter-1' already used on line 3"},
      {"mapp meter-5 9005", "ignored: 'mapp' is no keyword, perhaps 'map'"},
      {"Map meter-6 9006", "ignored: 'Map' is no keyword, perhaps 'map'"},
      {"active-mode-prot 1",
       "ignored: 'active-mode-prot' is no keyword, perhaps 'active-mode-port'"},
      {"map meter-4 90o1", "accepted: '90o1' taken as port 90"},
      {"map meter-7 +9007 x y", "accepted: 'x y' ignored"},
      {"status-port 8080 localhost", "rejected: 'localhost' is no IP address"},
      {"keepalive 6o", "rejected: seconds '6o' is not a number"},
      {"session-log yes", "rejected: value is not on or off"},
      {"active-mode-port", "rejected: no port"},
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
      folder + "bad.conf: 3 mappings, active-mode port 2000, rejected lines: 6, warnings: 5" + end;
  write_config();
  const std::string reload = under_wine() ? "OpenService failed (1060)" : "Cannot reload from here";
  const std::string good = folder + "orv.conf: 1 mappings, active-mode port " +
                           std::to_string(device_port) + ", rejected lines: 0, warnings: 0" + end;
  // Arguments, exit code, and what standard output begins with (all of it for check).
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"check"}, 0, good},
      {{"CHECK", folder + "bad.conf"}, 1, said},
      {{"check", folder + "none.conf"}, 1, folder + "none.conf: No such file or directory" + end},
      {{"--version"}, 0, std::string("orv ") + orv::kVersion + end},
      {{"--help"}, 0, std::string("ORV ") + orv::kVersion + ", a TCP rendezvous relay" + end},
      {{"reload"}, 1, reload},
  };
  for (const auto& [args, code, begins] : cases) {
    SCOPED_TRACE(args[0]);
    start(args);
    EXPECT_EQ(wait_child(child, kStartMs), code);
    const std::string out = read_text(child.out_path);
    EXPECT_EQ(out.substr(0, args[0] == "check" || args[0] == "CHECK" ? out.npos : begins.size()),
              begins);
    EXPECT_EQ(read_text(child.err_path), "");
  }
  EXPECT_FALSE(fs::exists(data / "orv.log"));  // none of them runs the relay
}

}  // namespace
}  // namespace orv_test
