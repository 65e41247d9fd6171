// What the event viewer shows for an entry of the source "ORV": the text, in the message file the
// registry names, of the entry's identifier, with "ORV" and argv[1] as insertion strings.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  char file[MAX_PATH] = "", text[1024];
  DWORD size = sizeof file;
  const char* strings[2] = {"ORV", argc == 2 ? argv[1] : ""};
  // A REG_EXPAND_SZ comes back expanded, as the viewer reads it; none leaves the name empty.
  RegGetValueA(HKEY_LOCAL_MACHINE,
               "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ORV",
               "EventMessageFile", RRF_RT_REG_SZ, nullptr, file, &size);
  HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr ||
      FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                     0xC0020001, 0, text, sizeof text,
                     reinterpret_cast<va_list*>(const_cast<char**>(strings))) == 0) {
    std::printf("no text in '%s' (%lu)\n", file, GetLastError());
    return 1;
  }
  std::printf("%s", text);
}
