// The seconds clock, which tests can pin so that time limits are tested without waiting.
#include <atomic>
#include <chrono>

#include "net/net.h"

namespace orv {
namespace {
std::atomic<bool> g_pinned{false};
std::atomic<std::int64_t> g_pinned_seconds{0};
}  // namespace

std::int64_t clock_seconds() {
  if (g_pinned.load()) return g_pinned_seconds.load();
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  using std::chrono::system_clock;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

void clock_pin(std::int64_t seconds) {
  g_pinned_seconds.store(seconds);
  g_pinned.store(true);
}

void clock_release() { g_pinned.store(false); }

}  // namespace orv
