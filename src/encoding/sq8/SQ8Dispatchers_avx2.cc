// AVX2 sq8 kernel: 8 code bytes at a time are widened to floats and
// multiplied into the centred query 8 lanes at once; the tail is finished one
// component at a time.
#include <immintrin.h>

#include <cmath>

#include "distance/SimdSum.h"
#include "encoding/sq8/SQ8Dispatchers.h"

namespace orvane::dist::encode_space {

namespace {

using dist::HorizontalSum;

// Widens codes[0..8) to floats.
inline __m256 LoadCodes8(const uint8_t* codes) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes));
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
}

// Four independent accumulators over 32-code steps: per 8 codes one widening
// load, one conversion and one fused multiply-add.
inline float CodeDotAvx2(const float* qCentered, const uint8_t* codes, dimension_t dim) {
    if (dim < 8) {
        // No register's worth: the same sum from 0 without reducing empty registers.
        float sum = 0.0f;
        for (dimension_t k = 0; k < dim; ++k)
            sum = std::fma(qCentered[k], static_cast<float>(codes[k]), sum);
        return sum;
    }
    __m256 acc0 = _mm256_setzero_ps();
    __m256 acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps();
    __m256 acc3 = _mm256_setzero_ps();
    dimension_t i = 0;
    for (; i + 32 <= dim; i += 32) {
        acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(qCentered + i), LoadCodes8(codes + i), acc0);
        acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(qCentered + i + 8), LoadCodes8(codes + i + 8), acc1);
        acc2 =
            _mm256_fmadd_ps(_mm256_loadu_ps(qCentered + i + 16), LoadCodes8(codes + i + 16), acc2);
        acc3 =
            _mm256_fmadd_ps(_mm256_loadu_ps(qCentered + i + 24), LoadCodes8(codes + i + 24), acc3);
    }
    for (; i + 8 <= dim; i += 8) {
        acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(qCentered + i), LoadCodes8(codes + i), acc0);
    }
    float sum = HorizontalSum(_mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3)));
    for (; i < dim; ++i) sum = std::fma(qCentered[i], static_cast<float>(codes[i]), sum);
    return sum;
}

// Scores the rows found by rowAt(i); the next row is prefetched while the
// current one is scored (ids may jump, so the hardware cannot guess them).
template <typename RowAt>
void CodeDots(const SQ8QueryView& q, RowAt rowAt, uint64_t n, float* out) {
    for (uint64_t i = 0; i < n; ++i) {
        if (i + 1 < n) {
            const uint8_t* next = rowAt(i + 1);
            for (dimension_t line = 0; line < q.dim; line += 64) {
                _mm_prefetch(reinterpret_cast<const char*>(next + line), _MM_HINT_T0);
            }
        }
        out[i] = CodeDotAvx2(q.qCentered, rowAt(i), q.dim);
    }
}

}  // namespace

float SQ8CodeDotDispatcher::TagInvoke(isa::Avx2T, const SQ8QueryView& q, const uint8_t* codes) {
    return CodeDotAvx2(q.qCentered, codes, q.dim);
}

void SQ8CodeDotDispatcher::TagInvoke(isa::Avx2T, const SQ8QueryView& q, const uint8_t* codes,
                                     const uint64_t* ids, uint64_t n, float* out) {
    CodeDots(q, detail::SQ8IdRows{codes, ids, q.dim}, n, out);
}

void SQ8CodeDotDispatcher::TagInvoke(isa::Avx2T, const SQ8QueryView& q, const uint8_t* rows,
                                     uint64_t n, float* out) {
    CodeDots(q, detail::SQ8RunRows{rows, q.dim}, n, out);
}

}  // namespace orvane::dist::encode_space
