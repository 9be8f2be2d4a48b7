// AVX2 element-wise kernels: 8 floats per step with unaligned loads, then a
// scalar tail.
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "distance/Fp32Simd.h"
#include "distance/SimdSum.h"

namespace orvane::dist {

namespace {

template <typename Op>
inline __m256 Apply8(__m256 a, __m256 b) {
    if constexpr (std::is_same_v<Op, Fp32AddOp>) {
        return _mm256_add_ps(a, b);
    } else if constexpr (std::is_same_v<Op, Fp32SubOp>) {
        return _mm256_sub_ps(a, b);
    } else if constexpr (std::is_same_v<Op, Fp32MulOp>) {
        return _mm256_mul_ps(a, b);
    } else {
        return _mm256_div_ps(a, b);
    }
}

}  // namespace

template <typename Op>
void Fp32ElementwiseDispatcher<Op>::TagInvoke(isa::Avx2T, std::span<const float> a,
                                              std::span<const float> b, std::span<float> out) {
    const uint32_t n = static_cast<uint32_t>(a.size());
    const float* pa = a.data();
    const float* pb = b.data();
    float* po = out.data();
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(po + i, Apply8<Op>(_mm256_loadu_ps(pa + i), _mm256_loadu_ps(pb + i)));
    }
    for (; i < n; ++i) po[i] = detail::Fp32ApplyOne<Op>(pa[i], pb[i]);
}

template void Fp32ElementwiseDispatcher<Fp32AddOp>::TagInvoke(isa::Avx2T, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);
template void Fp32ElementwiseDispatcher<Fp32SubOp>::TagInvoke(isa::Avx2T, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);
template void Fp32ElementwiseDispatcher<Fp32MulOp>::TagInvoke(isa::Avx2T, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);
template void Fp32ElementwiseDispatcher<Fp32DivOp>::TagInvoke(isa::Avx2T, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);

void Fp32VectorNormalizeDispatcher::TagInvoke(isa::Avx2T, std::span<const float> a,
                                              std::span<const float> b, std::span<float> out) {
    const size_t n = a.size();
    const float* pa = a.data();
    const float* pb = b.data();
    float* po = out.data();
    __m256 acc = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(pa + i), _mm256_loadu_ps(pb + i));
        _mm256_storeu_ps(po + i, d);
        acc = _mm256_fmadd_ps(d, d, acc);
    }
    float sumSq = HorizontalSum(acc);
    for (; i < n; ++i) {
        po[i] = pa[i] - pb[i];
        sumSq = std::fma(po[i], po[i], sumSq);
    }
    const float norm = std::sqrt(sumSq);
    if (static_cast<double>(norm) < 1e-8) {
        for (i = 0; i < n; ++i) po[i] = 0.0f;
        return;
    }
    const float inv = 1.0f / norm;
    const __m256 vinv = _mm256_set1_ps(inv);
    for (i = 0; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(po + i, _mm256_mul_ps(_mm256_loadu_ps(po + i), vinv));
    }
    for (; i < n; ++i) po[i] *= inv;
}

}  // namespace orvane::dist
