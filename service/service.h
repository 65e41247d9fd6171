// The service integration: registration, dispatch, status reports, the stop and reload controls.
#pragma once

#include <cstdint>

namespace orv {

// Service states and accepted controls, as the Windows service manager numbers them.
enum ServiceState : std::uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};
constexpr std::uint32_t kAcceptStop = 1;
constexpr std::uint32_t kAcceptParamChange = 8;  // the reload control
constexpr std::uint32_t kWaitHintStartMs = 3000;
// A failed start: ERROR_SERVICE_SPECIFIC_ERROR with our own code 1, so that the manager counts
// it as a failure and its recovery actions apply.
constexpr std::uint32_t kErrorServiceSpecific = 1066;
constexpr std::uint32_t kStartFailedCode = 1;

// One status report, whole.
struct ServiceReport {
  std::uint32_t state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t exit_code = 0;
  std::uint32_t service_exit_code = 0;  // meaningful with kErrorServiceSpecific
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;
};

// Fills and sends one report: no control accepted while starting, the stop and reload controls
// while running, the stop control otherwise; check-points counted up from 1 across the whole
// process for pending states, 0 otherwise. Reports from the two threads are built and sent one
// at a time.
void report_service_status(std::uint32_t state, std::uint32_t exit_code, std::uint32_t wait_hint,
                           std::uint32_t service_exit_code = 0);
// Where reports go (the service manager, or systemd's notify socket); tests replace it.
using ServiceReportSender = void (*)(const ServiceReport& report);
void set_service_report_sender(ServiceReportSender sender);
// The state of the latest report.
std::uint32_t current_service_state();

// "install": registers the service; prints the outcome on standard output. False on failure.
bool install_service();
// How the service dispatch ended.
enum class DispatchResult {
  kServed,       // the service ran and stopped
  kStartFailed,  // the service started but the relay did not; reported to the manager
  kNoManager,    // no service manager to talk to (started by hand); reported to the event log
};
// Any other mode: hands the process to the service manager; returns when the service stopped.
DispatchResult service_dispatch();
// The stop control: reports stop pending, signals the stop, reports again.
void service_stop_control();
// "reload": sends the reload control to the installed service; prints the outcome on standard
// output. False on failure.
bool send_reload_control();
// A reload begins or has ended: systemd hears RELOADING=1 and then READY=1. The Windows
// service manager knows no such state, and a console has no manager: nothing is sent.
void service_report_reload(bool begins);

// True when the relay runs as a service (the stop event exists).
bool service_mode();
// True once the stop control has been received.
bool service_stop_requested();
// After each relay pass: tells systemd's watchdog, at most once a second, that the loop turns.
// Nothing on Windows.
void service_after_pass();
// The relay is up: reported to the manager.
inline void service_report_running() { report_service_status(kServiceRunning, 0, 0); }

}  // namespace orv
