// The real program as a child process: a scripted run whatever its standard streams, failed
// starts and unknown commands, the systemd notify service, and a deliberate fault.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <regex>

#include "tests/program/program.h"

namespace orv_test {
namespace {

// One scripted run told in the session log and on the status page; natively also with streams
// that once ended or stalled it (SIGPIPE, a blocked write) or gave the log a socket (descriptor 2).
TEST_F(ProgramTest, RelaysAndTellsEveryEventWhateverItsStandardStreams) {
  const char* runs[] = {"notify service (rUn under Wine)", "stderr reader gone",
                        "descriptors 0 to 2 closed", "stderr never drained"};
  const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // as systemd's
  sockaddr_un address{AF_UNIX, {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (out / "notify").c_str());
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // Natively orv.conf is read from the first of systemd's ConfigurationDirectory folders only.
  const fs::path etc = under_wine() ? data : out / "etc";
  if (!under_wine()) env.push_back("CONFIGURATION_DIRECTORY=" + etc.string() + ":" + out.string());
  write_config();
  const int unread_port = device_port, spares = free_port(), status_port = free_port();
  fs::create_directories(etc);
  // 'other' gets no listener on the port of 'spare'; metric labels escape the last two names.
  const int weird_port = free_port(), new_port = free_port();
  const std::string weird = "map we\"ird\\id " + std::to_string(weird_port) + "\n";
  write_config("map broken\nsession-log on\nstatus-port " + std::to_string(status_port) +
                   "\nmap spare " + std::to_string(spares) + "\nmap other " +
                   std::to_string(spares) + "\n" + weird + "map caf\xff\xc3 " +
                   std::to_string(free_port()) + "\n",
               etc);
  const std::string conf_text = read_text((etc / "orv.conf").string());
  bool stalled = false;  // then the later lines are not waited for
  const auto expect_line = [&](const std::string& pattern) {  // "@": a peer's address
    const std::regex line(std::regex_replace(pattern, std::regex("@"), R"(127\.0\.0\.1:\d+)") +
                          "\r\n");
    stalled = !wait_until([&] { return std::regex_search(log(), line); }, stalled ? 0 : kStartMs);
    EXPECT_FALSE(stalled) << "no line " << pattern << " in\n" << log();
  };
  const auto page = [&](const std::string& request) {  // the body of the status page's answer
    const int s = connect_to(status_port);
    EXPECT_TRUE(send_all(s, request));
    const std::string answer = receive(s, SIZE_MAX);
    close(s);
    return answer.substr(answer.find("\r\n\r\n") + 4);
  };
  for (int run = 0; run < (under_wine() ? 1 : 4); ++run) {  // POSIX descriptors and signals
    SCOPED_TRACE(runs[run]);
    fs::remove(data / "orv.log");
    std::ofstream(etc / "orv.conf", std::ios::binary) << conf_text;  // as a reload left it
    int stderr_pipe[2] = {-1, -1};
    if (run == 1 || run == 3) {
      ASSERT_EQ(pipe2(stderr_pipe, O_CLOEXEC), 0);
      ASSERT_GT(fcntl(stderr_pipe[1], F_SETPIPE_SZ, 4096), 0);  // full after a few dozen lines
      if (run == 1) close(std::exchange(stderr_pipe[0], -1));
    }
    const bool service = run == 0 && !under_wine();  // then console runs, in any letter case
    if (service)
      env.insert(env.end(),
                 {"NOTIFY_SOCKET=" + (out / "notify").string(), "WATCHDOG_USEC=30000000"});
    start(service ? std::vector<std::string>{} : std::vector<std::string>{"rUn", "extra", "words"},
          {stderr_pipe[1], run == 2});
    if (service) env.resize(env.size() - 2);
    const auto started = std::chrono::steady_clock::now();
    close(stderr_pipe[1]);
    ASSERT_TRUE(wait_for_log("Started 1.0")) << log();
    const std::string fds = "/proc/" + std::to_string(child.pid) + "/fd/";
    for (int fd = 0; fd <= 2 && run == 2; ++fd)
      EXPECT_EQ(fs::read_symlink(fds + std::to_string(fd)), "/dev/null");
    const std::string conf = under_wine() ? R"(C:\ProgramData\orv\orv.conf)" : etc / "orv.conf";
    expect_logged({"TCP listen\ton port\t" + std::to_string(spares), "orv.conf:3: 'map broken'",
                   "Configuration read from " + conf});
    expect_line("Status page on 127\\.0\\.0\\.1:" + std::to_string(status_port));
    expect_line("Listening for devices on port " + std::to_string(device_port));
    expect_line("Listening for clients of 'meter-1' on port " + std::to_string(client_port));

    // A client waits, a device joins it, they talk, the status page shows them, the client ends.
    int client = connect_to(client_port);
    expect_line("Client @ of 'meter-1' accepted, waiting for a device");
    int meter = join_device("meter-1", std::string("re\0ly", 5));  // handed over to the client
    expect_line("Device @ identified as 'meter-1', joined client @");
    ASSERT_TRUE(send_all(client, "ping"));
    EXPECT_EQ(receive(meter, 4), "ping");
    EXPECT_EQ(receive(client, 5), std::string("re\0ly", 5));
    const std::string metrics = page("GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n");
    EXPECT_TRUE(has(metrics, "orv_relayed_to_client_bytes_total{mapping=\"meter-1\"} 5\n"));
    std::ofstream(out / "metrics.txt", std::ios::binary) << metrics;
    Child promtool =
        spawn_child({"sh", "-c", "promtool check metrics <" + out.string() + "/metrics.txt"}, {},
                    data.string());
    EXPECT_EQ(wait_child(promtool, kStartMs), 0)
        << "promtool (Debian package prometheus): " << read_text(promtool.err_path);
    const std::string shown = page("GET / HTTP/1.1\r\n\r\n");  // a backslash shows doubled
    EXPECT_TRUE(has(shown, "bytes to the device: 4, bytes to the client: 5\n"));
    EXPECT_TRUE(has(shown, "\nconfiguration: " +
                               std::regex_replace(conf, std::regex(R"(\\)"), R"(\\)") + "\n"));
    close(client);
    expect_line(
        R"(Pair of 'meter-1' ended after \d+ s: client @, device @, 4 bytes to the device, )"
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

    // SIGHUP, natively: a new mapping relays, a removed one's port refuses, the pairs go on.
    if (!under_wine()) {
      std::string reloaded = conf_text;
      reloaded.replace(reloaded.find(weird), weird.size(),
                       "map new " + std::to_string(new_port) + "\n");
      std::ofstream(etc / "orv.conf", std::ios::binary) << reloaded;
      signal_child(child, SIGHUP);
      expect_line("Reloaded: 1 mappings added, 1 removed, 0 changed, 4 kept");
      EXPECT_LT(connect_to(weird_port), 0);
      held.push_back(connect_to(new_port));
      EXPECT_TRUE(send_all(held.back(), "new"));
      held.push_back(join_device("new"));
      EXPECT_EQ(receive(held.back(), 3), "new");
    }

    // Ctrl+C: the pair still joined ends with the relay's stop; no status listener failure.
    signal_child(child, service ? SIGTERM : SIGINT);
    EXPECT_EQ(wait_child(child, kStartMs), 0);
    std::string said;  // the notify messages, each followed by '|'
    char buffer[256];
    for (ssize_t n; (n = recv(notify, buffer, sizeof buffer, MSG_DONTWAIT)) > 0; said += '|')
      said.append(buffer, static_cast<std::size_t>(n));
    // The watchdog hears from the passes at most once a second: one or more while it ran.
    const auto ran = std::chrono::steady_clock::now() - started;
    std::int64_t beats = 0;
    for (auto at = said.find("WATCHDOG"); at != said.npos; at = said.find("WATCHDOG", at + 1))
      ++beats;
    EXPECT_LE(beats, 1 + std::chrono::duration_cast<std::chrono::seconds>(ran).count());
    said = std::regex_replace(said, std::regex("(WATCHDOG=1\\|)+"), "WATCHDOG=1|");
    said = std::regex_replace(said, std::regex(R"(MONOTONIC_USEC=\d+\|READY=1\|(WATCHDOG=1\|)?)"),
                              "MONOTONIC_USEC=N|READY=1|");  // the reload's time, a beat after
    EXPECT_EQ(said, service ? "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000|READY=1|WATCHDOG=1|"
                              "RELOADING=1\nMONOTONIC_USEC=N|READY=1|STOPPING=1|STATUS=Stopped|"
                            : "");
    expect_line(
        R"(Pair of 'meter-1' ended after \d+ s: client @, device @, 0 bytes to the device, )"
        R"(0 bytes to the client, ended by the relay stop)");
    EXPECT_FALSE(has(log(), "Status listener"));
    for (int s : held) close(s);
    close(client);
    close(meter);
    close(stderr_pipe[0]);
  }
  close(notify);
  EXPECT_LT(connect_to(unread_port), 0);
  EXPECT_EQ(fs::exists(etc / "orv.log"), etc == data);
}

// Exit code 1 and why: a failed start in orv.log, an unknown command with the usage on stderr.
TEST_F(ProgramTest, FailedStartsAndUnknownCommandsExitWithCodeOneAndSayWhy) {
  if (under_wine()) env.push_back("WINEDEBUG=err+eventlog");
  const std::string folder = under_wine() ? "C:\\ProgramData\\orv\\" : data.string() + "/";
  const std::string end = under_wine() ? "\r\n" : "\n";  // a Windows text stream
  // Under Wine the dispatch was tried first, and failed where a service's failures are read.
  const std::vector<std::string> usage = {
      "Usage: orv install",
      "Configuration: " + folder + "orv.conf" + end + "Log: " + folder + "orv.log" + end,
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
  if (under_wine()) return;
  fs::remove(data / "orv.conf");  // systemd's service: a failed start fails the unit
  env.push_back("NOTIFY_SOCKET=" + (out / "notify").string());
  start({});
  EXPECT_EQ(wait_child(child, kStartMs), 1);
  expect_logged({"orv_start() failed"});
  if (fs::exists("/run/systemd/system")) return;  // install would be real
  start({"install"});
  EXPECT_EQ(wait_child(child, kStartMs), 1);
  EXPECT_EQ(read_text(child.out_path), "Cannot install service: systemd is not running\n");
}

// A fault leaves a fresh dump (mode 0600 natively) and says so. What was at its path is never
// written through: a link keeps its target unchanged; what cannot be removed (a folder, natively
// also root's link in sticky /var/tmp for a crash of user nobody) means no dump, and says why.
TEST_F(ProgramTest, FaultLeavesAFreshDumpAndSaysSoOrSaysWhyNot) {
  const bool wine = under_wine();
  const fs::path dump =
      wine ? fs::path(environment("WINEPREFIX")) / "drive_c/orv.dmp" : fs::path("/var/tmp/orv.dmp");
  const std::string fault = std::string("Exception with code ") + (wine ? "c0000005" : "000b");
  const std::string named = wine ? "c:\\orv.dmp" : dump.string();
  const fs::path target = out / "target";
  const bool as_nobody_too = !wine && getuid() == 0;
  enum There { kNothing, kOldDump, kLink, kFolder, kRootsLink };
  const struct {
    There there;
    std::string logged;
  } cases[] = {{kNothing, " captured to " + named},
               {kOldDump, " captured to " + named},
               {kLink, " captured to " + named},
               {kFolder, ", no dump written to " + named + " (error " + (wine ? "5" : "21") +
                             " removing what is there)"},
               {kRootsLink, ", no dump written to " + named + " (error 1 removing what is there)"}};
  for (const auto& [there, logged] : cases) {
    // Wine follows a Unix link in every call, DeleteFile's included: no Windows link to plant.
    if ((there == kRootsLink && !as_nobody_too) || (there == kLink && wine)) continue;
    SCOPED_TRACE(there);
    fs::remove_all(dump);
    fs::remove(data / "orv.log");
    std::ofstream(target, std::ios::binary) << "kept";
    if (there == kOldDump) std::ofstream(dump, std::ios::binary) << "old";
    if (there == kLink || there == kRootsLink) fs::create_symlink(target, dump);
    if (there == kFolder) fs::create_directories(dump);
    std::vector<std::string> argv = {
        environment("ORV_TOOLS_DIR") + "/crash_tool" + (wine ? ".exe" : ""),
        wine ? "C:\\ProgramData\\orv" : data.string()};
    if (there == kRootsLink) {  // nobody writes the log in its own folder
      argv.insert(argv.begin(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
      fs::permissions(data, fs::perms::all);
    }
    Child crashed = spawn_child(argv, {}, out.string());
    EXPECT_GT(wait_child(crashed, kStartMs), 0);  // -1: it hung
    expect_logged({fault + logged});
    EXPECT_EQ(read_text(target.string()), "kept");
    const bool written = logged.starts_with(" captured");
    EXPECT_EQ(fs::is_regular_file(fs::symlink_status(dump)) && fs::file_size(dump) > 0, written);
    if (!written || wine) continue;
    EXPECT_TRUE(has(read_text(dump.string()), "signal 11 (SEGV)\naddress 0x"));
    EXPECT_EQ(fs::status(dump).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(
        std::regex_search(log(), std::regex(R"(\r\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )" +
                                            fault + R"( captured to /var/tmp/orv\.dmp\r\n$)")))
        << log();
  }
  fs::remove_all(dump);
}

}  // namespace
}  // namespace orv_test
