// AVX-512 sq8 kernel: 16 code bytes at a time are widened to floats and
// multiplied into the centred query 16 lanes at once, four independent
// accumulators over 64-code steps; the last fewer than 16 codes are one masked
// step, so no component is done one at a time.
#include "isa/Avx512Intrinsics.h"

#include "distance/SimdSum.h"
#include "encoding/sq8/SQ8Dispatchers.h"

namespace orvane::dist::encode_space {

namespace {

using dist::HorizontalSum512;

constexpr dimension_t kLanes = 16;
// How far ahead in a list of rows the scan prefetches, and into which cache.
// A row is scored in about 30 ns and arrives from memory in several times
// that, so the request goes out 8 rows (6 KiB of Fashion-MNIST codes)
// ahead; into the second-level cache, since first-level prefetches of that
// many lines stall the scan until some arrive. Against 2 rows into the first
// level, a one-query scan of Fashion-MNIST takes 0.75x the time
// (bench_quantizer_scan_bench; 4 rows ahead is slower, 6 and 10 the same).
constexpr uint64_t kPrefetchRows = 8;

inline void PrefetchAhead(const uint8_t* line) {
    _mm_prefetch(reinterpret_cast<const char*>(line), _MM_HINT_T1);
}

// Widens codes[0..16) to floats.
inline __m512 LoadCodes16(const uint8_t* codes) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
    return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bytes));
}

// `ahead` (or null) is a row scored later: its line at the same offset is
// prefetched with each 64 codes scored, which spreads the requests evenly
// over the scan instead of issuing a row's worth at once.
inline float CodeDotAvx512(const float* qCentered, const uint8_t* codes, dimension_t dim,
                           const uint8_t* ahead) {
    __m512 acc0 = _mm512_setzero_ps();
    __m512 acc1 = _mm512_setzero_ps();
    __m512 acc2 = _mm512_setzero_ps();
    __m512 acc3 = _mm512_setzero_ps();
    dimension_t i = 0;
    for (; i + 4 * kLanes <= dim; i += 4 * kLanes) {
        if (ahead != nullptr) PrefetchAhead(ahead + i);
        acc0 = _mm512_fmadd_ps(_mm512_loadu_ps(qCentered + i), LoadCodes16(codes + i), acc0);
        acc1 =
            _mm512_fmadd_ps(_mm512_loadu_ps(qCentered + i + 16), LoadCodes16(codes + i + 16), acc1);
        acc2 =
            _mm512_fmadd_ps(_mm512_loadu_ps(qCentered + i + 32), LoadCodes16(codes + i + 32), acc2);
        acc3 =
            _mm512_fmadd_ps(_mm512_loadu_ps(qCentered + i + 48), LoadCodes16(codes + i + 48), acc3);
    }
    if (ahead != nullptr && i < dim) {
        PrefetchAhead(ahead + i);
    }
    for (; i + kLanes <= dim; i += kLanes) {
        acc0 = _mm512_fmadd_ps(_mm512_loadu_ps(qCentered + i), LoadCodes16(codes + i), acc0);
    }
    if (i < dim) {
        const __mmask16 mask = static_cast<__mmask16>((1u << (dim - i)) - 1u);
        const __m128i bytes = _mm_maskz_loadu_epi8(mask, codes + i);
        const __m512 c = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bytes));
        acc1 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(mask, qCentered + i), c, acc1);
    }
    return HorizontalSum512(_mm512_add_ps(_mm512_add_ps(acc0, acc1), _mm512_add_ps(acc2, acc3)));
}

}  // namespace

float SQ8CodeDotDispatcher::TagInvoke(isa::Avx512T, const float* qCentered, const uint8_t* codes,
                                      dimension_t dim) {
    return CodeDotAvx512(qCentered, codes, dim, nullptr);
}

// Rows kPrefetchRows ahead in the list are prefetched while the current one
// is scored (ids may jump, so the hardware cannot guess them).
void SQ8CodeDotDispatcher::TagInvoke(isa::Avx512T, const float* qCentered, const uint8_t* codes,
                                     dimension_t dim, const uint64_t* ids, uint64_t n, float* out) {
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* ahead =
            i + kPrefetchRows < n ? codes + ids[i + kPrefetchRows] * dim : nullptr;
        out[i] = CodeDotAvx512(qCentered, codes + ids[i] * dim, dim, ahead);
    }
}

}  // namespace orvane::dist::encode_space
