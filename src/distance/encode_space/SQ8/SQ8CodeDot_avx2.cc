// AVX2 code dot products: 32 codes per step, widened to floats 8 at a time
// and multiplied into four independent accumulators.
#include <immintrin.h>

#include "distance/encode_space/SQ8/SQ8CodeDot.h"
#include "util/SimdSum.h"

namespace orvane::dist::encode_space {

namespace {

inline __m256 Codes8(const uint8_t* codes) {
    return _mm256_cvtepi32_ps(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes))));
}

float CodeDotAvx2(const float* q, const uint8_t* codes, dimension_t dim) {
    __m256 acc0 = _mm256_setzero_ps();
    __m256 acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps();
    __m256 acc3 = _mm256_setzero_ps();
    dimension_t i = 0;
    for (; i + 32 <= dim; i += 32) {
        acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), Codes8(codes + i), acc0);
        acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 8), Codes8(codes + i + 8), acc1);
        acc2 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 16), Codes8(codes + i + 16), acc2);
        acc3 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 24), Codes8(codes + i + 24), acc3);
    }
    for (; i + 8 <= dim; i += 8) {
        acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), Codes8(codes + i), acc0);
    }
    float sum =
        util::HorizontalSum(_mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3)));
    for (; i < dim; ++i) sum += q[i] * static_cast<float>(codes[i]);
    return sum;
}

}  // namespace

void SQ8CodeDotDispatcher::TagInvoke(isa::Avx2T, const float* query, const uint8_t* codes,
                                     dimension_t dim, const uint64_t* ids, uint64_t n, float* out) {
    for (uint64_t r = 0; r < n; ++r) out[r] = CodeDotAvx2(query, codes + ids[r] * dim, dim);
}

}  // namespace orvane::dist::encode_space
