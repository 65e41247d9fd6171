// The run sequence: data folder, socket library, relay start, the loop with its reloads, relay
// stop.
#include "host/run.h"

#include <atomic>

#include "diag/log.h"
#include "net/net.h"
#include "relay/relay.h"
#include "service/service.h"
#include "status/status.h"

namespace orv {
namespace {
// The one relay of the process. Cleared only by stop signals, from any thread.
RelayState g_relay;
StatusServer g_status;
std::atomic<bool> g_run_flag{true};
std::atomic<bool> g_reload_flag{false};  // set by SIGHUP or the service's reload control
static_assert(std::atomic<bool>::is_always_lock_free, "RunFlag is cleared from signal handlers");
}  // namespace

void clear_run_flag() { g_run_flag.store(false); }
void request_reload() { g_reload_flag.store(true); }

void reload_relay(RelayState& state, StatusServer& status) {
  service_report_reload(true);
  Config config;
  std::string error;
  if (load_config(config, state.config_path, &error)) {
    const ReloadCounts counts = relay_reload(state, std::move(config));
    status_reload(status, state);
    log_message(kSeverityNotice, "Reloaded: %d mappings added, %d removed, %d changed, %d kept",
                counts.added, counts.removed, counts.changed, counts.kept);
  } else {
    log_message(kSeverityFailure, "Not reloaded: %s", error.c_str());  // nothing changed
  }
  service_report_reload(false);
}

bool keep_running() {
  if (service_stop_requested()) {
    g_run_flag.store(false);
    return false;
  }
  return g_run_flag.load();
}

bool run_relay(const char** failure) {
  use_binary_files();
  install_reload_handler();  // a reload asked for while starting follows the start
  std::string folder = find_data_folder();
  set_data_folder(folder);
  std::string config_path = find_config_path(folder);
  const char* failed = nullptr;
  if (!data_folder_is_private(folder)) {
    failed = "Data folder check failed";
  } else if (!net_startup()) {
    failed = "WSAStartup failed";
  } else if (!orv_start(g_relay, config_path)) {
    net_cleanup();
    failed = "orv_start() failed";
  }
  if (failed != nullptr) {
    log_message(kSeverityFailure, "%s", failed);
    if (failure != nullptr) *failure = failed;
    return false;
  }
  // A status listener that cannot open is logged, and the relay goes on without it.
  if (g_relay.config.status_port != 0) (void)status_start(g_status, g_relay);
  if (service_mode()) {
    service_report_running();
  } else {
    install_console_stop_handler();
  }
  log_message(kSeverityNotice, "Started %s", kVersion);
  // A reload takes place between two passes, never inside one.
  while (keep_running()) {
    if (g_reload_flag.exchange(false)) reload_relay(g_relay, g_status);
    relay_cycle(g_relay);
    service_after_pass();
  }
  status_stop(g_status, g_relay);
  relay_stop(g_relay);
  log_message(kSeverityNotice, "Stopped");
  net_cleanup();
  return true;
}

}  // namespace orv
