// IndexPath: the file path an index file is written to or read from, taken from
// the option "index.path" of the IO options. Both the writer and the reader
// factories resolve it here, so they accept and refuse the same options.
#pragma once

#include <string>
#include <variant>

#include "api/Options.h"
#include "api/Result.h"
#include "api/Status.h"

namespace orvane::io {

// The path, or InvalidArgument when "index.path" is absent or not a string.
inline core::Result<std::string> IndexPath(const api::IOOptions& options) {
    const auto& values = options.Values();
    auto it = values.find("index.path");
    if (it == values.end() || !std::holds_alternative<std::string>(it->second)) {
        return core::Status(core::ErrorCode::InvalidArgument,
                            "File path not specified in IOOptions");
    }
    return std::get<std::string>(it->second);
}

}  // namespace orvane::io
