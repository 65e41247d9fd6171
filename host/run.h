// The run sequence shared by the console and the service: start, loop, stop.
#pragma once

#include <string>

#include "diag/version.h"

namespace orv {

struct RelayState;
struct StatusServer;

// The folder of orv.conf and orv.log. Never empty.
std::string find_data_folder();
// The configuration file, the same for every mode: on Linux the first folder of systemd's
// CONFIGURATION_DIRECTORY, else the data folder when STATE_DIRECTORY names one, else /etc/orv;
// on Windows the data folder.
std::string find_config_path(const std::string& data_folder);
// Starts the relay, turns relay passes until a stop signal, stops it. Every failure is logged.
// False when the start failed; `failure`, when given, then names it as it was logged.
bool run_relay(const char** failure = nullptr);
// True while the relay should go on: RunFlag set and no service stop requested.
bool keep_running();
// Clears RunFlag; safe from a signal handler or another thread.
void clear_run_flag();
// Asks the run loop to read the configuration again between two passes; safe from a signal
// handler or another thread.
void request_reload();
// Reads the configuration file again and applies it to the relay and the status listener,
// telling the service manager; logs one line saying what changed, or why nothing did.
void reload_relay(RelayState& state, StatusServer& status);

// Platform parts of the process and the run sequence.
void prepare_process();               // before anything opens a file: see the platform file
void use_binary_files();              // no CR LF translation from here on
void install_console_stop_handler();  // console stop events clear RunFlag
void install_reload_handler();        // SIGHUP asks for a reload; nothing on Windows
// True unless others than SYSTEM, Administrators and the relay's own account may change the
// data folder (Windows; logged with who may). A missing folder passes: orv.conf's read fails.
bool data_folder_is_private(const std::string& folder);
[[noreturn]] void end_console_process(int exit_code);  // without exit processing

}  // namespace orv
