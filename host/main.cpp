// Process entry: process hygiene and the crash filter, then one of the run modes or commands.
#include <cstdio>

#include "config/config.h"
#include "diag/crash.h"
#include "diag/log.h"
#include "host/run.h"
#include "service/service.h"

namespace {
// ASCII letters only: the mode words are ASCII, and the locale must not matter.
bool same_word(const char* argument, const char* word) {
  for (; *argument != 0 && *word != 0; ++argument, ++word) {
    char a = *argument >= 'A' && *argument <= 'Z' ? static_cast<char>(*argument + 32) : *argument;
    if (a != *word) return false;
  }
  return *argument == 0 && *word == 0;
}

// For a person who started the program by hand: on standard output when asked for, on standard
// error after no mode or a wrong one.
void print_usage(std::FILE* out) {
  const std::string folder = orv::find_data_folder();
  orv::set_data_folder(folder);
  std::fprintf(out,
               "ORV %s, a TCP rendezvous relay\n"
               "Usage: orv install        registers the service \"ORV\"\n"
               "       orv run            runs the relay in this console until Ctrl+C\n"
               "       orv check [PATH]   checks a configuration file; nothing is applied\n"
               "       orv reload         has the running service read its configuration again\n"
               "       orv --help | --version\n"
               "Without a command the service manager runs it as the service.\n"
               "Configuration: %s\n"
               "Log: %s\n",
               orv::kVersion, orv::find_config_path(folder).c_str(),
               orv::data_file_path("orv.log").c_str());
}
}  // namespace

int main(int argc, char** argv) {
  orv::prepare_process();       // before anything can open a descriptor
  orv::install_crash_filter();  // then at once, so every mode and every thread is covered
  const char* mode = argc > 1 ? argv[1] : "";
  if (same_word(mode, "install")) return orv::install_service() ? 0 : 1;
  if (same_word(mode, "run")) orv::end_console_process(orv::run_relay() ? 0 : 1);
  if (same_word(mode, "check")) {
    return orv::check_config(
        argc > 2 ? argv[2] : orv::find_config_path(orv::find_data_folder()), stdout);
  }
  if (same_word(mode, "reload")) return orv::send_reload_control() ? 0 : 1;
  if (same_word(mode, "--help")) {
    print_usage(stdout);
    return 0;
  }
  if (same_word(mode, "--version")) {
    std::printf("orv %s\n", orv::kVersion);
    return 0;
  }
  switch (orv::service_dispatch()) {
    case orv::DispatchResult::kServed: return 0;
    case orv::DispatchResult::kStartFailed: return 1;
    case orv::DispatchResult::kNoManager: break;
  }
  print_usage(stderr);  // after the dispatch, which reports the failure where a service's are read
  return 1;
}
