// OptionNormalize: the library's entry points for turning text option maps into typed,
// validated ones, and for checking the common search options of a typed map.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "orvane/core/Status.h"

namespace orvane::api {

// Coerce under the schema of the kind named by the map's "index.type"; unknown keys
// are logged and kept.
core::Result<BuilderOptions> NormalizeBuilderOptions(
    const std::unordered_map<std::string, std::string>& options);
core::Result<SearcherOptions> NormalizeSearcherOptions(
    const std::unordered_map<std::string, std::string>& options);
// Coerce under the search schema of `indexType` (which must not be empty).
core::Result<SearchOptions> NormalizeSearchOptions(
    std::string_view indexType, const std::unordered_map<std::string, std::string>& options);

// Checks the search options every kind understands; other keys are ignored.
core::Status ValidateSearchOptions(const SearchOptions& options);

using TextOptionMap = std::unordered_map<std::string, std::string>;

// Moves the entries whose keys the file IO schema knows (index.path, io.*) out of
// `options` into the result, so one text map can carry both kinds of options.
TextOptionMap TakeIOOptions(TextOptionMap& options);

// Typed IOOptions from text IO options with "index.path" set to `path`; unknown IO
// keys and bad values are refused.
core::Result<IOOptions> NormalizeIOOptions(const TextOptionMap& options, const std::string& path);

// The schemas CheckKnownOptionKeys checks against.
enum class OptionPurpose { kBuilder, kSearcher, kSearch };

// Refuses the first key (in sorted order, so the message is stable) that the schema
// of `indexType` for `purpose` does not know, with InvalidArgument "Unknown option
// key: KEY (the demo builder knows: ...)". The library itself only logs such keys;
// front ends use this so a mistyped key does not go unnoticed.
core::Status CheckKnownOptionKeys(const TextOptionMap& options, OptionPurpose purpose,
                                  std::string_view indexType);

}  // namespace orvane::api
