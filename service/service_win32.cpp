// The Windows service: registration, dispatch, status reports, the stop and reload controls, the
// event log.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "diag/log.h"
#include "host/data_folder.h"
#include "host/run.h"
#include "service/service.h"

namespace orv {
namespace {

constexpr char kServiceName[] = "ORV";
// Its text in the message table of orv.exe (service/messages.mc) is the second insertion string.
constexpr DWORD kFailureEventId = 0xC0020001;
constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ORV";
// Restarts after a failure, crash or failed start alike; the count of failures starts again
// after a day without one.
constexpr DWORD kRestartDelaysMs[] = {10000, 10000, 60000};
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;

SERVICE_STATUS_HANDLE g_status_handle = nullptr;
HANDLE g_stop_event = nullptr;  // exists only under the service manager; never closed
std::atomic<bool> g_start_failed{false};  // set on the service thread, read after the dispatch

void send_to_manager(const ServiceReport& report) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = report.state;
  status.dwControlsAccepted = report.controls_accepted;
  status.dwWin32ExitCode = report.exit_code;
  status.dwServiceSpecificExitCode = report.service_exit_code;
  status.dwCheckPoint = report.check_point;
  status.dwWaitHint = report.wait_hint;
  (void)SetServiceStatus(g_status_handle, &status);  // nothing to do about a refusal
}

void report_event(const char* text) {
  HANDLE source = RegisterEventSourceA(nullptr, kServiceName);
  if (source == nullptr) return;
  const char* strings[2] = {kServiceName, text};
  (void)ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, kFailureEventId, nullptr, 2, 0, strings,
                     nullptr);  // an entry that cannot be written is dropped
  DeregisterEventSource(source);
}

void report_failure_event(const char* name) {
  DWORD error = GetLastError();  // before any other call can change it
  char text[80];
  std::snprintf(text, sizeof text, "%s failed with %lu", name, error);
  report_event(text);
}

void WINAPI service_control_handler(DWORD control) {
  if (control == SERVICE_CONTROL_STOP) service_stop_control();
  if (control == SERVICE_CONTROL_PARAMCHANGE) request_reload();  // applied between two passes
}

void service_worker() {
  g_stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (g_stop_event == nullptr) {
    report_failure_event("CreateEvent");
  } else {
    const char* failure = nullptr;
    if (run_relay(&failure)) {
      report_service_status(kServiceStopped, NO_ERROR, 0);
      return;
    }
    // The log file has the reason; the event log is where an administrator looks first.
    char text[MAX_PATH + 80];
    std::snprintf(text, sizeof text, "%s, the reason is in %s", failure,
                  data_file_path("orv.log").c_str());
    report_event(text);
  }
  g_start_failed.store(true);
  report_service_status(kServiceStopped, kErrorServiceSpecific, 0, kStartFailedCode);
}

void WINAPI service_main(DWORD, LPSTR*) {
  g_status_handle = RegisterServiceCtrlHandlerA(kServiceName, service_control_handler);
  if (g_status_handle == nullptr) {
    report_failure_event("RegisterServiceCtrlHandler");
    g_start_failed.store(true);  // no status can be reported; the exit code still tells
    return;
  }
  set_service_report_sender(send_to_manager);
  report_service_status(kServiceStartPending, NO_ERROR, kWaitHintStartMs);
  service_worker();
}

// The service record beyond CreateServiceA: description and recovery. Prints the failed call.
bool configure_service(SC_HANDLE service) {
  std::string description =
      "TCP rendezvous relay between devices and their clients; orv.conf and orv.log are in " +
      find_data_folder();
  SERVICE_DESCRIPTIONA text{description.data()};
  SC_ACTION actions[std::size(kRestartDelaysMs)];
  for (std::size_t i = 0; i < std::size(kRestartDelaysMs); ++i) {
    actions[i] = SC_ACTION{SC_ACTION_RESTART, kRestartDelaysMs[i]};
  }
  SERVICE_FAILURE_ACTIONSA recovery{kFailureResetSeconds, nullptr, nullptr,
                                    static_cast<DWORD>(std::size(actions)), actions};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text) ||
      !ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &recovery)) {
    std::printf("ChangeServiceConfig2 failed (%lu)\n", GetLastError());
    return false;
  }
  // Without the flag only a crash counts as a failure; with it, also a stop with an exit code,
  // which is how a failed start ends. A system that does not know the setting (Wine answers
  // ERROR_INVALID_PARAMETER, older Windows ERROR_INVALID_LEVEL) keeps the restart after a crash.
  SERVICE_FAILURE_ACTIONS_FLAG on_every_failure{TRUE};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_every_failure)) {
    DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_LEVEL) {
      std::printf("ChangeServiceConfig2 failed (%lu)\n", error);
      return false;
    }
  }
  return true;
}

