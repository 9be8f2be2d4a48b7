// AVX-512 element-wise kernels: 16 floats per step with unaligned loads, the
// last fewer than 16 in one masked step.
#include "isa/Avx512Intrinsics.h"

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "distance/Fp32Simd.h"

namespace orvane::dist {

namespace {

template <typename Op>
inline __m512 Apply16(__m512 a, __m512 b) {
    if constexpr (std::is_same_v<Op, Fp32AddOp>) {
        return _mm512_add_ps(a, b);
    } else if constexpr (std::is_same_v<Op, Fp32SubOp>) {
        return _mm512_sub_ps(a, b);
    } else if constexpr (std::is_same_v<Op, Fp32MulOp>) {
        return _mm512_mul_ps(a, b);
    } else {
        return _mm512_div_ps(a, b);
    }
}

inline __mmask16 TailMask(size_t count) {
    return static_cast<__mmask16>((1u << count) - 1u);
}

}  // namespace

template <typename Op>
void Fp32ElementwiseDispatcher<Op>::TagInvoke(isa::Avx512T, std::span<const float> a,
                                              std::span<const float> b, std::span<float> out) {
    const uint32_t n = static_cast<uint32_t>(a.size());
    const float* pa = a.data();
    const float* pb = b.data();
    float* po = out.data();
    uint32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        _mm512_storeu_ps(po + i, Apply16<Op>(_mm512_loadu_ps(pa + i), _mm512_loadu_ps(pb + i)));
    }
    if (i < n) {
        // Masked-off lanes are neither read nor written; for the division
        // they hold 1 so that no spurious exception is raised.
        const __mmask16 mask = TailMask(n - i);
        const __m512 one = _mm512_set1_ps(1.0f);
        const __m512 x = _mm512_mask_loadu_ps(one, mask, pa + i);
        const __m512 y = _mm512_mask_loadu_ps(one, mask, pb + i);
        _mm512_mask_storeu_ps(po + i, mask, Apply16<Op>(x, y));
    }
}

template void Fp32ElementwiseDispatcher<Fp32AddOp>::TagInvoke(isa::Avx512T, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);
template void Fp32ElementwiseDispatcher<Fp32SubOp>::TagInvoke(isa::Avx512T, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);
template void Fp32ElementwiseDispatcher<Fp32MulOp>::TagInvoke(isa::Avx512T, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);
template void Fp32ElementwiseDispatcher<Fp32DivOp>::TagInvoke(isa::Avx512T, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);

void Fp32VectorNormalizeDispatcher::TagInvoke(isa::Avx512T, std::span<const float> a,
                                              std::span<const float> b, std::span<float> out) {
    const size_t n = a.size();
    const float* pa = a.data();
    const float* pb = b.data();
    float* po = out.data();
    __m512 acc = _mm512_setzero_ps();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(pa + i), _mm512_loadu_ps(pb + i));
        _mm512_storeu_ps(po + i, d);
        acc = _mm512_fmadd_ps(d, d, acc);
    }
    const __mmask16 tail = TailMask(n - i);
    if (i < n) {
        const __m512 d =
            _mm512_sub_ps(_mm512_maskz_loadu_ps(tail, pa + i), _mm512_maskz_loadu_ps(tail, pb + i));
        _mm512_mask_storeu_ps(po + i, tail, d);
        acc = _mm512_fmadd_ps(d, d, acc);
    }
    const float norm = std::sqrt(_mm512_reduce_add_ps(acc));
    if (static_cast<double>(norm) < 1e-8) {
        for (i = 0; i < n; ++i) po[i] = 0.0f;
        return;
    }
    const __m512 vinv = _mm512_set1_ps(1.0f / norm);
    for (i = 0; i + 16 <= n; i += 16) {
        _mm512_storeu_ps(po + i, _mm512_mul_ps(_mm512_loadu_ps(po + i), vinv));
    }
    if (i < n) {
        _mm512_mask_storeu_ps(po + i, tail,
                              _mm512_mul_ps(_mm512_maskz_loadu_ps(tail, po + i), vinv));
    }
}

}  // namespace orvane::dist
