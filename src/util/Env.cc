#include "util/Env.h"

#include <cstdlib>
#include <limits>

namespace orvane::util {

using core::ErrorCode;
using core::Result;
using core::Status;

namespace {

Status InvalidValue(std::string_view name) {
    return Status(ErrorCode::InvalidArgument, "Invalid env value for " + std::string(name));
}

// Parses a non-empty run of decimal digits; false on anything else or overflow.
bool ParseDigits(std::string_view text, uint64_t limit, uint64_t& out) {
    if (text.empty()) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (limit - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

template <typename T>
T ValueOr(Result<T> result, T def) {
    return result.IsOk() ? result.TakeValue() : def;
}

}  // namespace

Result<std::string> GetEnvString(std::string_view name) {
    if (name.empty()) return Status(ErrorCode::InvalidArgument, "Env name is empty");
    std::string key(name);
    const char* value = std::getenv(key.c_str());
    if (value == nullptr) return Status(ErrorCode::NotFound, "Env var not set: " + key);
    return std::string(value);
}

std::string GetEnvStringOr(std::string_view name, std::string def) {
    return ValueOr(GetEnvString(name), std::move(def));
}

Result<bool> GetEnvBool(std::string_view name) {
    auto text = GetEnvString(name);
    if (!text.IsOk()) return text.TakeStatus();
    std::string lower = text.TakeValue();
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lower == "1" || lower == "true") return true;
    if (lower == "0" || lower == "false") return false;
    return InvalidValue(name);
}

bool GetEnvBoolOr(std::string_view name, bool def) {
    return ValueOr(GetEnvBool(name), def);
}

Result<uint64_t> GetEnvU64(std::string_view name) {
    auto text = GetEnvString(name);
    if (!text.IsOk()) return text.TakeStatus();
    uint64_t value = 0;
    if (!ParseDigits(text.Value(), std::numeric_limits<uint64_t>::max(), value)) {
        return InvalidValue(name);
    }
    return value;
}

uint64_t GetEnvU64Or(std::string_view name, uint64_t def) {
    return ValueOr(GetEnvU64(name), def);
}

Result<int64_t> GetEnvI64(std::string_view name) {
    auto text = GetEnvString(name);
    if (!text.IsOk()) return text.TakeStatus();
    std::string_view digits = text.Value();
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative) digits.remove_prefix(1);
    // The magnitude of INT64_MIN is one more than INT64_MAX.
    const uint64_t limit =
        static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1u : 0u);
    uint64_t magnitude = 0;
    if (!ParseDigits(digits, limit, magnitude)) return InvalidValue(name);
    if (negative) return static_cast<int64_t>(0 - magnitude);
    return static_cast<int64_t>(magnitude);
}

int64_t GetEnvI64Or(std::string_view name, int64_t def) {
    return ValueOr(GetEnvI64(name), def);
}

Result<uint32_t> GetEnvU32(std::string_view name) {
    auto value = GetEnvU64(name);
    if (!value.IsOk()) return value.TakeStatus();
    if (value.Value() > std::numeric_limits<uint32_t>::max()) {
        return Status(ErrorCode::InvalidArgument,
                      "Env value out of range for " + std::string(name));
    }
    return static_cast<uint32_t>(value.Value());
}

uint32_t GetEnvU32Or(std::string_view name, uint32_t def) {
    return ValueOr(GetEnvU32(name), def);
}

}  // namespace orvane::util
