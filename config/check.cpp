// `orv check`: a configuration read as a start would read it, with a reason for each line that
// is rejected, looks misspelt or holds more than is used.
#include <string>
#include <vector>

#include "config/config.h"

namespace orv {
namespace {

const char* verdict(FindingKind kind) {
  switch (kind) {
    case FindingKind::kRejected:
    case FindingKind::kDuplicate:
      return "rejected";
    case FindingKind::kMisspelt:
      return "ignored";
    case FindingKind::kUnused:
      break;
  }
  return "accepted";
}

}  // namespace

int check_config(const std::string& path, std::FILE* out) {
  std::string text, error;
  if (!read_config_file(path, text, error)) {
    std::fprintf(out, "%s\n", error.c_str());
    return 1;
  }
  Config config;
  std::vector<ConfigFinding> findings;
  read_config(config, text, findings);
  int rejected = 0;
  for (const ConfigFinding& finding : findings) {
    const bool rejects =
        finding.kind == FindingKind::kRejected || finding.kind == FindingKind::kDuplicate;
    rejected += rejects ? 1 : 0;
    std::fprintf(out, "%s:%d: '%s' %s: %s\n", path.c_str(), finding.line, finding.text.c_str(),
                 verdict(finding.kind), finding.reason.c_str());
  }
  std::fprintf(out, "%s: %zu mappings, active-mode port %d, rejected lines: %d, warnings: %zu\n",
               path.c_str(), config.mappings.size(), config.active_mode_port, rejected,
               findings.size() - static_cast<std::size_t>(rejected));
  return rejected == 0 ? 0 : 1;
}

}  // namespace orv
