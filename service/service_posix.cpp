// The systemd service: notify messages as status reports, SIGTERM (or SIGINT) as the stop
// control, the unit.
// SIGHUP, the reload, is the run sequence's in every mode.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/run.h"
#include "net/net.h"
#include "service/service.h"
#include "service/systemd.h"

namespace orv {
namespace {

bool g_service_mode = false;
std::atomic<bool> g_stop_signal{false};  // set by SIGTERM or SIGINT
bool g_stop_reported = false;            // relay thread only
int g_notify_socket = -1;
sockaddr_un g_notify_address{};
socklen_t g_notify_length = 0;
bool g_watchdog = false;  // systemd expects WATCHDOG=1 (WATCHDOG_USEC set)
std::int64_t g_watchdog_sent_ms = INT64_MIN / 2;

void report_failure_event(const char* name, int error) {
  openlog("ORV", LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s failed with %d", name, error);
  closelog();
}

// NOTIFY_SOCKET names a datagram socket; "@" starts an abstract name.
bool open_notify_socket(const char* name) {
  std::size_t length = std::strlen(name);
  if (length == 0 || length >= sizeof g_notify_address.sun_path) {
    errno = EINVAL;
    return false;
  }
  g_notify_address.sun_family = AF_UNIX;
  std::memcpy(g_notify_address.sun_path, name, length);
  if (name[0] == '@') g_notify_address.sun_path[0] = 0;
  g_notify_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  g_notify_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return g_notify_socket >= 0;
}

void send_text(const char* text) {
  // A lost message does not stop the relay; systemd's own timeouts cover it. Nor does a queue
  // that nobody reads: the send never waits for room, which would hold the relay's loop.
  (void)::sendto(g_notify_socket, text, std::strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&g_notify_address), g_notify_length);
}

void send_notify(const ServiceReport& report) {
  const char* text = nullptr;
  switch (report.state) {
    case kServiceStartPending: text = "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000"; break;
    case kServiceRunning: text = "READY=1"; break;
    case kServiceStopPending: text = "STOPPING=1"; break;
    case kServiceStopped: text = "STATUS=Stopped"; break;
    default: return;
  }
  send_text(text);
}

// What sd_watchdog_enabled tests: an interval for this process.
bool watchdog_wanted() {
  const char* interval = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  return interval != nullptr && std::atoll(interval) > 0 &&
         (pid == nullptr || std::atoll(pid) == static_cast<long long>(::getpid()));
}

void on_stop_signal(int) { g_stop_signal.store(true); }

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string systemd_unit_text(const std::string& program_path) {
  // The relay needs its sockets, its configuration, its data folder and, for ports below 1024,
  // one capability; everything else is shut off, so a fault in it reaches no further.
  return "[Unit]\n"
         "Description=ORV TCP rendezvous relay\n"
         "Documentation=man:orv(8) man:orv.conf(5)\n"
         "After=network.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=\"" + program_path + "\"\n"
         "# A file that `orv check` rejects is not applied: the reload fails and says why\n"
         "ExecReload=\"" + program_path + "\" check\n"
         "ExecReload=/bin/kill -HUP $MAINPID\n"
         "Restart=on-failure\n"
         "# A relay loop that stops turning is restarted\n"
         "WatchdogSec=30\n"
         "# orv.conf in /etc/orv; orv.log in /var/lib/orv\n"
         "ConfigurationDirectory=orv\n"
         "StateDirectory=orv\n"
         "# No root: a user allocated at start, allowed to bind ports below 1024 and no more\n"
         "DynamicUser=yes\n"
         "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
         "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
         "NoNewPrivileges=yes\n"
         "UMask=0077\n"
         "ProtectSystem=strict\n"
         "ProtectHome=yes\n"
         "PrivateTmp=yes\n"
         "PrivateDevices=yes\n"
         "PrivateIPC=yes\n"
         "PrivateMounts=yes\n"
         "ProtectHostname=yes\n"
         "ProtectClock=yes\n"
         "ProtectKernelTunables=yes\n"
         "ProtectKernelModules=yes\n"
         "ProtectKernelLogs=yes\n"
         "ProtectControlGroups=yes\n"
         "ProtectProc=invisible\n"
         "ProcSubset=pid\n"
         "# IPv4 and IPv6 for the relay, local sockets for systemd's notification and syslog\n"
         "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
         "RestrictNamespaces=yes\n"
         "RestrictRealtime=yes\n"
         "RestrictSUIDSGID=yes\n"
         "LockPersonality=yes\n"
         "MemoryDenyWriteExecute=yes\n"
         "RemoveIPC=yes\n"
         "SystemCallArchitectures=native\n"
         "SystemCallFilter=@system-service\n"
         "SystemCallFilter=~@privileged\n"
         "SystemCallErrorNumber=EPERM\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

bool write_systemd_unit(const std::string& dir, const std::string& program_path) {
  std::string unit = dir + "/orv.service";
  int fd = ::open(unit.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;  // EEXIST: an existing unit is never overwritten
  bool written = write_all(fd, systemd_unit_text(program_path));
  int error = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    (void)::unlink(unit.c_str());  // no half-written unit left behind
    errno = error;
    return false;
  }
  std::string wants = dir + "/multi-user.target.wants";
  if (::mkdir(wants.c_str(), 0755) != 0 && errno != EEXIST) return false;
  std::string link = wants + "/orv.service";
  return ::symlink(unit.c_str(), link.c_str()) == 0 || errno == EEXIST;
}

void service_stop_control() {
  report_service_status(kServiceStopPending, 0, 0);
  g_stop_signal.store(true);
}

bool service_mode() { return g_service_mode; }

bool send_reload_control() {
  std::printf("Cannot reload from here: use systemctl reload orv, or send SIGHUP to the relay\n");
  return false;
}

void service_report_reload(bool begins) {
  if (!g_service_mode) return;
  if (!begins) return send_text("READY=1");
  // The monotonic time of the request lets systemd tell this reload from an earlier one.
  timespec now{};
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  char text[64];
  std::snprintf(text, sizeof text, "RELOADING=1\nMONOTONIC_USEC=%llu",
                static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                    static_cast<unsigned long long>(now.tv_nsec) / 1000ULL);
  send_text(text);
}

void service_after_pass() {
  if (!g_watchdog) return;
  const std::int64_t now = clock_milliseconds();
  if (now - g_watchdog_sent_ms < 1000) return;
  g_watchdog_sent_ms = now;
  send_text("WATCHDOG=1");
}

bool service_stop_requested() {
  if (!g_service_mode || !g_stop_signal.load()) return false;
  if (!g_stop_reported) {
    g_stop_reported = true;
    report_service_status(kServiceStopPending, 0, 0);
  }
  return true;
}

bool install_service() {
  // What sd_booted() tests: without a running systemd the unit would never start, and saying
  // "installed" would mislead.
  struct stat marker{};
  if (::lstat("/run/systemd/system", &marker) != 0 || !S_ISDIR(marker.st_mode)) {
    std::printf("Cannot install service: systemd is not running\n");
    return false;
  }
  char program[4096];
  ssize_t length = ::readlink("/proc/self/exe", program, sizeof program - 1);
  if (length <= 0) {
    std::printf("Cannot install service (%d)\n", errno);
    return false;
  }
  program[length] = 0;
  if (!write_systemd_unit("/etc/systemd/system", program)) {
    std::printf("Cannot install service (%d)\n", errno);
    return false;
  }
  std::printf("Service installed successfully\n");
  return true;
}

DispatchResult service_dispatch() {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || !open_notify_socket(name)) {
    // Not started by systemd: say so where an unattended service's failures are read.
    report_failure_event("NOTIFY_SOCKET", name == nullptr ? ENOENT : errno);
    return DispatchResult::kNoManager;
  }
  g_service_mode = true;
  g_watchdog = watchdog_wanted();
  struct sigaction action{};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // SIGINT too: a service started by hand in a terminal stops in order on Ctrl+C.
  for (int signal_number : {SIGTERM, SIGINT}) sigaction(signal_number, &action, nullptr);
  set_service_report_sender(send_notify);
  report_service_status(kServiceStartPending, 0, kWaitHintStartMs);
  // A failed start ends the process with code 1: systemd shows the unit failed, and
  // Restart=on-failure acts on it.
  if (!run_relay()) {
    report_service_status(kServiceStopped, kErrorServiceSpecific, 0, kStartFailedCode);
    return DispatchResult::kStartFailed;
  }
  report_service_status(kServiceStopped, 0, 0);
  return DispatchResult::kServed;
}

}  // namespace orv
