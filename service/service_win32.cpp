// The Windows service: registration, dispatch, status reports, the stop control, the event log.
#include <windows.h>

#include <cstdio>

#include "host/run.h"
#include "service/service.h"

namespace orv {
namespace {

constexpr char kServiceName[] = "ORV";
constexpr DWORD kFailureEventId = 0xC0020001;

SERVICE_STATUS_HANDLE g_status_handle = nullptr;
HANDLE g_stop_event = nullptr;  // exists only under the service manager; never closed

void send_to_manager(const ServiceReport& report) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = report.state;
  status.dwControlsAccepted = report.controls_accepted;
  status.dwWin32ExitCode = report.exit_code;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = report.check_point;
  status.dwWaitHint = report.wait_hint;
  (void)SetServiceStatus(g_status_handle, &status);  // nothing to do about a refusal
}

void report_failure_event(const char* name) {
  DWORD error = GetLastError();  // before any other call can change it
  HANDLE source = RegisterEventSourceA(nullptr, kServiceName);
  if (source == nullptr) return;
  char text[80];
  std::snprintf(text, sizeof text, "%s failed with %lu", name, error);
  const char* strings[2] = {kServiceName, text};
  (void)ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, kFailureEventId, nullptr, 2, 0, strings,
                     nullptr);  // an entry that cannot be written is dropped
  DeregisterEventSource(source);
}

void WINAPI service_control_handler(DWORD control) {
  if (control == SERVICE_CONTROL_STOP) service_stop_control();
}

void service_worker() {
  g_stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (g_stop_event != nullptr) run_relay();
  report_service_status(kServiceStopped, NO_ERROR, 0);
}

void WINAPI service_main(DWORD, LPSTR*) {
  g_status_handle = RegisterServiceCtrlHandlerA(kServiceName, service_control_handler);
  if (g_status_handle == nullptr) {
    report_failure_event("RegisterServiceCtrlHandler");
    return;
  }
  set_service_report_sender(send_to_manager);
  report_service_status(kServiceStartPending, NO_ERROR, kWaitHintStartMs);
  service_worker();
}

}  // namespace

void service_stop_control() {
  report_service_status(kServiceStopPending, NO_ERROR, 0);
  if (g_stop_event != nullptr) SetEvent(g_stop_event);
  // The relay thread may have reported the stop already: repeat whatever state it left.
  report_service_status(current_service_state(), NO_ERROR, 0);
}

bool service_mode() { return g_stop_event != nullptr; }

bool service_stop_requested() {
  return g_stop_event != nullptr && WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0;
}

void install_service() {
  char program[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  if (length == 0 || length >= sizeof program) {
    std::printf("Cannot install service (%lu)\n", GetLastError());
    return;
  }
  // Quoted, so that a path with a space cannot start "C:\Program.exe" instead.
  char quoted[MAX_PATH + 2];
  std::snprintf(quoted, sizeof quoted, "\"%s\"", program);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    std::printf("OpenSCManager failed (%lu)\n", GetLastError());
    return;
  }
  SC_HANDLE service = CreateServiceA(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, quoted, nullptr, nullptr, nullptr,
                                     nullptr, nullptr);
  if (service == nullptr) {
    std::printf("CreateService failed (%lu)\n", GetLastError());
    CloseServiceHandle(manager);
    return;
  }
  std::printf("Service installed successfully\n");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

void service_dispatch() {
  char name[] = "ORV";
  SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) report_failure_event("StartServiceCtrlDispatcher");
}

}  // namespace orv
