#include "orvane/api/OptionNormalize.h"

#include <algorithm>
#include <vector>

#include "orvane/api/Options.h"
#include "schema/OptionValidation.h"
#include "schema/SchemaCatalog.h"
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

TextOptionMap TakeIOOptions(TextOptionMap& options) {
    const schema::OptionSchemaView io = schema::LookupIOSchema();
    TextOptionMap out;
    for (auto it = options.begin(); it != options.end();) {
        if (io.Find(it->first) != nullptr) {
            out.insert(*it);
            it = options.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

core::Result<IOOptions> NormalizeIOOptions(const TextOptionMap& options, const std::string& path) {
    IOOptions text;
    for (const auto& [key, value] : options) text.Values().emplace(key, value);
    text.Values()["index.path"] = path;
    return schema::CoerceOptionsFromStrings<OptionsType::IO>(
        schema::UnsanitizedOptions<OptionsType::IO>(std::move(text)), schema::LookupIOSchema(),
        schema::UnknownKeyPolicy::kError);
}

core::Status CheckKnownOptionKeys(const TextOptionMap& options, OptionPurpose purpose,
                                  std::string_view indexType) {
    schema::OptionSchemaView view;
    const char* what = "";
    switch (purpose) {
        case OptionPurpose::kBuilder:
            view = schema::LookupBuilderSchema(indexType);
            what = " builder";
            break;
        case OptionPurpose::kSearcher:
            view = schema::LookupSearcherSchema(indexType);
            what = " searcher";
            break;
        case OptionPurpose::kSearch:
            view = schema::LookupSearchSchema(indexType);
            what = " search";
            break;
    }
    std::vector<std::string> keys;
    for (const auto& [key, value] : options) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    for (const std::string& key : keys) {
        if (view.Find(key) != nullptr) continue;
        std::string known;
        for (const schema::OptionField& field : view.fields) {
            if (!known.empty()) known += ", ";
            known += field.key;
        }
        return core::Status(core::ErrorCode::InvalidArgument,
                            "Unknown option key: " + key + " (the " + std::string(indexType) +
                                what + " knows: " + known + ")");
    }
    return core::Status::Ok();
}

}  // namespace orvane::api
