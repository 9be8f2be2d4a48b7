#include "ToolOptions.h"

#include <algorithm>
#include <vector>

#include "schema/OptionValidation.h"
#include "schema/SchemaCatalog.h"

namespace orvane::tools {

using core::ErrorCode;
using core::Result;
using core::Status;

TextOptions TakeIoOptions(TextOptions& options) {
    const schema::OptionSchemaView io = schema::LookupIOSchema();
    TextOptions out;
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

Status CheckKnownKeys(const TextOptions& options, const schema::OptionSchemaView& schema,
                      std::string_view what) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : options) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    for (const std::string& key : keys) {
        if (schema.Find(key) != nullptr) continue;
        std::string known;
        for (const schema::OptionField& field : schema.fields) {
            if (!known.empty()) known += ", ";
            known += field.key;
        }
        return Status(ErrorCode::InvalidArgument, "Unknown option key: " + key + " (the " +
                                                      std::string(what) + " knows: " + known + ")");
    }
    return Status::Ok();
}

Result<api::IOOptions> MakeIoOptions(const TextOptions& io, const std::string& path) {
    api::IOOptions text;
    for (const auto& [key, value] : io) text.Values().emplace(key, value);
    text.Values()["index.path"] = path;
    return schema::CoerceOptionsFromStrings<api::OptionsType::IO>(
        schema::UnsanitizedOptions<api::OptionsType::IO>(std::move(text)), schema::LookupIOSchema(),
        schema::UnknownKeyPolicy::kError);
}

}  // namespace orvane::tools
