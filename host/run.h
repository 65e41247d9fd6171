// The run sequence shared by the console and the service: start, loop, stop.
#pragma once

#include <string>

namespace orv {

// The folder of orv.conf and orv.log. Never empty.
std::string find_data_folder();
// Starts the relay, turns relay passes until a stop signal, stops it. Every failure is logged.
void run_relay();
// True while the relay should go on: RunFlag set and no service stop requested.
bool keep_running();
// Clears RunFlag; safe from a signal handler or another thread.
void clear_run_flag();

// Platform parts of the run sequence.
void use_binary_files();                 // no CR LF translation from here on
void install_console_stop_handler();     // console stop events clear RunFlag
[[noreturn]] void end_console_process();  // exit code 0, without exit processing

}  // namespace orv
