// What the event viewer shows for an entry of the source "ORV": the message file named in the
// registry, its text for the entry's identifier, with "ORV" and argv[1] as insertion strings.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  char file[MAX_PATH];
  DWORD size = sizeof file;
  // A REG_EXPAND_SZ comes back expanded, as the viewer reads it.
  LONG error = RegGetValueA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ORV",
                            "EventMessageFile", RRF_RT_REG_SZ, nullptr, file, &size);
  if (error != ERROR_SUCCESS) {
    std::printf("no event source (%ld)\n", error);
    return 1;
  }
  HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    std::printf("cannot load %s (%lu)\n", file, GetLastError());
    return 1;
  }
  const char* strings[2] = {"ORV", argv[1]};
  char text[1024];
  if (FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                     0xC0020001, 0, text, sizeof text,
                     reinterpret_cast<va_list*>(const_cast<char**>(strings))) == 0) {
    std::printf("no text for the identifier (%lu)\n", GetLastError());
    return 1;
  }
  std::printf("%s", text);
  return 0;
}
