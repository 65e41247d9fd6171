// The real program as a child process: a relay run and its stop, standard streams it cannot count
// on, starts that fail and commands it does not know, the systemd notify service.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "tests/program/program.h"

namespace orv_test {
namespace {

namespace fs = std::filesystem;
using Program = ProgramTest;

// Each run relays a pair both ways and its tail, logs every line to orv.log and none to a peer,
// and stops cleanly on Ctrl+C. The standard streams of the later runs once ended or stalled the
// relay, or sent the log to a peer: a stderr whose reader is gone (SIGPIPE), descriptors 0 to 2
// closed (a socket became descriptor 2), a stderr pipe nobody drains (the write blocked).
TEST_F(Program, RelaysLogsAndStopsCleanlyWhateverItsStandardStreams) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    bool close_standard, stderr_pipe, reader_gone;
    int unknown_devices;  // each one a log line
  } runs[] = {{"any letter case, extra words", {"rUn", "extra", "words"}, false, false, false, 3},
              {"stderr reader gone", {"run"}, false, true, true, 3},
              {"descriptors 0, 1 and 2 closed", {"run"}, true, false, false, 3},
              {"stderr never drained", {"run"}, false, true, false, 200}};
  // Natively the configuration comes from systemd's ConfigurationDirectory (the first of its
  // list), the log goes to the data folder; the data folder's own orv.conf is not read.
  const fs::path etc = under_wine() ? data : out / "etc";
  if (!under_wine()) {
    env.push_back("CONFIGURATION_DIRECTORY=" + etc.string() + ":" + out.string());
    write_config();
    fs::create_directories(etc);
  }
  const int unread_port = device_port;
  // A second mapping on the port of the first has no listener; the start goes on.
  write_config("", etc);
  std::ofstream(etc / "orv.conf", std::ios::app) << "map other " << client_port << "\nmap broken\n";
  for (const auto& r : runs) {
    if (under_wine() && &r != runs) break;  // POSIX descriptors and signals
    SCOPED_TRACE(r.name);
    fs::remove(data / "orv.log");
    int stderr_pipe[2] = {-1, -1};
    if (r.stderr_pipe) {
      ASSERT_EQ(pipe2(stderr_pipe, O_CLOEXEC), 0);
      ASSERT_GT(fcntl(stderr_pipe[1], F_SETPIPE_SZ, 4096), 0);  // full after a few dozen lines
      if (r.reader_gone) close(stderr_pipe[0]);
    }
    start(r.args, {stderr_pipe[1], r.close_standard});
    if (r.stderr_pipe) close(stderr_pipe[1]);
    ASSERT_TRUE(wait_for_log("Started 1.0")) << log() << read_text(child.err_path);
    const int client = connect_to(client_port), device = join_device("meter-1");
    ASSERT_TRUE(send_all(client, "req"));
    EXPECT_EQ(receive(device, 3), "req");
    for (int i = 0; i < r.unknown_devices; ++i) {
      const int stranger = join_device("nobody");
      const bool closed = ends_without_data(stranger);
      close(stranger);
      ASSERT_TRUE(closed) << "unknown device " << i << " not closed in time, or sent bytes";
    }
    ASSERT_TRUE(send_all(device, "reply"));
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
  EXPECT_FALSE(fs::exists(etc / "orv.log") && etc != data);
}

// A start that fails, or a command it does not know, ends with code 1 and says why: a failed
// start in orv.log, the rest on stderr with the usage; stdout stays empty.
TEST_F(Program, FailedStartsAndUnknownCommandsExitWithCodeOneAndSayWhy) {
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
    int config;  // 0: none, 1: written, 2: written and its active-mode port taken
    std::vector<std::string> logged, on_stderr;
  } cases[] = {{{"run"}, 0, {"orv.conf: No such file or directory", "orv_start() failed"}, {}},
               {{"run"}, 2, {"TCP listen\ton port\t", "orv_start() failed"}, {}},
               {{}, 1, {}, usage},
               {{"--help"}, 1, {}, usage},
               {{"install-please", "run"}, 1, {}, usage}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no command" : c.args[0] + " " + std::to_string(c.config));
    fs::remove(data / "orv.conf");
    fs::remove(data / "orv.log");
    if (c.config > 0) write_config();
    const int holder = c.config == 2 ? listen_on(device_port) : -1;
    start(c.args);
    EXPECT_EQ(wait_child(child, kStartMs), 1);
    if (holder >= 0) close(holder);
    EXPECT_EQ(read_text(child.out_path), "");
    expect_logged(c.logged);
    for (const std::string& line : c.on_stderr)
      EXPECT_NE(read_text(child.err_path).find(line), std::string::npos) << line;
    EXPECT_EQ(log().find("Started"), std::string::npos) << log();
  }
  if (under_wine() || fs::exists("/run/systemd/system")) return;  // install would be real
  start({"install"});
  EXPECT_EQ(wait_child(child, kStartMs), 1);
  EXPECT_EQ(read_text(child.out_path), "Cannot install service: systemd is not running\n");
}

// Under systemd (notify) the service reports starting, ready, stopping and stopped; a failed
// start exits with code 1, which makes systemd call the unit failed and Restart=on-failure act.
TEST_F(Program, NotifyServiceReportsItsStatesAndItsExitCodeShowsAFailedStart) {
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

}  // namespace
}  // namespace orv_test
