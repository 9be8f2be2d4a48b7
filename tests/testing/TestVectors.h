// Deterministic random vectors, tolerance helpers and the processor checks shared
// by the distance tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "isa/CpuFeatures.h"

namespace orvane::dist::testing {

// Whether this processor runs the AVX2 kernels (their tests skip otherwise).
inline bool HasAvx2() {
    return __builtin_cpu_supports("avx2") != 0;
}

// Whether this processor and operating system run the AVX-512 kernels.
inline bool HasAvx512() {
    return isa::SupportedIsa() == isa::IsaE::avx512;
}

// Calls check(level) for each vector level this machine runs (AVX2, AVX-512);
// the levels it lacks are skipped.
template <typename Check>
void ForEachVectorLevel(Check&& check) {
    if (HasAvx2()) check(isa::Avx2T{});
    if (HasAvx512()) check(isa::Avx512T{});
}

inline std::vector<float> RandomVector(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// Lengths that exercise empty input, pure tails, exact blocks and block+tail
// for the 8-lane and 16-lane kernels and their 4-accumulator steps (32, 64).
inline const std::vector<size_t>& KernelLengths() {
    static const std::vector<size_t> lengths = {0,   1,   7,   8,   15,  16,  17,  31,
                                                32,  33,  63,  64,  65,  100, 127, 128,
                                                129, 255, 256, 257, 784, 1000};
    return lengths;
}

// Float accumulation error grows with the magnitude of the summed terms, not
// with the (possibly cancelled) result: tolerance relative to sum |term|.
inline float SumTolerance(double absTermSum) {
    return static_cast<float>(2e-6 * absTermSum + 1e-6);
}

}  // namespace orvane::dist::testing
