// The library's version, "MAJOR.MINOR.PATCH", the one the build system's project
// declares (also in the CMake package, pkg-config and the sonames).
#pragma once

namespace orvane::api {

const char* Version();

}  // namespace orvane::api
