// A program that installs the crash handler, logs into the folder it is given, then faults.
#include "diag/crash.h"
#include "diag/log.h"

int main(int argc, char** argv) {
  orv::install_crash_filter();
  if (argc > 1) orv::set_data_folder(argv[1]);
  orv::log_message(orv::kSeverityNotice, "about to fault");
  // An unmapped page that is not null: a null store would be caught by the sanitizer first.
  volatile int* page = reinterpret_cast<volatile int*>(static_cast<unsigned long long>(argc) * 16);
  *page = 1;  // the deliberate fault
}
