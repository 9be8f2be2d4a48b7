#include "schema/OptionValidators.h"

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "orvane/core/Result.h"
#include "distance/MetricE.h"
#include "encoding/EncodingRegistry.h"
#include "index/IndexKindRegistry.h"

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

// ": <value> (one of a, b, c)": what was given and what would be accepted,
// appended to an enumerated option's fixed message.
std::string Choices(const api::OptionValue& value, std::span<const std::string_view> accepted) {
    std::string out = ": ";
    if (const auto* given = std::get_if<std::string>(&value)) {
        out.append(*given).append(" ");
    }
    out.append("(one of ");
    for (size_t i = 0; i < accepted.size(); ++i) {
        if (i > 0) out.append(", ");
        out.append(accepted[i]);
    }
    return out.append(")");
}

// Passes when `value` is a string equal (case-sensitively) to one of `accepted`;
// the failure names the value given and the choices.
Status CheckOneOf(std::string_view key, const api::OptionValue& value,
                  std::span<const std::string_view> accepted, std::string_view prefix,
                  std::string_view suffix) {
    if (const auto* s = std::get_if<std::string>(&value)) {
        for (std::string_view a : accepted) {
            if (*s == a) return Status::Ok();
        }
    }
    return Fail(prefix, key, std::string(suffix) + Choices(value, accepted));
}

// In the order the refusal message lists them.
constexpr std::string_view kMetrics[] = {dist::MetricT<dist::MetricE::l2>::Name,
                                         dist::MetricT<dist::MetricE::cosine>::Name,
                                         dist::MetricT<dist::MetricE::ip>::Name};
constexpr std::string_view kReaderTypes[] = {"local", "mmap"};
constexpr std::string_view kLockModes[] = {"none", "mlock", "populate"};

std::vector<std::string_view> EncodingNames() {
    std::vector<std::string_view> names;
    for (const quantizer::EncodingDescriptor* row : quantizer::AllEncodings()) {
        names.push_back(row->name);
    }
    return names;
}

std::vector<std::string_view> KindNames() {
    std::vector<std::string_view> names;
    for (const index::IndexKindDescriptor* kind : index::AllIndexKinds()) {
        names.push_back(kind->Name());
    }
    return names;
}

}  // namespace

Status ValidatePositiveInt(std::string_view key, const api::OptionValue& value) {
    return Check<int64_t>(
        key, value, [](int64_t v) { return v > 0; }, "Option ", " must be > 0");
}

Status ValidatePositiveU32(std::string_view key, const api::OptionValue& value) {
    ORVANE_RETURN_IF_ERROR(ValidatePositiveInt(key, value));
    return Check<int64_t>(
        key, value, [](int64_t v) { return v <= int64_t{UINT32_MAX}; }, "Option ",
        " must be in [1, 4294967295]");
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
    ORVANE_RETURN_IF_ERROR(Check<double>(
        key, value, [](double v) { return v > 0.0; }, "Option ", " must be > 0"));
    // Infinity passes "> 0" but turns every product with it into inf or NaN.
    return Check<double>(
        key, value, [](double v) { return std::isfinite(v); }, "Option ",
        " must be > 0: infinity is not a usable value");
}

Status ValidateRatio01(std::string_view key, const api::OptionValue& value) {
    return Check<double>(
        key, value, [](double v) { return v > 0.0 && v <= 1.0; }, "Option ", " must be in (0,1]");
}

Status ValidateEncodingType(std::string_view key, const api::OptionValue& value) {
    static const std::vector<std::string_view> kEncodings = EncodingNames();
    return CheckOneOf(key, value, kEncodings, "Option ", " has unsupported encoding type");
}

Status ValidateMetric(std::string_view key, const api::OptionValue& value) {
    return CheckOneOf(key, value, kMetrics, "Option ", " has unsupported metric");
}

Status ValidateIndexType(std::string_view key, const api::OptionValue& value) {
    static const std::vector<std::string_view> kKinds = KindNames();
    return CheckOneOf(key, value, kKinds, "Option ", " has unsupported value");
}

Status ValidateReaderType(std::string_view key, const api::OptionValue& value) {
    return CheckOneOf(key, value, kReaderTypes, "Unsupported reader type for ", "");
}

Status ValidateMmapLockMode(std::string_view key, const api::OptionValue& value) {
    return CheckOneOf(key, value, kLockModes, "Unsupported lock mode for ", "");
}

}  // namespace orvane::schema
