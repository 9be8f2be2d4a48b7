// OptionNormalize: the library's entry points for turning text option maps into typed,
// validated ones, and for checking the common search options of a typed map.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "api/Options.h"
#include "api/Result.h"
#include "api/Status.h"

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

}  // namespace orvane::api