// The event source, so that the event viewer finds the message table in the program file.
bool register_event_source(const char* program) {
  HKEY key = nullptr;
  LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, &key, nullptr);
  if (error != ERROR_SUCCESS) {
    std::printf("RegCreateKeyEx failed (%ld)\n", error);
    return false;
  }
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  error = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                         reinterpret_cast<const BYTE*>(program),
                         static_cast<DWORD>(std::strlen(program) + 1));
  if (error == ERROR_SUCCESS) {
    error = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&types), sizeof types);
  }
  RegCloseKey(key);
  if (error != ERROR_SUCCESS) {
    std::printf("RegSetValueEx failed (%ld)\n", error);
    return false;
  }
  return true;
}

}  // namespace

void service_stop_control() {
  report_service_status(kServiceStopPending, NO_ERROR, 0);
  if (g_stop_event != nullptr) SetEvent(g_stop_event);
  // The relay thread may have reported the stop already: repeat whatever state it left.
  report_service_status(current_service_state(), NO_ERROR, 0);
}

bool service_mode() { return g_stop_event != nullptr; }

void service_report_reload(bool) {}  // a reload is no state of a Windows service

bool send_reload_control() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    std::printf("OpenSCManager failed (%lu)\n", GetLastError());
    return false;
  }
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_PAUSE_CONTINUE);
  bool sent = false;
  if (service == nullptr) {
    std::printf("OpenService failed (%lu)\n", GetLastError());
  } else {
    SERVICE_STATUS status{};
    sent = ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status) != 0;
    if (sent) {
      std::printf("Reload requested: the service's log says what changed\n");
    } else {
      std::printf("ControlService failed (%lu)\n", GetLastError());
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return sent;
}

void service_after_pass() {}  // the service manager has no watchdog to tell

bool service_stop_requested() {
  return g_stop_event != nullptr && WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0;
}

bool install_service() {
  char program[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  if (length == 0 || length >= sizeof program) {
    std::printf("Cannot install service (%lu)\n", GetLastError());
    return false;
  }
  // First, so that the installer, which runs this on every install, repairs the folder also
  // where the service exists already.
  if (!secure_data_folder(find_data_folder())) return false;
  // Quoted, so that a path with a space cannot start "C:\Program.exe" instead.
  char quoted[MAX_PATH + 2];
  std::snprintf(quoted, sizeof quoted, "\"%s\"", program);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    std::printf("OpenSCManager failed (%lu)\n", GetLastError());
    return false;
  }
  SC_HANDLE service = CreateServiceA(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, quoted, nullptr, nullptr, nullptr,
                                     nullptr, nullptr);
  if (service == nullptr) {
    std::printf("CreateService failed (%lu)\n", GetLastError());
    CloseServiceHandle(manager);
    return false;
  }
  bool installed = configure_service(service) && register_event_source(program);
  // All or nothing: a service without its recovery or its event source is taken back, so that
  // "install" can simply be run again.
  if (installed) {
    std::printf("Service installed successfully\n");
  } else {
    (void)DeleteService(service);  // the failure is printed already; nothing more to say
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return installed;
}

DispatchResult service_dispatch() {
  char name[] = "ORV";
  SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    report_failure_event("StartServiceCtrlDispatcher");
    return DispatchResult::kNoManager;
  }
  return g_start_failed.load() ? DispatchResult::kStartFailed : DispatchResult::kServed;
}

}  // namespace orv
