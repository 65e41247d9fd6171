// Process entry (placeholder until the run modes exist).
#include <cstdio>

int main() {
  std::fputs("orv cannot run yet: the run modes are not built\n", stderr);
  return 0;
}
