#include "api/OptionNormalize.h"

#include "schema/OptionValidation.h"
#include "schema/SchemaTables.h"

namespace orvane::api {

core::Result<BuilderOptions> NormalizeBuilderOptions(
    const std::unordered_map<std::string, std::string>& options) {
    return schema::NormalizeBuilderOptions(options);
}

core::Result<SearcherOptions> NormalizeSearcherOptions(
    const std::unordered_map<std::string, std::string>& options) {
    return schema::NormalizeSearcherOptions(options);
}

core::Result<SearchOptions> NormalizeSearchOptions(
    std::string_view indexType, const std::unordered_map<std::string, std::string>& options) {
    return schema::NormalizeSearchOptions(indexType, options);
}

core::Status ValidateSearchOptions(const SearchOptions& options) {
    return schema::Validate(options, schema::kSearchOptionsSchema,
                            schema::UnknownKeyPolicy::kIgnore);
}

}  // namespace orvane::api
