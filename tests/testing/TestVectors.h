// Deterministic random vectors, tolerance helpers and the AVX2 check shared by the
// distance tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace orvane::dist::testing {

// Whether this processor runs the AVX2 kernels (their tests skip otherwise).
inline bool HasAvx2() {
    return __builtin_cpu_supports("avx2") != 0;
}

inline std::vector<float> RandomVector(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// Lengths that exercise empty input, pure tails, exact blocks and block+tail.
inline const std::vector<size_t>& KernelLengths() {
    static const std::vector<size_t> lengths = {0, 1, 7, 8, 31, 32, 33, 100, 1000};
    return lengths;
}

// Float accumulation error grows with the magnitude of the summed terms, not
// with the (possibly cancelled) result: tolerance relative to sum |term|.
inline float SumTolerance(double absTermSum) {
    return static_cast<float>(2e-6 * absTermSum + 1e-6);
}

}  // namespace orvane::dist::testing
