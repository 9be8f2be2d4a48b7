// AVX-512 metric kernels: 512-bit registers and fused multiply-add, float
// accumulation. L2 and inner product walk blocks of 64 floats with four
// independent accumulators, then blocks of 16, and finish the last fewer than
// 16 components with one masked step, so no component is done one at a time.
// Where the 512-bit steps do not pay (L2 and inner product rows shorter than
// 128 components, cosine rows shorter than 256) the AVX2 level runs instead,
// and gives its values there.
#include "isa/Avx512Intrinsics.h"

#include <cmath>

#include "distance/MetricDispatchers.h"
#include "distance/MetricKernelsAvx2.h"
#include "distance/SimdSum.h"

namespace orvane::dist {

namespace {

using detail::FinishCosine;
using dist::HorizontalSum512;

constexpr dimension_t kLanes = 16;
// Below these lengths the reductions and the masked tail outweigh the wider
// steps (measured in bench/distance_bench), so the AVX2 kernels run there.
constexpr dimension_t kSumMinDim = 128;
constexpr dimension_t kCosineMinDim = 256;

template <MetricE M>
constexpr dimension_t kMinDim = M == MetricE::cosine ? kCosineMinDim : kSumMinDim;

template <MetricE M>
inline __m512 Accumulate16(__m512 acc, __m512 x, __m512 y) {
    if constexpr (M == MetricE::l2) {
        const __m512 d = _mm512_sub_ps(x, y);
        return _mm512_fmadd_ps(d, d, acc);
    } else {
        return _mm512_fmadd_ps(x, y, acc);
    }
}

// Mask of the first `count` (< 16) lanes.
inline __mmask16 TailMask(dimension_t count) {
    return static_cast<__mmask16>((1u << count) - 1u);
}

template <MetricE M>
float SumKernelAvx512(const float* a, const float* b, dimension_t n) {
    __m512 acc0 = _mm512_setzero_ps();
    __m512 acc1 = _mm512_setzero_ps();
    __m512 acc2 = _mm512_setzero_ps();
    __m512 acc3 = _mm512_setzero_ps();
    dimension_t i = 0;
    for (; i + 4 * kLanes <= n; i += 4 * kLanes) {
        acc0 = Accumulate16<M>(acc0, _mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
        acc1 = Accumulate16<M>(acc1, _mm512_loadu_ps(a + i + 16), _mm512_loadu_ps(b + i + 16));
        acc2 = Accumulate16<M>(acc2, _mm512_loadu_ps(a + i + 32), _mm512_loadu_ps(b + i + 32));
        acc3 = Accumulate16<M>(acc3, _mm512_loadu_ps(a + i + 48), _mm512_loadu_ps(b + i + 48));
    }
    for (; i + kLanes <= n; i += kLanes) {
        acc0 = Accumulate16<M>(acc0, _mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
    }
    if (i < n) {
        // Masked-off lanes load as 0 in both operands and add 0.
        const __mmask16 mask = TailMask(n - i);
        acc1 = Accumulate16<M>(acc1, _mm512_maskz_loadu_ps(mask, a + i),
                               _mm512_maskz_loadu_ps(mask, b + i));
    }
    return HorizontalSum512(_mm512_add_ps(_mm512_add_ps(acc0, acc1), _mm512_add_ps(acc2, acc3)));
}

float CosineAvx512(const float* a, const float* b, dimension_t n) {
    __m512 dot0 = _mm512_setzero_ps();
    __m512 dot1 = _mm512_setzero_ps();
    __m512 na0 = _mm512_setzero_ps();
    __m512 na1 = _mm512_setzero_ps();
    __m512 nb0 = _mm512_setzero_ps();
    __m512 nb1 = _mm512_setzero_ps();
    dimension_t i = 0;
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
        const __m512 x0 = _mm512_loadu_ps(a + i);
        const __m512 y0 = _mm512_loadu_ps(b + i);
        const __m512 x1 = _mm512_loadu_ps(a + i + kLanes);
        const __m512 y1 = _mm512_loadu_ps(b + i + kLanes);
        dot0 = _mm512_fmadd_ps(x0, y0, dot0);
        na0 = _mm512_fmadd_ps(x0, x0, na0);
        nb0 = _mm512_fmadd_ps(y0, y0, nb0);
        dot1 = _mm512_fmadd_ps(x1, y1, dot1);
        na1 = _mm512_fmadd_ps(x1, x1, na1);
        nb1 = _mm512_fmadd_ps(y1, y1, nb1);
    }
    if (i + kLanes <= n) {
        const __m512 x = _mm512_loadu_ps(a + i);
        const __m512 y = _mm512_loadu_ps(b + i);
        dot0 = _mm512_fmadd_ps(x, y, dot0);
        na0 = _mm512_fmadd_ps(x, x, na0);
        nb0 = _mm512_fmadd_ps(y, y, nb0);
        i += kLanes;
    }
    if (i < n) {
        const __mmask16 mask = TailMask(n - i);
        const __m512 x = _mm512_maskz_loadu_ps(mask, a + i);
        const __m512 y = _mm512_maskz_loadu_ps(mask, b + i);
        dot1 = _mm512_fmadd_ps(x, y, dot1);
        na1 = _mm512_fmadd_ps(x, x, na1);
        nb1 = _mm512_fmadd_ps(y, y, nb1);
    }
    return FinishCosine(HorizontalSum512(_mm512_add_ps(dot0, dot1)),
                        HorizontalSum512(_mm512_add_ps(na0, na1)),
                        HorizontalSum512(_mm512_add_ps(nb0, nb1)));
}

template <MetricE M>
float Avx512Kernel(const float* a, const float* b, dimension_t n) {
    if constexpr (M == MetricE::cosine) {
        return CosineAvx512(a, b, n);
    } else {
        return SumKernelAvx512<M>(a, b, n);
    }
}

}  // namespace

// Shorter rows run the AVX2 level itself (a direct call, decided once per
// call and not per row).
template <MetricE M>
float MetricDispatcher<M>::TagInvoke(isa::Avx512T, std::span<const float> a,
                                     std::span<const float> b) {
    if (a.size() < kMinDim<M>) return TagInvoke(isa::Avx2T{}, a, b);
    return Avx512Kernel<M>(a.data(), b.data(), static_cast<dimension_t>(a.size()));
}

template <MetricE M>
void MetricBatchDispatcher<M>::TagInvoke(isa::Avx512T, const float* query, const uint8_t* base,
                                         uint64_t strideBytes, dimension_t dim, uint64_t n,
                                         float* out) {
    if (dim < kMinDim<M>) return TagInvoke(isa::Avx2T{}, query, base, strideBytes, dim, n, out);
    detail::ForEachRow<&Avx512Kernel<M>>(query, base, strideBytes, dim, n, out);
}

template <MetricE M>
void MetricGatherDispatcher<M>::TagInvoke(isa::Avx512T, const float* query, const float* base,
                                          dimension_t dim, const uint64_t* ids, uint64_t n,
                                          float* out) {
    if (dim < kMinDim<M>) return TagInvoke(isa::Avx2T{}, query, base, dim, ids, n, out);
    detail::ForEachId<&Avx512Kernel<M>>(query, base, dim, ids, n, out);
}

template float MetricDispatcher<MetricE::l2>::TagInvoke(isa::Avx512T, std::span<const float>,
                                                        std::span<const float>);
template float MetricDispatcher<MetricE::ip>::TagInvoke(isa::Avx512T, std::span<const float>,
                                                        std::span<const float>);
template float MetricDispatcher<MetricE::cosine>::TagInvoke(isa::Avx512T, std::span<const float>,
                                                            std::span<const float>);
template void MetricBatchDispatcher<MetricE::l2>::TagInvoke(isa::Avx512T, const float*,
                                                            const uint8_t*, uint64_t, dimension_t,
                                                            uint64_t, float*);
template void MetricBatchDispatcher<MetricE::ip>::TagInvoke(isa::Avx512T, const float*,
                                                            const uint8_t*, uint64_t, dimension_t,
                                                            uint64_t, float*);
template void MetricBatchDispatcher<MetricE::cosine>::TagInvoke(isa::Avx512T, const float*,
                                                                const uint8_t*, uint64_t,
                                                                dimension_t, uint64_t, float*);
template struct MetricGatherDispatcher<MetricE::l2>;
template struct MetricGatherDispatcher<MetricE::ip>;
template struct MetricGatherDispatcher<MetricE::cosine>;

}  // namespace orvane::dist
