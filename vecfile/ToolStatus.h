// Status helpers shared by the tool's commands and file readers: an invalid input,
// an invalid file (the message starts with the file's path) and a library failure
// with what the tool was doing put in front of the library's own message.
#pragma once

#include <string>
#include <utility>

#include "orvane/core/Status.h"

namespace orvane::tools {

inline core::Status InvalidInput(std::string msg) {
    return core::Status(core::ErrorCode::InvalidArgument, std::move(msg));
}

inline core::Status InvalidFile(const std::string& path, const std::string& what) {
    return InvalidInput(path + ": " + what);
}

inline core::Status WithContext(const core::Status& status, const std::string& what) {
    return core::Status(status.Code(), what + ": " + status.Message());
}

}  // namespace orvane::tools
