// The Windows data folder's descriptor: applied by "install", read back by the start.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "diag/log.h"
#include "host/data_folder.h"
#include "host/run.h"

namespace orv {

const char kDataFolderSddl[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

namespace {

// Rights that let a holder put something into the folder, take something out, or change who may.
constexpr DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr SECURITY_INFORMATION kOwnerAndList =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;

std::string sid_text(PSID sid) {
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "an unreadable SID";
  std::string copy(text);
  LocalFree(text);
  return copy;
}

// The account the process runs as: LocalSystem for the service, the administrator for "run".
bool is_own_account(PSID sid) {
  static union {
    TOKEN_USER user;
    char bytes[256];
  } own{};
  static bool known = [] {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD length = 0;
    const bool read = GetTokenInformation(token, TokenUser, &own, sizeof own, &length);
    CloseHandle(token);
    return read;
  }();
  return known && EqualSid(sid, own.user.User.Sid);
}

bool trusted(PSID sid) {
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || is_own_account(sid);
}

std::string other_writer(PSECURITY_DESCRIPTOR descriptor) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr) {
    return "an unknown owner";
  }
  // An owner may always rewrite the entries.
  if (!trusted(owner)) return "owner " + sid_text(owner);
  BOOL present = FALSE;
  PACL list = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted))
    return "an unreadable list";
  if (!present || list == nullptr) return "everyone (no access list)";
  for (DWORD i = 0; i < list->AceCount; ++i) {
    ACE_HEADER* entry = nullptr;
    if (!GetAce(list, i, reinterpret_cast<void**>(&entry))) return "an unreadable entry";
    if ((entry->AceFlags & INHERIT_ONLY_ACE) != 0) continue;  // only for what is made in it
    switch (entry->AceType) {
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_OBJECT_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        continue;  // grants nothing
      case ACCESS_ALLOWED_ACE_TYPE:
        break;
      default:
        return "an entry of type " + std::to_string(entry->AceType);  // not judged
    }
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = &allowed->SidStart;
    if ((allowed->Mask & kChangeRights) != 0 && !trusted(sid)) return sid_text(sid);
  }
  return "";
}

// Administrators may take over and rewrite any file with these, whatever its entries say.
void enable_owner_privileges() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
  for (const char* name : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME}) {
    TOKEN_PRIVILEGES privilege{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (LookupPrivilegeValueA(nullptr, name, &privilege.Privileges[0].Luid)) {
      // Without it the entries of a hostile file refuse us, and that failure is printed.
      (void)AdjustTokenPrivileges(token, FALSE, &privilege, 0, nullptr, nullptr);
    }
  }
  CloseHandle(token);
}

// Opens the object at path itself, a link included, for rewriting its owner and entries.
DWORD apply(const std::string& path, PSID owner, PACL list) {
  HANDLE handle =
      CreateFileA(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  const DWORD error =
      SetSecurityInfo(handle, SE_FILE_OBJECT, kOwnerAndList, owner, nullptr, list, nullptr);
  CloseHandle(handle);
  return error;
}

}  // namespace

bool secure_data_folder(const std::string& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PSID owner = nullptr;
  PACL list = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kDataFolderSddl, SDDL_REVISION_1,
                                                            &descriptor, nullptr) ||
      !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted)) {
    std::printf("ConvertStringSecurityDescriptorToSecurityDescriptor failed (%lu)\n",
                GetLastError());
    return false;
  }
  enable_owner_privileges();
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  bool secured = false;
  if (!CreateDirectoryA(folder.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
    std::printf("CreateDirectory failed (%lu)\n", GetLastError());
  } else if ((GetFileAttributesA(folder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // Someone else's link in the folder's place: whatever it leads to is no folder of ours.
    std::printf("Data folder %s is a link; remove it and run install again\n", folder.c_str());
  } else if (const DWORD error = apply(folder, owner, list); error != ERROR_SUCCESS) {
    std::printf("SetSecurityInfo failed (%lu)\n", error);
  } else {
    secured = true;
    WIN32_FIND_DATAA entry{};
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    for (bool more = search != INVALID_HANDLE_VALUE; more && secured;
         more = FindNextFileA(search, &entry)) {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      if (const DWORD error = apply(folder + "\\" + name, owner, list); error != ERROR_SUCCESS) {
        std::printf("SetSecurityInfo failed for %s (%lu)\n", name.c_str(), error);
        secured = false;
      }
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
  }
  LocalFree(descriptor);
  if (secured) std::printf("Data folder %s: SYSTEM and Administrators only\n", folder.c_str());
  return secured;
}

std::string data_folder_writer(const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return "an invalid descriptor";
  }
  std::string writer = other_writer(descriptor);
  LocalFree(descriptor);
  return writer;
}

bool data_folder_is_private(const std::string& folder) {
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;  // missing: orv.conf says so next
  std::string writer;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    writer = "whoever may change the link in its place";
  } else if (const DWORD error =
                 GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &descriptor);
             error != ERROR_SUCCESS) {
    writer = "anyone, as far as can be seen (GetNamedSecurityInfo failed with " +
             std::to_string(error) + ")";
  } else {
    writer = other_writer(descriptor);
    LocalFree(descriptor);
  }
  if (writer.empty()) return true;
  log_message(kSeverityFailure,
              "Data folder %s may be changed by %s: run orv install to let only SYSTEM and "
              "Administrators change it",
              folder.c_str(), writer.c_str());
  return false;
}

}  // namespace orv
