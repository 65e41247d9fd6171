// Reads orv.conf into the relay state: the active-mode port and the mappings in file order.
#pragma once

#include <string>

#include "relay/relay.h"

namespace orv {

// Reads the configuration file once into a fresh state. False only when the file cannot be
// opened (logged with the path and the system's reason); bad lines are logged and skipped.
bool load_config(RelayState& state, const std::string& config_path);

// Returns the next whitespace-separated token of a NUL-terminated line and advances the cursor
// to the byte that ended it. At the end it returns "" and leaves the cursor on the NUL.
std::string next_token(const char*& cursor);

// A port operand: sign and leading decimal digits, saturated to 32 bits; 0 without digits.
int convert_port(const std::string& token);

}  // namespace orv
