// ToolOptions: routing of the tool's "key=value" options to the library. Keys the
// file IO schema knows (index.path, io.*) become IOOptions; the rest go to the builder,
// searcher or search, normalized by the library exactly as its C interface does. Keys
// that the chosen kind's schema does not know are refused (api::CheckKnownOptionKeys):
// the library would only log and ignore them, and a mistyped key on a command line
// should not go unnoticed.
#pragma once

#include <string>

#include "CommandLine.h"
#include "orvane/api/OptionNormalize.h"
#include "orvane/api/Options.h"
#include "orvane/core/Result.h"

namespace orvane::tools {

// Moves the entries whose keys the IO schema knows from `options` into the result.
inline TextOptions TakeIoOptions(TextOptions& options) {
    return api::TakeIOOptions(options);
}

// Typed IOOptions from text IO options with index.path set to `path`; unknown IO keys
// and bad values are refused.
inline core::Result<api::IOOptions> MakeIoOptions(const TextOptions& io, const std::string& path) {
    return api::NormalizeIOOptions(io, path);
}

}  // namespace orvane::tools
