// OptionValidators: the value checks that schema fields attach to their keys. Each
// takes the key (for the message) and the value, and returns Ok or InvalidArgument.
// A value of an unexpected alternative fails with the validator's own message.
#pragma once

#include <cstdint>
#include <string_view>

#include "orvane/api/Options.h"
#include "orvane/core/Status.h"

namespace orvane::schema {

// Integer > 0.
core::Status ValidatePositiveInt(std::string_view key, const api::OptionValue& value);
// Integer in [1, 2^32 - 1], for keys read into 32-bit fields: "must be > 0"
// below, "must be in [1, 4294967295]" above.
core::Status ValidatePositiveU32(std::string_view key, const api::OptionValue& value);
// Integer >= 0.
core::Status ValidateNonNegativeInt(std::string_view key, const api::OptionValue& value);
// Integer in 1..kMaxBatchThreads.
inline constexpr int64_t kMaxBatchThreads = 1024;
core::Status ValidateBatchThreads(std::string_view key, const api::OptionValue& value);
// Double > 0.0.
core::Status ValidatePositiveDouble(std::string_view key, const api::OptionValue& value);
// Double in (0, 1].
core::Status ValidateRatio01(std::string_view key, const api::OptionValue& value);
// "rawf32", "sq8" or "pq".
core::Status ValidateEncodingType(std::string_view key, const api::OptionValue& value);
// "l2", "cosine" or "inner_product".
core::Status ValidateMetric(std::string_view key, const api::OptionValue& value);
// A kind name of the kind schema table: "bruteforce", "demo", "ivf" or "diskann".
core::Status ValidateIndexType(std::string_view key, const api::OptionValue& value);
// "local" or "mmap".
core::Status ValidateReaderType(std::string_view key, const api::OptionValue& value);
// "none", "mlock" or "populate".
core::Status ValidateMmapLockMode(std::string_view key, const api::OptionValue& value);

}  // namespace orvane::schema
