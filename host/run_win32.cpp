// Windows parts of the run sequence: the data folder and configuration path, console control,
// the end of the console mode.
#include <windows.h>

#include <fcntl.h>
#include <stdlib.h>

#include <cstring>

#include "host/run.h"

namespace orv {
namespace {
BOOL WINAPI console_control_handler(DWORD) {
  clear_run_flag();  // every console event alike
  return TRUE;
}
using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPSTR);
constexpr int kCommonAppDataCreate = 0x8023;
}  // namespace

std::string find_data_folder() {
  HMODULE shell = LoadLibraryA("shell32.dll");  // kept loaded for the life of the process
  if (shell == nullptr) return "c:\\";
  auto get_folder_path =
      reinterpret_cast<GetFolderPath>(reinterpret_cast<void*>(GetProcAddress(shell, "SHGetFolderPathA")));
  if (get_folder_path == nullptr) return "c:\\";
  char folder[MAX_PATH] = {};
  if (get_folder_path(nullptr, kCommonAppDataCreate, nullptr, 0, folder) != S_OK) return "c:\\";
  // The folder and "\orv" must fit MAX_PATH with its NUL; a longer one falls back as well.
  constexpr char kSuffix[] = "\\orv";
  if (strnlen(folder, sizeof folder) + sizeof kSuffix > sizeof folder) return "c:\\";
  return std::string(folder) + kSuffix;
}

// Sockets are handles here, never C runtime descriptors, so a missing standard stream cannot
// send the log to a peer; and there is no SIGPIPE.
void prepare_process() {}

std::string find_config_path(const std::string& data_folder) {
  return data_folder + "\\orv.conf";
}

void use_binary_files() { _fmode = _O_BINARY; }

void install_console_stop_handler() { SetConsoleCtrlHandler(console_control_handler, TRUE); }

void install_reload_handler() {}  // the service's reload control comes through its handler

void end_console_process(int exit_code) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exit_code));
  for (;;) Sleep(INFINITE);  // TerminateProcess does not return for the calling process
}

}  // namespace orv
