// AVX-512 sq8 kernels. With VNNI and the query's digit planes: 64 code bytes
// at a time are multiplied into each of the three planes and summed in 32-bit
// integer lanes (vpdpbusd), three instructions per 64 codes. Otherwise 16 code
// bytes at a time are widened to floats and multiplied into the centred query
// 16 lanes at once, four independent accumulators over 64-code steps. Either
// way the last partial step is masked, so no component is done one at a time.
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
// The integer kernel scores a row in about 20 ns, so it asks 16 rows ahead
// for about the same lead (against 8: 0.95x the scan's time, near the noise).
constexpr uint64_t kDigitPrefetchRows = 16;

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

// Components per block of the integer kernel. A lane gathers at most
// 4 * 255 * 128 per step of 64 codes, so over a block of 32 steps the 16
// lanes of a plane add up to less than 2^27: exact in 32 bits. The blocks'
// plane sums are then combined in 64-bit integers.
constexpr dimension_t kDigitBlock = 2048;

// The sums of the 16 lanes of each of a, b and c, added to *sa, *sb and *sc.
inline void AddLaneSums(__m512i a, __m512i b, __m512i c, int64_t* sa, int64_t* sb, int64_t* sc) {
    const auto halve = [](__m512i v) {
        const __m256i h =
            _mm256_add_epi32(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
        return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
    };
    const __m128i ab = _mm_hadd_epi32(halve(a), halve(b));  // a a b b
    const __m128i cc = halve(c);
    const __m128i sums = _mm_hadd_epi32(ab, _mm_hadd_epi32(cc, cc));  // a b c c
    *sa += _mm_cvtsi128_si32(sums);
    *sb += _mm_extract_epi32(sums, 1);
    *sc += _mm_extract_epi32(sums, 2);
}

// sum digits * codes over the three planes, times the unit: the integer sums
// are exact, so the only roundings are the query's split and the final product.
__attribute__((target("avx512vnni"))) inline float CodeDotVnni(const SQ8QueryDigits& digits,
                                                               const uint8_t* codes,
                                                               dimension_t dim,
                                                               const uint8_t* ahead) {
    const int8_t* low = digits.planes;
    const int8_t* mid = low + digits.stride;
    const int8_t* high = mid + digits.stride;
    int64_t lowSum = 0, midSum = 0, highSum = 0;
    dimension_t i = 0;
    while (i < dim) {
        const dimension_t end = dim - i > kDigitBlock ? i + kDigitBlock : dim;
        __m512i a0 = _mm512_setzero_si512(), a1 = a0, b0 = a0, b1 = a0, c0 = a0, c1 = a0;
        for (; i + 2 * 64 <= end; i += 2 * 64) {
            if (ahead != nullptr) {
                PrefetchAhead(ahead + i);
                PrefetchAhead(ahead + i + 64);
            }
            const __m512i v = _mm512_loadu_si512(codes + i);
            const __m512i w = _mm512_loadu_si512(codes + i + 64);
            a0 = _mm512_dpbusd_epi32(a0, v, _mm512_loadu_si512(low + i));
            b0 = _mm512_dpbusd_epi32(b0, v, _mm512_loadu_si512(mid + i));
            c0 = _mm512_dpbusd_epi32(c0, v, _mm512_loadu_si512(high + i));
            a1 = _mm512_dpbusd_epi32(a1, w, _mm512_loadu_si512(low + i + 64));
            b1 = _mm512_dpbusd_epi32(b1, w, _mm512_loadu_si512(mid + i + 64));
            c1 = _mm512_dpbusd_epi32(c1, w, _mm512_loadu_si512(high + i + 64));
        }
        // Steps of 64 up to the block's end; only the last block's last one is
        // partial, and the planes are zero up to their stride, so only the codes
        // are masked (i then passes dim, which ends the outer loop).
        for (; i < end; i += 64) {
            if (ahead != nullptr) PrefetchAhead(ahead + i);
            const dimension_t left = end - i;
            const __mmask64 mask = left >= 64 ? ~__mmask64{0} : (__mmask64{1} << left) - 1;
            const __m512i v = _mm512_maskz_loadu_epi8(mask, codes + i);
            a0 = _mm512_dpbusd_epi32(a0, v, _mm512_loadu_si512(low + i));
            b0 = _mm512_dpbusd_epi32(b0, v, _mm512_loadu_si512(mid + i));
            c0 = _mm512_dpbusd_epi32(c0, v, _mm512_loadu_si512(high + i));
        }
        AddLaneSums(_mm512_add_epi32(a0, a1), _mm512_add_epi32(b0, b1), _mm512_add_epi32(c0, c1),
                    &lowSum, &midSum, &highSum);
    }
    const int64_t sum = lowSum + 256 * midSum + 65536 * highSum;
    return static_cast<float>(static_cast<double>(sum) * digits.unit);
}

bool UseDigits(const SQ8QueryView& q) {
    return q.digits.planes != nullptr && SQ8DigitsPay(q.dim);
}

// The row loops of both kernels, over rows found by rowAt(i). Each is
// compiled for its own instruction set so that its kernel is inlined into
// the loop: a call per row costs about as much as scoring a short one. The
// row kPrefetchRows (kDigitPrefetchRows) ahead is prefetched while the
// current one is scored (ids may jump, so the hardware cannot guess them).
template <typename RowAt>
__attribute__((target("avx512vnni"))) void CodeDotsVnni(const SQ8QueryView& q, RowAt rowAt,
                                                        uint64_t n, float* out) {
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* ahead = i + kDigitPrefetchRows < n ? rowAt(i + kDigitPrefetchRows) : nullptr;
        out[i] = CodeDotVnni(q.digits, rowAt(i), q.dim, ahead);
    }
}

template <typename RowAt>
void CodeDotsFloat(const SQ8QueryView& q, RowAt rowAt, uint64_t n, float* out) {
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* ahead = i + kPrefetchRows < n ? rowAt(i + kPrefetchRows) : nullptr;
        out[i] = CodeDotAvx512(q.qCentered, rowAt(i), q.dim, ahead);
    }
}

template <typename RowAt>
void CodeDots(const SQ8QueryView& q, RowAt rowAt, uint64_t n, float* out) {
    if (UseDigits(q)) {
        CodeDotsVnni(q, rowAt, n, out);
    } else {
        CodeDotsFloat(q, rowAt, n, out);
    }
}

}  // namespace

float SQ8CodeDotDispatcher::TagInvoke(isa::Avx512T, const SQ8QueryView& q, const uint8_t* codes) {
    return UseDigits(q) ? CodeDotVnni(q.digits, codes, q.dim, nullptr)
                        : CodeDotAvx512(q.qCentered, codes, q.dim, nullptr);
}

void SQ8CodeDotDispatcher::TagInvoke(isa::Avx512T, const SQ8QueryView& q, const uint8_t* codes,
                                     const uint64_t* ids, uint64_t n, float* out) {
    CodeDots(q, detail::SQ8IdRows{codes, ids, q.dim}, n, out);
}

void SQ8CodeDotDispatcher::TagInvoke(isa::Avx512T, const SQ8QueryView& q, const uint8_t* rows,
                                     uint64_t n, float* out) {
    CodeDots(q, detail::SQ8RunRows{rows, q.dim}, n, out);
}

}  // namespace orvane::dist::encode_space
