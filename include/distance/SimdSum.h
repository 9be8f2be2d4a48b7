// HorizontalSum: the sum of the eight lanes of a 256-bit float register, shared by
// the AVX kernels. Include only from sources built with AVX enabled (*_avx2.cc).
#pragma once

#include <immintrin.h>

namespace orvane::util {

inline float HorizontalSum(__m256 v) {
    __m128 lo = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    lo = _mm_add_ps(lo, _mm_movehl_ps(lo, lo));
    lo = _mm_add_ss(lo, _mm_movehdup_ps(lo));
    return _mm_cvtss_f32(lo);
}

}  // namespace orvane::util
