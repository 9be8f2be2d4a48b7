// HorizontalSum: the sum of the eight lanes of a 256-bit float register, shared by
// the AVX kernels. Include only from sources built with AVX enabled (*_avx2.cc,
// *_avx512.cc); HorizontalSum512 only from sources built with AVX-512.
#pragma once

#include <immintrin.h>

namespace orvane::dist {

inline float HorizontalSum(__m256 v) {
    __m128 lo = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    lo = _mm_add_ps(lo, _mm_movehl_ps(lo, lo));
    lo = _mm_add_ss(lo, _mm_movehdup_ps(lo));
    return _mm_cvtss_f32(lo);
}

#ifdef __AVX512F__
// The sum of the sixteen lanes of a 512-bit register: the two halves are added
// first, which is shorter than the generic reduction.
inline float HorizontalSum512(__m512 v) {
    const __m256 lo = _mm512_castps512_ps256(v);
    const __m256 hi = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
    return HorizontalSum(_mm256_add_ps(lo, hi));
}
#endif

}  // namespace orvane::dist
