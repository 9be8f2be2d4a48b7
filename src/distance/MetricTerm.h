// The per-component term of the summing metrics, shared by the AVX kernels of the
// raw and sq8 encodings: (x - y)^2 for L2, x * y for the inner product, added into
// an accumulator with one fused multiply-add, eight lanes at a time or one
// component at a time for the tails. Include only from sources built with AVX and
// FMA enabled (*_avx2.cc).
#pragma once

#include <immintrin.h>

#include <cmath>

#include "distance/MetricE.h"

namespace orvane::dist {

template <MetricE M>
inline __m256 Accumulate(__m256 acc, __m256 x, __m256 y) {
    if constexpr (M == MetricE::l2) {
        const __m256 d = _mm256_sub_ps(x, y);
        return _mm256_fmadd_ps(d, d, acc);
    } else {
        return _mm256_fmadd_ps(x, y, acc);
    }
}

template <MetricE M>
inline float AccumulateOne(float acc, float x, float y) {
    if constexpr (M == MetricE::l2) {
        const float d = x - y;
        return std::fma(d, d, acc);
    } else {
        return std::fma(x, y, acc);
    }
}

}  // namespace orvane::dist
