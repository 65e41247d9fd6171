// POSIX parts of the run sequence: the data folder, stop signals, the end of the console mode.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "host/run.h"

namespace orv {
namespace {
void on_console_signal(int) { clear_run_flag(); }
}  // namespace

std::string find_data_folder() {
  // What systemd sets for a unit with StateDirectory=orv.
  const char* state = std::getenv("STATE_DIRECTORY");
  if (state != nullptr && state[0] != 0) return state;
  return "/var/lib/orv";
}

void use_binary_files() {}  // POSIX files never translate line ends

void install_console_stop_handler() {
  struct sigaction action{};
  action.sa_handler = on_console_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

void end_console_process() { ::_exit(0); }

}  // namespace orv
