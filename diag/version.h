// The program's version: CMake's project version, given to the compiler as ORV_VERSION.
#pragma once

namespace orv {

constexpr char kVersion[] = ORV_VERSION;

}  // namespace orv
