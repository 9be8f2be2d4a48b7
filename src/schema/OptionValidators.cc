#include "schema/OptionValidators.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <variant>

#include "schema/KindSchemas.h"

namespace orvane::schema {
namespace {

using core::ErrorCode;
using core::Status;

Status Fail(std::string_view prefix, std::string_view key, std::string_view suffix) {
    std::string msg;
    msg.reserve(prefix.size() + key.size() + suffix.size());
    msg.append(prefix).append(key).append(suffix);
    return Status(ErrorCode::InvalidArgument, std::move(msg));
}

// Passes when `value` holds a V for which `accept` is true.
template <typename V, typename Pred>
Status Check(std::string_view key, const api::OptionValue& value, Pred accept,
             std::string_view prefix, std::string_view suffix) {
    const V* v = std::get_if<V>(&value);
    if (v != nullptr && accept(*v)) return Status::Ok();
    return Fail(prefix, key, suffix);
}

// Passes when `value` is a string equal (case-sensitively) to one of `accepted`.
Status CheckOneOf(std::string_view key, const api::OptionValue& value,
                  std::initializer_list<std::string_view> accepted, std::string_view prefix,
                  std::string_view suffix) {
    return Check<std::string>(
        key, value,
        [accepted](const std::string& s) {
            for (std::string_view a : accepted) {
                if (s == a) return true;
            }
            return false;
        },
        prefix, suffix);
}

}  // namespace

Status ValidatePositiveInt(std::string_view key, const api::OptionValue& value) {
    return Check<int64_t>(
        key, value, [](int64_t v) { return v > 0; }, "Option ", " must be > 0");
}

Status ValidateNonNegativeInt(std::string_view key, const api::OptionValue& value) {
    return Check<int64_t>(
        key, value, [](int64_t v) { return v >= 0; }, "Option ", " must be >= 0");
}

Status ValidateBatchThreads(std::string_view key, const api::OptionValue& value) {
    return Check<int64_t>(
        key, value, [](int64_t v) { return v >= 1 && v <= kMaxBatchThreads; }, "Option ",
        " must be within 1..1024");
}

Status ValidatePositiveDouble(std::string_view key, const api::OptionValue& value) {
    return Check<double>(
        key, value, [](double v) { return v > 0.0; }, "Option ", " must be > 0");
}

Status ValidateRatio01(std::string_view key, const api::OptionValue& value) {
    return Check<double>(
        key, value, [](double v) { return v > 0.0 && v <= 1.0; }, "Option ", " must be in (0,1]");
}

Status ValidateEncodingType(std::string_view key, const api::OptionValue& value) {
    return CheckOneOf(key, value, {"rawf32", "sq8", "pq"}, "Option ",
                      " has unsupported encoding type");
}

Status ValidateMetric(std::string_view key, const api::OptionValue& value) {
    return CheckOneOf(key, value, {"l2", "cosine", "inner_product"}, "Option ",
                      " has unsupported metric");
}

Status ValidateIndexType(std::string_view key, const api::OptionValue& value) {
    return Check<std::string>(
        key, value, [](const std::string& s) { return FindKindSchemas(s) != nullptr; }, "Option ",
        " has unsupported value");
}

Status ValidateReaderType(std::string_view key, const api::OptionValue& value) {
    return CheckOneOf(key, value, {"local", "mmap"}, "Unsupported reader type for ", "");
}

Status ValidateMmapLockMode(std::string_view key, const api::OptionValue& value) {
    return CheckOneOf(key, value, {"none", "mlock", "populate"}, "Unsupported lock mode for ", "");
}

}  // namespace orvane::schema
