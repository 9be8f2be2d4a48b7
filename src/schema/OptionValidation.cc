#include "schema/OptionValidation.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <variant>

#include "schema/SchemaCatalog.h"
#include "telemetry/Logger.h"

namespace orvane::schema {
namespace {

using core::ErrorCode;
using core::Result;
using core::Status;
using detail::OptionMap;

Status Invalid(std::string_view prefix, std::string_view key) {
    std::string msg(prefix);
    msg.append(key);
    return Status(ErrorCode::InvalidArgument, std::move(msg));
}

// Applies the policy to a key that the schema does not know.
// The warning below is the one unknown-key log record; its position in this file is
// part of what operators see in the log line, so keep it where it is.
Status HandleUnknownKey(const std::string& key, UnknownKeyPolicy policy) {
    switch (policy) {
        case UnknownKeyPolicy::kError:
            return Invalid("Unknown option key: ", key);
        case UnknownKeyPolicy::kLogAndIgnore:
            ORVANE_LOG_WARN("Unknown option key ignored: [%s]", key.c_str());
            return Status::Ok();
        case UnknownKeyPolicy::kIgnore:
            return Status::Ok();
    }
    return Status::Ok();
}

FieldType TypeOf(const api::OptionValue& value) {
    return static_cast<FieldType>(value.index());
}

// Base-10 signed 64-bit integer covering the whole text. Leading blanks and a sign are
// accepted, trailing characters are not; the empty text is 0. Out-of-range numbers
// saturate at the type's limits, as the C conversion does; the validators that follow
// decide whether such a value is acceptable.
bool ParseInt(const std::string& text, int64_t* out) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const long long v = std::strtoll(begin, &end, 10);
    if (end != begin + text.size()) return false;
    *out = static_cast<int64_t>(v);
    return true;
}

// Double covering the whole text, same rules as ParseInt. Whatever the C conversion
// accepts (infinities and NaN included) is passed on to the validators.
bool ParseDouble(const std::string& text, double* out) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end != begin + text.size()) return false;
    *out = v;
    return true;
}

// "true"/"1" and "false"/"0", case-insensitive.
bool ParseBool(const std::string& text, bool* out) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "true" || lower == "1") {
        *out = true;
        return true;
    }
    if (lower == "false" || lower == "0") {
        *out = false;
        return true;
    }
    return false;
}

// The value of a known key converted to the field's type: kept when it already has that
// type, parsed when it is text, refused otherwise.
Result<api::OptionValue> CoerceValue(const OptionField& field, const api::OptionValue& value) {
    if (TypeOf(value) == field.type) return value;
    const std::string* text = std::get_if<std::string>(&value);
    if (text == nullptr) return Invalid("Type mismatch for ", field.key);
    switch (field.type) {
        case FieldType::kInt: {
            int64_t v = 0;
            if (!ParseInt(*text, &v)) return Invalid("Invalid int value for ", field.key);
            return api::OptionValue(v);
        }
        case FieldType::kDouble: {
            double v = 0.0;
            if (!ParseDouble(*text, &v)) return Invalid("Invalid double value for ", field.key);
            return api::OptionValue(v);
        }
        case FieldType::kBool: {
            bool v = false;
            if (!ParseBool(*text, &v)) return Invalid("Invalid bool value for ", field.key);
            return api::OptionValue(v);
        }
        case FieldType::kString:
            break;  // a string value already matched above
    }
    return Invalid("Type mismatch for ", field.key);
}

// Reads the "index.type" text that selects a schema; empty when absent or not text.
std::string_view IndexTypeOf(const OptionMap& values) {
    auto it = values.find("index.type");
    if (it == values.end()) return {};
    const std::string* text = std::get_if<std::string>(&it->second);
    return text == nullptr ? std::string_view() : std::string_view(*text);
}

template <api::OptionsType T>
UnsanitizedOptions<T> FromStrings(const StringOptionMap& input) {
    UnsanitizedOptions<T> out;
    auto& values = out.Get().Values();
    values.reserve(input.size());
    for (const auto& [key, text] : input) values.emplace(key, api::OptionValue(text));
    return out;
}

