// The systemd unit that "install" writes on Linux.
#pragma once

#include <string>

namespace orv {

// The unit for the program at program_path (absolute).
std::string systemd_unit_text(const std::string& program_path);
// Writes dir/orv.service and enables it as `systemctl enable` does (the link in
// dir/multi-user.target.wants), without starting it. Refuses to overwrite an existing unit.
// False with errno set on failure.
bool write_systemd_unit(const std::string& dir, const std::string& program_path);

}  // namespace orv
