// Standard error on Windows: the C runtime's stream, as a console or a file takes it.
#include <cstdio>

#include "diag/console.h"

namespace orv {

// A pipe here that nobody drains can still hold the writer: Windows offers no way to ask a
// pipe for room without reading it. A service has no standard error at all.
void write_console(const char* text, std::size_t length) {
  (void)std::fwrite(text, 1, length, stderr);  // a console that cannot take it loses the line
  (void)std::fflush(stderr);
}

}  // namespace orv
