// Process entry: the crash filter, then one of the three run modes.
#include "diag/crash.h"
#include "host/run.h"
#include "service/service.h"

namespace {
// ASCII letters only: the two mode words are ASCII, and the locale must not matter.
bool same_word(const char* argument, const char* word) {
  for (; *argument != 0 && *word != 0; ++argument, ++word) {
    char a = *argument >= 'A' && *argument <= 'Z' ? static_cast<char>(*argument + 32) : *argument;
    if (a != *word) return false;
  }
  return *argument == 0 && *word == 0;
}
}  // namespace

int main(int argc, char** argv) {
  orv::install_crash_filter();  // first, so every mode and every thread is covered
  const char* mode = argc > 1 ? argv[1] : "";
  if (same_word(mode, "install")) {
    orv::install_service();
  } else if (same_word(mode, "run")) {
    orv::run_relay();
    orv::end_console_process();
  } else {
    orv::service_dispatch();
  }
  return 0;  // in every mode, failures included
}
