// The real program as a child process: a scripted run told in the session log and on the status
// page, standard streams it cannot count on, failed starts and unknown commands, the systemd
// notify service, and a deliberate fault.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <regex>

#include "tests/program/program.h"

namespace orv_test {
namespace {

TEST_F(ProgramTest, RelaysAndTellsEveryEventInTheSessionLogAndTheJoinedPairOnTheStatusPage) {
  const int spares = free_port(), status_port = free_port();
  // Two mappings whose names a metric label must escape.
  write_config("session-log on\nstatus-port " + std::to_string(status_port) + "\nmap spare " +
               std::to_string(spares) + "\nmap we\"ird\\id " + std::to_string(free_port()) +
               "\nmap caf\xff\xc3 " + std::to_string(free_port()) + "\n");
  start({"rUn", "extra", "words"});  // any letter case; extra words are ignored
  const auto expect_line = [&](const std::string& pattern) {  // "@": a peer's address
    const std::regex line(std::regex_replace(pattern, std::regex("@"), R"(127\.0\.0\.1:\d+)") +
                          "\r\n");
    EXPECT_TRUE(wait_until([&] { return std::regex_search(log(), line); }, kStartMs))
        << "no line " << pattern << " in\n"
        << log();
  };
  const auto page = [&](const std::string& request) {  // the status page's answer
    const int s = connect_to(status_port);
    EXPECT_TRUE(send_all(s, request));
    const std::string answer = receive(s, SIZE_MAX);
    close(s);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    return answer;
  };
  expect_line("Listening for devices on port " + std::to_string(device_port));
  expect_line("Listening for clients of 'meter-1' on port " + std::to_string(client_port));

  // A client waits, a device joins it, they talk, the status page shows them, the client ends
  // and the device gets the end.
  int client = connect_to(client_port);
  expect_line("Client @ of 'meter-1' accepted, waiting for a device");
  int meter = join_device("meter-1");
  expect_line("Device @ identified as 'meter-1', joined client @");
  ASSERT_TRUE(send_all(client, "ping") && send_all(meter, "reply"));
  EXPECT_EQ(receive(meter, 4), "ping");
  EXPECT_EQ(receive(client, 5), "reply");
  std::string metrics = page("GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n");
  EXPECT_TRUE(has(metrics, "orv_relayed_to_client_bytes_total{mapping=\"meter-1\"} 5\n"));
  std::ofstream(out / "metrics.txt", std::ios::binary)
      << metrics.substr(metrics.find("\r\n\r\n") + 4);
  Child promtool = spawn_child(
      {"sh", "-c", "promtool check metrics <" + out.string() + "/metrics.txt"}, {}, data.string());
  EXPECT_EQ(wait_child(promtool, kStartMs), 0)
      << "promtool (Debian package prometheus): " << read_text(promtool.err_path);
  EXPECT_TRUE(
      has(page("GET / HTTP/1.1\r\n\r\n"), "4 bytes to the device, 5 bytes to the client\n"));
  close(client);
  expect_line(R"(Pair of 'meter-1' ended after \d+ s: client @, device @, 4 bytes to the device, )"
              R"(5 bytes to the client, the client ended first \(end of stream\))");
  EXPECT_TRUE(ends_without_data(meter));
  close(meter);

  // A device waits, a client joins it; then a waiting client and a waiting device leave.
  meter = join_device("meter-1");
  expect_line("Device @ identified as 'meter-1', waiting for a client");
  client = connect_to(client_port);
  expect_line("Client @ of 'meter-1' accepted, joined device @");
  close(connect_to(spares));
  expect_line("Waiting client @ of 'spare' left");
  close(join_device("spare"));
  expect_line("Waiting device @ of 'spare' left");

  // Twenty devices fill 'spare'; the twenty-first, and a twenty-first client, are turned away.
  std::vector<int> held;
  for (int i = 0; i < 21; ++i) held.push_back(join_device("spare"));
  expect_line("Device @ identified as 'spare' turned away: every pair holds a device");
  for (int i = 0; i < 21; ++i) held.push_back(connect_to(spares));
  expect_line("Client @ of 'spare' turned away: every pair holds a client");

  const std::string refusals[][2] = {
      {"hello\n", "bad greeting"},
      {"tcp-active-mode:1\nname\n", "no identification prefix"},
      {"tcp-active-mode:1\nid:'meter'\r\n", "no closing quote"},
      {"tcp-active-mode:1\n" + std::string(250, 'x'), "over-long line"},
      {"tcp-active-mode:1\nid:'me", "ended early"}};
  for (const auto& [bytes, reason] : refusals) {
    const int s = connect_to(device_port);
    EXPECT_TRUE(send_all(s, bytes));
    shutdown(s, SHUT_WR);
    expect_line("Handshake from @ refused: " + reason);
    close(s);
  }

  // Ctrl+C: the pair still joined ends with the relay's stop; the status listener logged nothing.
  signal_child(child, SIGINT);
  EXPECT_EQ(wait_child(child, kStartMs), 0);
  expect_line(R"(Pair of 'meter-1' ended after \d+ s: client @, device @, 0 bytes to the device, )"
              R"(0 bytes to the client, ended by the relay stop)");
  EXPECT_FALSE(has(log(), "Status listener"));
  for (int s : held) close(s);
  close(client);
  close(meter);
}

// These standard streams once ended or stalled the relay, or sent the log to a peer: stderr's
// reader gone (SIGPIPE), descriptors 0 to 2 closed (a socket became descriptor 2), a stderr pipe
// nobody drains (the write blocked).
TEST_F(ProgramTest, RelaysLogsAndStopsCleanlyWhateverItsStandardStreams) {
  if (under_wine()) GTEST_SKIP() << "POSIX descriptors and signals";
  const struct {
    const char* name;
    bool close_standard, stderr_pipe, reader_gone;
    int unknown_devices;  // each one a log line
  } runs[] = {{"stderr reader gone", false, true, true, 3},
              {"descriptors 0, 1 and 2 closed", true, false, false, 3},
              {"stderr never drained", false, true, false, 200}};
  // The configuration comes from systemd's ConfigurationDirectory (the first of its list), not
  // from the data folder, which holds the log.
  env.push_back("CONFIGURATION_DIRECTORY=" + (out / "etc").string() + ":" + out.string());
  write_config();
  const int unread_port = device_port;
  fs::create_directories(out / "etc");
  write_config("", out / "etc");
  // A second mapping on the port of the first has no listener; the start goes on.
  std::ofstream(out / "etc/orv.conf", std::ios::app)
      << "map other " << client_port << "\nmap broken\n";
  for (const auto& r : runs) {
    SCOPED_TRACE(r.name);
    fs::remove(data / "orv.log");
    int stderr_pipe[2] = {-1, -1};
    if (r.stderr_pipe) {
      ASSERT_EQ(pipe2(stderr_pipe, O_CLOEXEC), 0);
      ASSERT_GT(fcntl(stderr_pipe[1], F_SETPIPE_SZ, 4096), 0);  // full after a few dozen lines
      if (r.reader_gone) close(stderr_pipe[0]);
    }
    start({"run"}, {stderr_pipe[1], r.close_standard});
    if (r.stderr_pipe) close(stderr_pipe[1]);
    ASSERT_TRUE(wait_for_log("Started 1.0")) << log() << read_text(child.err_path);
    const int client = connect_to(client_port), device = join_device("meter-1");
    for (int i = 0; i < r.unknown_devices; ++i) {
      const int stranger = join_device("nobody");
      const bool closed = ends_without_data(stranger);
      close(stranger);
      ASSERT_TRUE(closed) << "unknown device " << i << " not closed in time, or sent bytes";
    }
    ASSERT_TRUE(send_all(client, "req") && send_all(device, "reply"));
    EXPECT_EQ(receive(device, 3), "req");
    EXPECT_EQ(receive(client, 5), "reply");
    shutdown(client, SHUT_WR);
    EXPECT_TRUE(ends_without_data(device));  // no log line reached either peer
    EXPECT_TRUE(ends_without_data(client));
    close(client);
    close(device);
    signal_child(child, SIGINT);
    EXPECT_EQ(wait_child(child, kStartMs), 0);
    const std::string text = log();
    int lines = 0;
    for (std::size_t at = 0; (at = text.find("identifier 'nobody'", at + 1)) != text.npos;) ++lines;
    EXPECT_EQ(lines, r.unknown_devices) << text;
    expect_logged({"TCP listen\ton port\t" + std::to_string(client_port),
                   "orv.conf:4: 'map broken'", "Stopped"});
    if (r.stderr_pipe && !r.reader_gone) close(stderr_pipe[0]);
  }
  EXPECT_LT(connect_to(unread_port), 0);
  EXPECT_FALSE(fs::exists(out / "etc/orv.log"));
}

// A start that fails, or a command it does not know, ends with code 1 and says why: a failed
// start in orv.log, the rest on stderr with the usage; stdout stays empty.
TEST_F(ProgramTest, FailedStartsAndUnknownCommandsExitWithCodeOneAndSayWhy) {
  if (under_wine()) env.push_back("WINEDEBUG=err+eventlog");
  const std::string folder = under_wine() ? "C:\\ProgramData\\orv\\" : data.string() + "/";
  const std::string end = under_wine() ? "\r\n" : "\n";  // a Windows text stream
  const std::vector<std::string> usage = {
      "ORV 1.0", "orv install", "orv run", "Configuration: " + folder + "orv.conf" + end,
      "Log: " + folder + "orv.log" + end,
      // The dispatch was tried first, and its failure went where a service's failures go.
      under_wine() ? "StartServiceCtrlDispatcher failed with 1063" : "orv run"};
  const struct {
    std::vector<std::string> args;
    int config;                       // 0: none, 1: written, 2: its active-mode port taken
    std::vector<std::string> logged;  // none: the usage on stderr
  } cases[] = {{{"run"}, 0, {"orv.conf: No such file or directory", "orv_start() failed"}},
               {{"run"}, 2, {"TCP listen\ton port\t", "orv_start() failed"}},
               {{}, 1, {}},
               {{"install-please", "run"}, 1, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no command" : c.args[0] + " " + std::to_string(c.config));
    fs::remove(data / "orv.conf");
    fs::remove(data / "orv.log");
    if (c.config > 0) write_config();
    const int holder = c.config == 2 ? listen_on(device_port) : -1;
    start(c.args);
    EXPECT_EQ(wait_child(child, kStartMs), 1);
    close(holder);
    EXPECT_EQ(read_text(child.out_path), "");
    expect_logged(c.logged);
    for (const std::string& line : c.logged.empty() ? usage : std::vector<std::string>{})
      EXPECT_TRUE(has(read_text(child.err_path), line));
    EXPECT_FALSE(has(log(), "Started"));
  }
  if (under_wine() || fs::exists("/run/systemd/system")) return;  // install would be real
  start({"install"});
  EXPECT_EQ(wait_child(child, kStartMs), 1);
  EXPECT_EQ(read_text(child.out_path), "Cannot install service: systemd is not running\n");
}

// Under systemd (notify) the service reports starting, ready, stopping and stopped; a failed
// start exits with code 1, which makes systemd call the unit failed and Restart=on-failure act.
TEST_F(ProgramTest, NotifyServiceReportsItsStatesAndItsExitCodeShowsAFailedStart) {
  if (under_wine()) GTEST_SKIP() << "systemd notify is the Linux service";
  const int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (out / "notify").c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  env.push_back("NOTIFY_SOCKET=" + (out / "notify").string());
  for (const bool configured : {true, false}) {
    SCOPED_TRACE(configured ? "configured" : "no configuration");
    fs::remove(data / "orv.conf");
    if (configured) write_config();
    start({});
    if (configured && wait_for_log("Started 1.0")) signal_child(child, SIGTERM);  // after READY
    EXPECT_EQ(wait_child(child, kStartMs), configured ? 0 : 1);
    std::string said;  // every message, each followed by '|'
    char buffer[256];
    for (ssize_t n; (n = recv(listener, buffer, sizeof buffer, MSG_DONTWAIT)) > 0; said += '|')
      said.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(said, "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000|" +
                        std::string(configured ? "READY=1|STOPPING=1|" : "") + "STATUS=Stopped|");
    expect_logged({configured ? "Stopped" : "orv_start() failed"});
  }
  close(listener);
}

// A deliberate fault leaves a dump and says so in the log; a dump it cannot write, it does not
// claim.
TEST_F(ProgramTest, FaultLeavesADumpAndSaysSoOrSaysWhyNot) {
  const bool wine = under_wine();
  const fs::path dump =
      wine ? fs::path(environment("WINEPREFIX")) / "drive_c/orv.dmp" : fs::path("/var/tmp/orv.dmp");
  const std::string fault = std::string("Exception with code ") + (wine ? "c0000005" : "000b");
  const std::string named = wine ? "c:\\orv.dmp" : dump.string();
  for (const bool writable : {true, false}) {
    fs::remove_all(dump);
    fs::remove(data / "orv.log");
    if (!writable) fs::create_directories(dump);  // a folder in the way of the file
    Child crashed =
        spawn_child({environment("ORV_TOOLS_DIR") + "/crash_tool" + (wine ? ".exe" : ""),
                     wine ? "C:\\ProgramData\\orv" : data.string()},
                    {}, out.string());
    const int code = wait_child(crashed, kStartMs);
    EXPECT_TRUE(code != 0 && code != -1 && code != 127) << code << " (-1: it hung)";
    expect_logged({writable ? fault + " captured to " + named
                            : fault + ", no dump written to " + named + " (error "});
    EXPECT_EQ(fs::is_regular_file(dump) && fs::file_size(dump) > 0, writable);
    EXPECT_TRUE(!writable || wine || has(read_text(dump.string()), "signal 11"));
  }
  fs::remove_all(dump);
}

}  // namespace
}  // namespace orv_test
