// Standard error as the log's console: a line goes out whole or not at all, and never waits.
#pragma once

#include <cstddef>

namespace orv {

// Writes text to standard error without ever blocking the caller: what standard error cannot
// take now is dropped (orv.log keeps every line). Callable from a signal handler.
void write_console(const char* text, std::size_t length);

}  // namespace orv
