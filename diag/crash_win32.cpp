// Unhandled exceptions on Windows: a minidump to c:\orv.dmp and one log line.
#include <windows.h>

#include <dbghelp.h>
#include <sddl.h>

#include "diag/crash.h"
#include "diag/log.h"

namespace orv {

const char* const kCrashDumpPath = "c:\\orv.dmp";
// Owner Administrators; SYSTEM and Administrators alone, nothing inherited from C:\, whose
// entries let every user read what is created there.
const char kCrashDumpSddl[] = "O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

namespace {
SECURITY_ATTRIBUTES g_dump_security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};

LONG WINAPI crash_filter(EXCEPTION_POINTERS* pointers) {
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = GetCurrentThreadId();
  exception.ExceptionPointers = pointers;
  exception.ClientPointers = TRUE;
  // Made fresh, never through what was there: DeleteFile removes a file or a link itself (never
  // a folder), and CREATE_NEW refuses whatever is put back meanwhile.
  DWORD error = 0;
  const bool removing = !DeleteFileA(kCrashDumpPath) && GetLastError() != ERROR_FILE_NOT_FOUND;
  if (removing) error = GetLastError();
  bool written = false;
  // Without its descriptor (made at start) the dump is not written: C:\ would let users read it.
  HANDLE file = removing || g_dump_security.lpSecurityDescriptor == nullptr
                    ? INVALID_HANDLE_VALUE
                    : CreateFileA(kCrashDumpPath, GENERIC_WRITE, 0, &g_dump_security, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (!removing)
      error = g_dump_security.lpSecurityDescriptor == nullptr ? ERROR_INVALID_SECURITY_DESCR
                                                              : GetLastError();
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
                "Exception with code %04x, no dump written to c:\\orv.dmp (error %d%s)", code,
                static_cast<int>(error), removing ? " removing what is there" : "");
  }
  return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

void install_crash_filter() {
  // Kept for the life of the process; a crash is no time to build it.
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          kCrashDumpSddl, SDDL_REVISION_1, &g_dump_security.lpSecurityDescriptor, nullptr)) {
    g_dump_security.lpSecurityDescriptor = nullptr;
  }
  SetUnhandledExceptionFilter(crash_filter);
}

}  // namespace orv
