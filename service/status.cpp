// Status reports of the service, shared by the Windows service and the systemd service.
#include <mutex>

#include "service/service.h"

namespace orv {
namespace {
std::mutex g_report_lock;  // the relay thread and the control thread both report
ServiceReport g_status;
std::uint32_t g_next_check_point = 1;
ServiceReportSender g_sender = nullptr;
}  // namespace

void set_service_report_sender(ServiceReportSender sender) {
  std::lock_guard<std::mutex> hold(g_report_lock);
  g_sender = sender;
}

std::uint32_t current_service_state() {
  std::lock_guard<std::mutex> hold(g_report_lock);
  return g_status.state;
}

void report_service_status(std::uint32_t state, std::uint32_t exit_code, std::uint32_t wait_hint,
                           std::uint32_t service_exit_code) {
  std::lock_guard<std::mutex> hold(g_report_lock);
  g_status.state = state;
  g_status.exit_code = exit_code;
  g_status.service_exit_code = service_exit_code;
  g_status.wait_hint = wait_hint;
  g_status.controls_accepted = state == kServiceStartPending ? 0
                              : state == kServiceRunning    ? kAcceptStop | kAcceptParamChange
                                                            : kAcceptStop;
  if (state == kServiceRunning || state == kServiceStopped) {
    g_status.check_point = 0;
  } else {
    g_status.check_point = g_next_check_point++;
  }
  if (g_sender != nullptr) g_sender(g_status);
}

}  // namespace orv
