// Unhandled exceptions on Windows: a minidump to c:\orv.dmp and one log line.
#include <windows.h>

#include <dbghelp.h>

#include "diag/crash.h"
#include "diag/log.h"

namespace orv {

const char* const kCrashDumpPath = "c:\\orv.dmp";

namespace {
LONG WINAPI crash_filter(EXCEPTION_POINTERS* pointers) {
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = GetCurrentThreadId();
  exception.ExceptionPointers = pointers;
  exception.ClientPointers = TRUE;
  DWORD error = 0;
  HANDLE file = CreateFileA(kCrashDumpPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  bool written = false;
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
  } else {
    written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                                MiniDumpWithDataSegs, &exception, nullptr, nullptr) != FALSE;
    if (!written) error = GetLastError();
    CloseHandle(file);
  }
  const unsigned code = pointers->ExceptionRecord->ExceptionCode;
  // Say "captured" only when there is a dump to look at.
  if (written) {
    log_message(kSeverityFailure, "Exception with code %04x captured to c:\\orv.dmp", code);
  } else {
    log_message(kSeverityFailure,
                "Exception with code %04x, no dump written to c:\\orv.dmp (error %d)", code,
                static_cast<int>(error));
  }
  return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

void install_crash_filter() { SetUnhandledExceptionFilter(crash_filter); }

}  // namespace orv
