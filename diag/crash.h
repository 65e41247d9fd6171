// The crash dump: a fault nobody handles leaves a dump file and one log line.
#pragma once

namespace orv {

// Where the dump goes: fixed, independent of the data folder.
extern const char* const kCrashDumpPath;
// Windows: the dump's security descriptor, as SDDL.
extern const char kCrashDumpSddl[];

// Installs the process-wide handler; the first thing the program does.
void install_crash_filter();

}  // namespace orv
