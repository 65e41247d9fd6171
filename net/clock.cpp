// The clocks, which tests can pin so that time limits are tested without waiting.
#include <atomic>
#include <chrono>
#include <thread>

#include "net/net.h"

namespace orv {
namespace {
std::atomic<bool> g_pinned{false};
std::atomic<std::int64_t> g_pinned_ms{0};
}  // namespace

std::int64_t clock_seconds() {
  if (g_pinned.load()) return g_pinned_ms.load() / 1000;
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  using std::chrono::system_clock;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t clock_milliseconds() {
  if (g_pinned.load()) return g_pinned_ms.load();
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void clock_pin(std::int64_t seconds) { clock_pin_ms(seconds * 1000); }

void clock_pin_ms(std::int64_t milliseconds) {
  g_pinned_ms.store(milliseconds);
  g_pinned.store(true);
}

void clock_release() { g_pinned.store(false); }

void clock_sleep_ms(std::int64_t milliseconds) {
  if (g_pinned.load()) {
    g_pinned_ms.fetch_add(milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace orv
