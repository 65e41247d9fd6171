// Fatal signals on POSIX: a text dump to /var/tmp/orv.dmp, one log line, then the default action.
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/crash.h"
#include "diag/log.h"

namespace orv {

const char* const kCrashDumpPath = "/var/tmp/orv.dmp";

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
alignas(16) char g_alternate_stack[64 * 1024];  // a stack overflow still gets its dump

void write_text(int fd, const char* text) { (void)!::write(fd, text, std::strlen(text)); }

// snprintf is not on the async-signal-safe list, but glibc's integer formatting takes no lock
// and allocates nothing; a crashing process accepts that small risk for a readable dump.
bool write_dump(int signal_number, const siginfo_t* info) {
  int fd = ::open(kCrashDumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  char line[256];
  std::snprintf(line, sizeof line, "signal %d (%s)\naddress %p\nthread %ld\nprocess %ld\n",
                signal_number, sigabbrev_np(signal_number), info != nullptr ? info->si_addr : nullptr,
                static_cast<long>(::syscall(SYS_gettid)), static_cast<long>(::getpid()));
  write_text(fd, line);
  write_text(fd, "backtrace:\n");
  void* frames[64];
  int count = backtrace(frames, 64);
  backtrace_symbols_fd(frames, count, fd);
  return ::close(fd) == 0;
}

void crash_handler(int signal_number, siginfo_t* info, void*) {
  int saved = errno;
  bool written = write_dump(signal_number, info);
  int error = errno;
  if (written) {
    log_message(kSeverityFailure, "Exception with code %04x captured to /var/tmp/orv.dmp",
                static_cast<unsigned>(signal_number));
  } else {
    log_message(kSeverityFailure,
                "Exception with code %04x, no dump written to /var/tmp/orv.dmp (error %d)",
                static_cast<unsigned>(signal_number), error);
  }
  errno = saved;
  // SA_RESETHAND restored the default action: raising again ends the process the usual way,
  // with a core dump where the system keeps them.
  raise(signal_number);
}

}  // namespace

void install_crash_filter() {
  // backtrace() loads its unwinder on first use; do that now rather than inside a crash.
  void* frame[1];
  (void)backtrace(frame, 1);
  stack_t stack{};
  stack.ss_sp = g_alternate_stack;
  stack.ss_size = sizeof g_alternate_stack;
  (void)sigaltstack(&stack, nullptr);  // without it only a stack overflow loses its dump
  struct sigaction action{};
  action.sa_sigaction = crash_handler;
  action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kFatalSignals) sigaction(signal_number, &action, nullptr);
}

}  // namespace orv
