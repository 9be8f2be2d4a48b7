// Scalar element-wise kernels and the dispatched entry points.
#include "distance/Fp32Simd.h"

#include <cmath>
#include <cstdint>

#include "isa/DynamicIsa.h"

namespace orvane::dist {

template <typename Op>
void Fp32ElementwiseDispatcher<Op>::TagInvoke(isa::ScalarT, std::span<const float> a,
                                              std::span<const float> b, std::span<float> out) {
    const uint32_t n = static_cast<uint32_t>(a.size());
    for (uint32_t i = 0; i < n; ++i) out[i] = detail::Fp32ApplyOne<Op>(a[i], b[i]);
}

template void Fp32ElementwiseDispatcher<Fp32AddOp>::TagInvoke(isa::ScalarT, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);
template void Fp32ElementwiseDispatcher<Fp32SubOp>::TagInvoke(isa::ScalarT, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);
template void Fp32ElementwiseDispatcher<Fp32MulOp>::TagInvoke(isa::ScalarT, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);
template void Fp32ElementwiseDispatcher<Fp32DivOp>::TagInvoke(isa::ScalarT, std::span<const float>,
                                                              std::span<const float>,
                                                              std::span<float>);

void Fp32VectorNormalizeDispatcher::TagInvoke(isa::ScalarT, std::span<const float> a,
                                              std::span<const float> b, std::span<float> out) {
    const size_t n = a.size();
    float sumSq = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        out[i] = a[i] - b[i];
        sumSq = std::fma(out[i], out[i], sumSq);
    }
    const float norm = std::sqrt(sumSq);
    if (static_cast<double>(norm) < 1e-8) {
        for (size_t i = 0; i < n; ++i) out[i] = 0.0f;
        return;
    }
    const float inv = 1.0f / norm;
    for (size_t i = 0; i < n; ++i) out[i] *= inv;
}

void Fp32VectorAdd(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    isa::InvokeWithDynamicIsa(Fp32VectorAddDispatcher{}, a, b, out);
}

void Fp32VectorSub(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    isa::InvokeWithDynamicIsa(Fp32VectorSubDispatcher{}, a, b, out);
}

void Fp32VectorMul(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    isa::InvokeWithDynamicIsa(Fp32VectorMulDispatcher{}, a, b, out);
}

void Fp32VectorDiv(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    isa::InvokeWithDynamicIsa(Fp32VectorDivDispatcher{}, a, b, out);
}

std::vector<float> Fp32VectorNormalize(std::span<float> a, std::span<const float> b) {
    std::vector<float> result(a.size());
    isa::InvokeWithDynamicIsa(Fp32VectorNormalizeDispatcher{}, std::span<const float>(a), b,
                              std::span<float>(result));
    return result;
}

}  // namespace orvane::dist
