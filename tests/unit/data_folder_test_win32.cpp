// The descriptors the relay applies on Windows, and who else the start's check finds able to
// change a folder, fed descriptors as SDDL (Wine keeps none on files).
#include <gtest/gtest.h>

#include "diag/crash.h"
#include "host/data_folder.h"

namespace orv {
namespace {

TEST(DataFolder, AppliesWhatItsStartAcceptsAndRefusesEveryOtherWriter) {
  const std::pair<const char*, std::string> rows[] = {
      {kDataFolderSddl, ""},
      {kCrashDumpSddl, ""},
      // Users may read and run; CREATOR OWNER's entry reaches only what is made inside.
      {"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;FA;;;CO)", ""},
      // C:\ProgramData's entry for Users, kept by a folder that inherits: add files, folders.
      {"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;CIID;0x116;;;BU)", "S-1-5-32-545"},
      {"O:BAD:P(A;OICI;FA;;;SY)(A;;0x40000;;;AU)", "S-1-5-11"},  // may rewrite the entries
      {"O:BAD:(D;;FA;;;BU)(A;;FA;;;WD)", "S-1-1-0"},             // a denial does not make safe
      {"O:S-1-5-21-7-8-9-1001D:P(A;;FA;;;SY)", "owner S-1-5-21-7-8-9-1001"},
      {"O:BA", "everyone (no access list)"},
      {"not a descriptor", "an invalid descriptor"},
  };
  for (const auto& [sddl, writer] : rows) EXPECT_EQ(data_folder_writer(sddl), writer) << sddl;
  EXPECT_STREQ(kDataFolderSddl, "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

}  // namespace
}  // namespace orv
