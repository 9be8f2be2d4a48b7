// ToolOptions: routing of the tool's "key=value" options to the library. Keys the
// file IO schema knows (index.path, io.*) become IOOptions; the rest go to the builder,
// searcher or search, normalized by the library exactly as its C interface does. Keys
// that the chosen kind's schema does not know are refused here: the library would only
// log and ignore them, and a mistyped key on a command line should not go unnoticed.
#pragma once

#include <string>
#include <string_view>

#include "CommandLine.h"
#include "api/Options.h"
#include "api/Result.h"
#include "schema/OptionSchema.h"

namespace orvane::tools {

// Moves the entries whose keys the IO schema knows from `options` into the result.
TextOptions TakeIoOptions(TextOptions& options);

// Fails with "Unknown option key: KEY (the demo builder knows: ...)" for the first key
// (in sorted order, so the message is stable) that `schema` does not know.
core::Status CheckKnownKeys(const TextOptions& options, const schema::OptionSchemaView& schema,
                            std::string_view what);

// Typed IOOptions from text IO options with index.path set to `path`; unknown IO keys
// and bad values are refused.
core::Result<api::IOOptions> MakeIoOptions(const TextOptions& io, const std::string& path);

}  // namespace orvane::tools
