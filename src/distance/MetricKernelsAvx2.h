// The AVX2 metric kernels as inline functions: 256-bit registers and fused
// multiply-add, float accumulation, blocks of 32 floats (L2 and inner product
// with four independent accumulators to hide the FMA latency) and then of 8,
// the last components one at a time. They are the AVX2 level, and the AVX-512
// level runs them for rows too short for its 512-bit steps to pay. Include
// only from sources built with AVX2 and FMA enabled (*_avx2.cc, *_avx512.cc).
#pragma once

#include <immintrin.h>

#include <cmath>

#include "distance/MetricE.h"
#include "distance/MetricTerm.h"
#include "distance/SimdSum.h"

namespace orvane::dist::detail {

// Rows shorter than a register are summed one component at a time from 0, as
// the longer ones finish theirs; skipping the reduction of the unused
// registers keeps the same value and takes a third less time at 7 components.
template <MetricE M>
inline float SumShort(const float* a, const float* b, dimension_t n) {
    float sum = 0.0f;
    for (dimension_t i = 0; i < n; ++i) sum = AccumulateOne<M>(sum, a[i], b[i]);
    return sum;
}

// L2 and inner product share one loop shape and differ only in the term.
template <MetricE M>
inline float SumKernelAvx2(const float* a, const float* b, dimension_t n) {
    if (n < 8) return SumShort<M>(a, b, n);
    __m256 acc0 = _mm256_setzero_ps();
    __m256 acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps();
    __m256 acc3 = _mm256_setzero_ps();
    dimension_t i = 0;
    for (; i + 32 <= n; i += 32) {
        acc0 = Accumulate<M>(acc0, _mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
        acc1 = Accumulate<M>(acc1, _mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
        acc2 = Accumulate<M>(acc2, _mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16));
        acc3 = Accumulate<M>(acc3, _mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24));
    }
    for (; i + 8 <= n; i += 8) {
        acc0 = Accumulate<M>(acc0, _mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    }
    const __m256 total = _mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3));
    float sum = dist::HorizontalSum(total);
    for (; i < n; ++i) sum = AccumulateOne<M>(sum, a[i], b[i]);
    return sum;
}

// Cosine from the float dot product and squared norms, 0 when the product of
// the norms is below 1e-6 (the vector levels' zero test).
inline float FinishCosine(float dot, float normA, float normB) {
    const float norms = std::sqrt(normA) * std::sqrt(normB);
    if (norms < 1e-6f) return 0.0f;
    return 1.0f - dot / norms;
}

inline float CosineAvx2(const float* a, const float* b, dimension_t n) {
    if (n < 8) {
        float dot = 0.0f;
        float normA = 0.0f;
        float normB = 0.0f;
        for (dimension_t i = 0; i < n; ++i) {
            dot = std::fma(a[i], b[i], dot);
            normA = std::fma(a[i], a[i], normA);
            normB = std::fma(b[i], b[i], normB);
        }
        return FinishCosine(dot, normA, normB);
    }
    __m256 dot0 = _mm256_setzero_ps();
    __m256 dot1 = _mm256_setzero_ps();
    __m256 na0 = _mm256_setzero_ps();
    __m256 na1 = _mm256_setzero_ps();
    __m256 nb0 = _mm256_setzero_ps();
    __m256 nb1 = _mm256_setzero_ps();
    dimension_t i = 0;
    for (; i + 32 <= n; i += 32) {
        for (dimension_t j = 0; j < 32; j += 16) {
            const __m256 x0 = _mm256_loadu_ps(a + i + j);
            const __m256 y0 = _mm256_loadu_ps(b + i + j);
            const __m256 x1 = _mm256_loadu_ps(a + i + j + 8);
            const __m256 y1 = _mm256_loadu_ps(b + i + j + 8);
            dot0 = _mm256_fmadd_ps(x0, y0, dot0);
            na0 = _mm256_fmadd_ps(x0, x0, na0);
            nb0 = _mm256_fmadd_ps(y0, y0, nb0);
            dot1 = _mm256_fmadd_ps(x1, y1, dot1);
            na1 = _mm256_fmadd_ps(x1, x1, na1);
            nb1 = _mm256_fmadd_ps(y1, y1, nb1);
        }
    }
    for (; i + 8 <= n; i += 8) {
        const __m256 x = _mm256_loadu_ps(a + i);
        const __m256 y = _mm256_loadu_ps(b + i);
        dot0 = _mm256_fmadd_ps(x, y, dot0);
        na0 = _mm256_fmadd_ps(x, x, na0);
        nb0 = _mm256_fmadd_ps(y, y, nb0);
    }
    float dot = dist::HorizontalSum(_mm256_add_ps(dot0, dot1));
    float normA = dist::HorizontalSum(_mm256_add_ps(na0, na1));
    float normB = dist::HorizontalSum(_mm256_add_ps(nb0, nb1));
    for (; i < n; ++i) {
        dot = std::fma(a[i], b[i], dot);
        normA = std::fma(a[i], a[i], normA);
        normB = std::fma(b[i], b[i], normB);
    }
    return FinishCosine(dot, normA, normB);
}

}  // namespace orvane::dist::detail
