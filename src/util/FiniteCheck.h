// FiniteCheck: finds vectors with a NaN or infinite component. Distances over such
// a vector are NaN or infinite, and a NaN breaks the ordering every ranking relies on,
// so the facades refuse such vectors before they reach an index.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

namespace orvane::util {

// True when all n floats are finite. Looks at the exponent bits only, so the loop
// has no branch per value and vectorizes.
inline bool AllFinite(const float* data, uint64_t n) {
    constexpr uint32_t kExponent = 0x7f800000u;
    uint32_t worst = 0;
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t bits;
        std::memcpy(&bits, data + i, sizeof(bits));
        const uint32_t exponent = bits & kExponent;
        worst = exponent > worst ? exponent : worst;
    }
    return worst != kExponent;
}

// The first of `rows` rows of `dim` floats that holds a non-finite value, if any.
inline std::optional<uint64_t> FindNonFiniteRow(const float* data, uint64_t rows, uint64_t dim) {
    if (AllFinite(data, rows * dim)) return std::nullopt;
    for (uint64_t r = 0; r < rows; ++r) {
        if (!AllFinite(data + r * dim, dim)) return r;
    }
    return std::nullopt;
}

}  // namespace orvane::util
