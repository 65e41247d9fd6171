// Fatal signals on POSIX: a text dump to /var/tmp/orv.dmp, one log line, then the default action.
// The handler uses async-signal-safe calls alone: it formats its own text into fixed buffers, and
// allocates, locks and reads the time zone never, so a fault inside malloc or stdio cannot hang it.
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "diag/console.h"
#include "diag/crash.h"
#include "diag/log.h"

namespace orv {

const char* const kCrashDumpPath = "/var/tmp/orv.dmp";

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
alignas(16) char g_alternate_stack[64 * 1024];  // a stack overflow still gets its dump

// Text in a fixed buffer; what does not fit is dropped.
struct Text {
  char bytes[512];
  std::size_t length = 0;

  Text& add(const char* text) {
    while (*text != 0 && length < sizeof bytes) bytes[length++] = *text++;
    return *this;
  }
  Text& add(std::uint64_t value, int min_digits = 1, unsigned base = 10) {
    char digits[24];
    int count = 0;
    while ((value != 0 || count < min_digits) && count < 24) {
      digits[count++] = "0123456789abcdef"[value % base];
      value /= base;
    }
    while (count > 0 && length < sizeof bytes) bytes[length++] = digits[--count];
    return *this;
  }
};

void write_all(int fd, const Text& text) {
  for (std::size_t done = 0; done < text.length;) {
    const ssize_t n = ::write(fd, text.bytes + done, text.length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a crash has no better place for what does not fit
    done += static_cast<std::size_t>(n);
  }
}

// "YYYY-MM-DD hh:mm:ss.mmm " in local time, as log lines start: the clock and the zone offset
// that the latest log line found, converted by arithmetic alone.
void add_timestamp(Text& text) {
  using namespace std::chrono;
  timespec now{};
  (void)::clock_gettime(CLOCK_REALTIME, &now);  // cannot fail for this clock
  const sys_seconds local{seconds{now.tv_sec + log_utc_offset_seconds()}};
  const sys_days day = floor<days>(local);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{local - day};
  text.add(static_cast<std::uint64_t>(static_cast<int>(date.year())), 4).add("-");
  text.add(static_cast<unsigned>(date.month()), 2).add("-");
  text.add(static_cast<unsigned>(date.day()), 2).add(" ");
  text.add(time.hours().count(), 2).add(":").add(time.minutes().count(), 2).add(":");
  text.add(time.seconds().count(), 2).add(".").add(now.tv_nsec / 1000000, 3).add(" ");
}

// Made fresh, never through what was there: that is removed first (a link itself, never what it
// points to), and O_EXCL | O_NOFOLLOW refuse whatever is put back meanwhile. Readable by the
// relay's own user alone. On failure `error` is the errno and `removing` says which step failed.
bool write_dump(int signal_number, const siginfo_t* info, int& error, bool& removing) {
  removing = ::unlink(kCrashDumpPath) != 0 && errno != ENOENT;
  const int fd =
      removing ? -1
               : ::open(kCrashDumpPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = errno;
    return false;
  }
  Text text;
  const char* name = sigabbrev_np(signal_number);
  text.add("signal ").add(signal_number).add(" (").add(name != nullptr ? name : "?").add(")\n");
  text.add("address 0x")
      .add(reinterpret_cast<std::uintptr_t>(info != nullptr ? info->si_addr : nullptr), 1, 16);
  text.add("\nthread ").add(static_cast<std::uint64_t>(::syscall(SYS_gettid)));
  text.add("\nprocess ").add(static_cast<std::uint64_t>(::getpid())).add("\nbacktrace:\n");
  write_all(fd, text);
  void* frames[64];
  const int count = backtrace(frames, 64);
  backtrace_symbols_fd(frames, count, fd);
  if (::close(fd) == 0) return true;
  error = errno;
  return false;
}

// The line, on standard error and appended to orv.log when that is a regular file of ours.
// Rotation waits for the next start.
void log_crash(Text& line) {
  if (line.length > sizeof line.bytes - 2) line.length = sizeof line.bytes - 2;  // for CR LF
  write_console(line.add("\n").bytes, line.length);
  --line.length;
  line.add("\r\n");
  const int fd = ::open(log_path_in_fixed_memory(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return;
  struct stat status{};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1) {
    write_all(fd, line);
  }
  (void)::close(fd);  // nothing more to do for the line
}

void crash_handler(int signal_number, siginfo_t* info, void*) {
  const int saved = errno;
  int error = 0;
  bool removing = false;
  const bool written = write_dump(signal_number, info, error, removing);
  Text line;  // on the alternate stack, set up at start
  add_timestamp(line);
  line.add("Exception with code ").add(static_cast<unsigned>(signal_number), 4, 16);
  if (written) {
    line.add(" captured to ").add(kCrashDumpPath);
  } else {
    line.add(", no dump written to ").add(kCrashDumpPath).add(" (error ").add(error);
    line.add(removing ? " removing what is there)" : ")");
  }
  log_crash(line);
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
  (void)log_local_time();  // learns the zone's offset from UTC, which the handler cannot
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
