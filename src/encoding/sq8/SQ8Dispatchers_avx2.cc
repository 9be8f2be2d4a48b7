// AVX2 sq8 kernels: 8 code bytes at a time are widened to floats, turned into
// residuals a * code + b and accumulated 8 lanes at once (two independent
// accumulators over 16-code steps); the tail is finished one component at a time.
#include <immintrin.h>

#include <cmath>

#include "distance/MetricTerm.h"
#include "encoding/sq8/SQ8Dispatchers.h"
#include "distance/SimdSum.h"

namespace orvane::dist::encode_space {

namespace {

using util::HorizontalSum;

// Widens codes[0..8) to floats.
inline __m256 LoadCodes8(const uint8_t* codes) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes));
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
}

// The metric term of the centred query (first) and each reconstructed residual
// a * code + b (second), summed over the dimension.
template <MetricE M>
float SumAvx2(const float* qCentered, const uint8_t* codes, float a, float b, dimension_t dim) {
    const __m256 va = _mm256_set1_ps(a);
    const __m256 vb = _mm256_set1_ps(b);
    __m256 acc0 = _mm256_setzero_ps();
    __m256 acc1 = _mm256_setzero_ps();
    dimension_t i = 0;
    for (; i + 16 <= dim; i += 16) {
        const __m256 r0 = _mm256_fmadd_ps(va, LoadCodes8(codes + i), vb);
        const __m256 r1 = _mm256_fmadd_ps(va, LoadCodes8(codes + i + 8), vb);
        acc0 = Accumulate<M>(acc0, _mm256_loadu_ps(qCentered + i), r0);
        acc1 = Accumulate<M>(acc1, _mm256_loadu_ps(qCentered + i + 8), r1);
    }
    for (; i + 8 <= dim; i += 8) {
        const __m256 r = _mm256_fmadd_ps(va, LoadCodes8(codes + i), vb);
        acc0 = Accumulate<M>(acc0, _mm256_loadu_ps(qCentered + i), r);
    }
    float sum = HorizontalSum(_mm256_add_ps(acc0, acc1));
    for (; i < dim; ++i) {
        sum = AccumulateOne<M>(sum, qCentered[i], std::fma(a, static_cast<float>(codes[i]), b));
    }
    return sum;
}

float L2Avx2(const float* qCentered, const uint8_t* codes, float a, float b, dimension_t dim) {
    return SumAvx2<MetricE::l2>(qCentered, codes, a, b, dim);
}

float IPAvx2(const float* qCentered, const uint8_t* codes, float a, float b, dimension_t dim) {
    return SumAvx2<MetricE::ip>(qCentered, codes, a, b, dim);
}

// Four independent accumulators over 32-code steps: per 8 codes one widening
// load, one conversion and one fused multiply-add.
inline float CodeDotAvx2(const float* qCentered, const uint8_t* codes, dimension_t dim) {
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

}  // namespace

float SQ8CodeDotDispatcher::TagInvoke(isa::Avx2T, const float* qCentered, const uint8_t* codes,
                                      dimension_t dim) {
    return CodeDotAvx2(qCentered, codes, dim);
}

// The next row is prefetched while the current one is scored: ids may jump.
void SQ8CodeDotDispatcher::TagInvoke(isa::Avx2T, const float* qCentered, const uint8_t* codes,
                                     dimension_t dim, const uint64_t* ids, uint64_t n, float* out) {
    for (uint64_t i = 0; i < n; ++i) {
        if (i + 1 < n) {
            const uint8_t* next = codes + ids[i + 1] * dim;
            for (dimension_t line = 0; line < dim; line += 64) {
                _mm_prefetch(reinterpret_cast<const char*>(next + line), _MM_HINT_T0);
            }
        }
        out[i] = CodeDotAvx2(qCentered, codes + ids[i] * dim, dim);
    }
}

float SQ8EvalL2Dispatcher::TagInvoke(isa::Avx2T, const float* qCentered, const uint8_t* codes,
                                     float a, float b, dimension_t dim) {
    return L2Avx2(qCentered, codes, a, b, dim);
}

float SQ8EvalIPDispatcher::TagInvoke(isa::Avx2T, const float* qCentered, const uint8_t* codes,
                                     float a, float b, dimension_t dim) {
    return IPAvx2(qCentered, codes, a, b, dim);
}

template <MetricE M>
void SQ8BatchEvalDispatcher<M>::TagInvoke(isa::Avx2T, const SQ8QueryView& query,
                                          const EncodedBatch& batch, float* out) {
    detail::SQ8BatchLoop<M, &L2Avx2, &IPAvx2>(query, batch, out);
}

template void SQ8BatchEvalDispatcher<MetricE::l2>::TagInvoke(isa::Avx2T, const SQ8QueryView&,
                                                             const EncodedBatch&, float*);
template void SQ8BatchEvalDispatcher<MetricE::ip>::TagInvoke(isa::Avx2T, const SQ8QueryView&,
                                                             const EncodedBatch&, float*);
template void SQ8BatchEvalDispatcher<MetricE::cosine>::TagInvoke(isa::Avx2T, const SQ8QueryView&,
                                                                 const EncodedBatch&, float*);

}  // namespace orvane::dist::encode_space
