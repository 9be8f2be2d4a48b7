// IndexPath: the file path an index file is written to or read from, taken from
// the path of the IO settings ("index.path"). Both the writer and the reader
// factories resolve it here, so they accept and refuse the same options.
#pragma once

#include <string>

#include "orvane/core/Result.h"
#include "orvane/core/Status.h"
#include "orvane/io/IOSettings.h"

namespace orvane::io {

// The path, or InvalidArgument when "index.path" is absent or not a string.
inline core::Result<std::string> IndexPath(const IOSettings& settings) {
    if (!settings.path.has_value()) {
        return core::Status(core::ErrorCode::InvalidArgument,
                            "File path not specified in IOOptions");
    }
    return *settings.path;
}

}  // namespace orvane::io
