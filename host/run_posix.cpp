// POSIX parts of the process and the run sequence: standard descriptors, SIGPIPE, the data folder
// and configuration path, stop signals, the end of the console mode.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "host/run.h"

namespace orv {
namespace {
void on_console_signal(int) { clear_run_flag(); }
void on_reload_signal(int) { request_reload(); }
}  // namespace

void prepare_process() {
  // A descriptor 0, 1 or 2 left closed by whoever started us would go to the next file or socket
  // we open, and the log would then be written to it: a client would receive other devices'
  // identifiers and addresses. Hold all three open on /dev/null instead.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open takes the lowest free descriptor, which is fd, as the lower ones are open by now.
    // Without a /dev/null there is nothing better to put there.
    (void)::open("/dev/null", O_RDWR);
  }
  // A reader of standard error that went away must not end the relay on its next log line;
  // the write then fails with EPIPE and the line is in orv.log all the same.
  (void)::signal(SIGPIPE, SIG_IGN);  // cannot fail for a valid signal and disposition
}

std::string find_data_folder() {
  // What systemd sets for a unit with StateDirectory=orv.
  const char* state = std::getenv("STATE_DIRECTORY");
  if (state != nullptr && state[0] != 0) return state;
  return "/var/lib/orv";
}

std::string find_config_path(const std::string& data_folder) {
  // What systemd sets for a unit with ConfigurationDirectory=orv: absolute paths separated by
  // colons, ours first.
  const char* directories = std::getenv("CONFIGURATION_DIRECTORY");
  if (directories != nullptr && directories[0] != 0 && directories[0] != ':') {
    std::string first(directories);
    return first.substr(0, first.find(':')) + "/orv.conf";
  }
  // A data folder of one's own (a trial run, scripts/run.sh) brings its own orv.conf; otherwise
  // `orv run` and `orv check` read what the service reads.
  const char* state = std::getenv("STATE_DIRECTORY");
  if (state != nullptr && state[0] != 0) return data_folder + "/orv.conf";
  return "/etc/orv/orv.conf";
}

void use_binary_files() {}  // POSIX files never translate line ends

// systemd makes the folder for the unit, its own user's alone; and the log never writes through a
// link (diag/log_file_posix.cpp).
bool data_folder_is_private(const std::string&) { return true; }

void install_console_stop_handler() {
  struct sigaction action{};
  action.sa_handler = on_console_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM}) sigaction(signal_number, &action, nullptr);
}

void install_reload_handler() {
  struct sigaction action{};
  action.sa_handler = on_reload_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGHUP, &action, nullptr);
}

void end_console_process(int exit_code) { ::_exit(exit_code); }

}  // namespace orv
