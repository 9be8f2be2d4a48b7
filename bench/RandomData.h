// Deterministic random inputs shared by the micro-benchmarks.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace orvane::bench {

// n floats uniform in [-1, 1) from a generator seeded with `seed`.
inline std::vector<float> RandomFloats(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = d(gen);
    return v;
}

}  // namespace orvane::bench