// Builder and searcher maps name their own kind in "index.type".
template <api::OptionsType T>
Result<api::Options<T>> NormalizeBySelfType(const UnsanitizedOptions<T>& input,
                                            OptionSchemaView (*lookup)(std::string_view),
                                            const char* missingTypeMessage) {
    std::string_view type = IndexTypeOf(input.Get().Values());
    if (type.empty()) return Status(ErrorCode::InvalidArgument, missingTypeMessage);
    return CoerceOptionsFromStrings<T>(input, lookup(type), UnknownKeyPolicy::kLogAndIgnore);
}

}  // namespace

namespace detail {

Status ValidateMap(const OptionMap& values, const OptionSchemaView& schema,
                   UnknownKeyPolicy policy) {
    for (const auto& [key, value] : values) {
        if (schema.Find(key) == nullptr) ORVANE_RETURN_IF_ERROR(HandleUnknownKey(key, policy));
    }
    for (const OptionField& field : schema.fields) {
        auto it = values.find(std::string(field.key));
        if (it == values.end()) {
            if (field.required) return Invalid("Missing required option: ", field.key);
            continue;
        }
        if (TypeOf(it->second) != field.type) return Invalid("Type mismatch for ", field.key);
        if (field.validator != nullptr) {
            ORVANE_RETURN_IF_ERROR(field.validator(field.key, it->second));
        }
    }
    return Status::Ok();
}

Result<OptionMap> CoerceMap(const OptionMap& values, const OptionSchemaView& schema,
                            UnknownKeyPolicy policy) {
    OptionMap out;
    out.reserve(values.size());
    for (const auto& [key, value] : values) {
        const OptionField* field = schema.Find(key);
        if (field == nullptr) {
            ORVANE_RETURN_IF_ERROR(HandleUnknownKey(key, policy));
            out.emplace(key, value);
            continue;
        }
        auto coerced = CoerceValue(*field, value);
        if (!coerced.IsOk()) return coerced.TakeStatus();
        out.emplace(key, coerced.TakeValue());
    }
    ORVANE_RETURN_IF_ERROR(ValidateMap(out, schema, policy));
    return out;
}

}  // namespace detail

Result<uint32_t> ReadIndexDimension(const OptionMap& values) {
    auto it = values.find("index.dimension");
    const int64_t* dim = it == values.end() ? nullptr : std::get_if<int64_t>(&it->second);
    if (dim == nullptr || *dim < 0) return uint32_t{0};
    if (*dim > int64_t{UINT32_MAX}) {
        return Status(ErrorCode::InvalidArgument, "Option index.dimension must be in [1, 4294967295]");
    }
    return static_cast<uint32_t>(*dim);
}

Result<api::BuilderOptions> NormalizeBuilderOptions(
    const UnsanitizedOptions<api::OptionsType::Builder>& input) {
    return NormalizeBySelfType(input, LookupBuilderSchema,
                               "index.type is required for builder schema selection");
}

Result<api::BuilderOptions> NormalizeBuilderOptions(const StringOptionMap& input) {
    return NormalizeBuilderOptions(FromStrings<api::OptionsType::Builder>(input));
}

Result<api::SearcherOptions> NormalizeSearcherOptions(
    const UnsanitizedOptions<api::OptionsType::Searcher>& input) {
    return NormalizeBySelfType(input, LookupSearcherSchema,
                               "index.type is required for searcher schema selection");
}

Result<api::SearcherOptions> NormalizeSearcherOptions(const StringOptionMap& input) {
    return NormalizeSearcherOptions(FromStrings<api::OptionsType::Searcher>(input));
}

Result<api::SearchOptions> NormalizeSearchOptions(
    std::string_view indexType, const UnsanitizedOptions<api::OptionsType::Search>& input) {
    if (indexType.empty()) {
        return Status(ErrorCode::InvalidArgument,
                      "indexType is required for normalize search schema selection");
    }
    return CoerceOptionsFromStrings<api::OptionsType::Search>(input, LookupSearchSchema(indexType),
                                                              UnknownKeyPolicy::kLogAndIgnore);
}

Result<api::SearchOptions> NormalizeSearchOptions(std::string_view indexType,
                                                  const StringOptionMap& input) {
    return NormalizeSearchOptions(indexType, FromStrings<api::OptionsType::Search>(input));
}

}  // namespace orvane::schema
