// The Windows data folder's permissions: set by "install", checked by every start
// (data_folder_is_private in host/run.h). A folder
// that others may change lets them plant links that turn the LocalSystem relay's writes,
// renames and deletes against files of their choosing.
#pragma once

#include <string>

namespace orv {

// The descriptor the data folder gets, as SDDL: owner Administrators; SYSTEM and Administrators
// with full control, inherited by what is created in it; nothing inherited from above.
extern const char kDataFolderSddl[];

// Creates the folder when missing and gives it, and everything directly in it (a link itself,
// never what it points to), the owner and entries of kDataFolderSddl. Prints the failed call.
bool secure_data_folder(const std::string& folder);

// Who besides SYSTEM, Administrators and the account the relay runs as may change what the
// descriptor `sddl` describes: "owner SID", a SID, or another phrase; "" when nobody may.
std::string data_folder_writer(const char* sddl);

}  // namespace orv
