// Windows parts of the run sequence: the data folder, console control, the end of the console mode.
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

void use_binary_files() { _fmode = _O_BINARY; }

void install_console_stop_handler() { SetConsoleCtrlHandler(console_control_handler, TRUE); }

void end_console_process() {
  TerminateProcess(GetCurrentProcess(), 0);
  for (;;) Sleep(INFINITE);  // TerminateProcess does not return for the calling process
}

}  // namespace orv
