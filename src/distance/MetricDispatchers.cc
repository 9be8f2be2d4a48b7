// Scalar metric kernels: one pass in index order, products accumulated into
// doubles with a fused multiply-add, the result narrowed to float at the end.
#include <cmath>

#include "distance/MetricDispatchers.h"

namespace orvane::dist {

namespace {

float L2Scalar(const float* a, const float* b, dimension_t n) {
    double acc = 0.0;
    for (dimension_t i = 0; i < n; ++i) {
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        acc = std::fma(d, d, acc);
    }
    return static_cast<float>(acc);
}

float IPScalar(const float* a, const float* b, dimension_t n) {
    double acc = 0.0;
    for (dimension_t i = 0; i < n; ++i) {
        acc = std::fma(static_cast<double>(a[i]), static_cast<double>(b[i]), acc);
    }
    return static_cast<float>(acc);
}

float CosineScalar(const float* a, const float* b, dimension_t n) {
    double dot = 0.0;
    double normA = 0.0;
    double normB = 0.0;
    for (dimension_t i = 0; i < n; ++i) {
        const double x = a[i];
        const double y = b[i];
        dot = std::fma(x, y, dot);
        normA = std::fma(x, x, normA);
        normB = std::fma(y, y, normB);
    }
    if (normA == 0.0 || normB == 0.0) return 0.0f;
    return static_cast<float>(1.0 - dot / (std::sqrt(normA) * std::sqrt(normB)));
}

template <MetricE M>
float ScalarKernel(const float* a, const float* b, dimension_t n) {
    if constexpr (M == MetricE::l2) {
        return L2Scalar(a, b, n);
    } else if constexpr (M == MetricE::ip) {
        return IPScalar(a, b, n);
    } else {
        return CosineScalar(a, b, n);
    }
}

}  // namespace

template <MetricE M>
float MetricDispatcher<M>::TagInvoke(isa::ScalarT, std::span<const float> a,
                                     std::span<const float> b) {
    return ScalarKernel<M>(a.data(), b.data(), static_cast<dimension_t>(a.size()));
}

template <MetricE M>
void MetricBatchDispatcher<M>::TagInvoke(isa::ScalarT, const float* query, const uint8_t* base,
                                         uint64_t strideBytes, dimension_t dim, uint64_t n,
                                         float* out) {
    detail::ForEachRow<&ScalarKernel<M>>(query, base, strideBytes, dim, n, out);
}

template float MetricDispatcher<MetricE::l2>::TagInvoke(isa::ScalarT, std::span<const float>,
                                                        std::span<const float>);
template float MetricDispatcher<MetricE::ip>::TagInvoke(isa::ScalarT, std::span<const float>,
                                                        std::span<const float>);
template float MetricDispatcher<MetricE::cosine>::TagInvoke(isa::ScalarT, std::span<const float>,
                                                            std::span<const float>);
template void MetricBatchDispatcher<MetricE::l2>::TagInvoke(isa::ScalarT, const float*,
                                                            const uint8_t*, uint64_t, dimension_t,
                                                            uint64_t, float*);
template void MetricBatchDispatcher<MetricE::ip>::TagInvoke(isa::ScalarT, const float*,
                                                            const uint8_t*, uint64_t, dimension_t,
                                                            uint64_t, float*);
template void MetricBatchDispatcher<MetricE::cosine>::TagInvoke(isa::ScalarT, const float*,
                                                                const uint8_t*, uint64_t,
                                                                dimension_t, uint64_t, float*);

template <MetricE M>
void MetricGatherDispatcher<M>::TagInvoke(isa::ScalarT, const float* query, const float* base,
                                          dimension_t dim, const uint64_t* ids, uint64_t n,
                                          float* out) {
    detail::ForEachId<&ScalarKernel<M>>(query, base, dim, ids, n, out);
}

template struct MetricGatherDispatcher<MetricE::l2>;
template struct MetricGatherDispatcher<MetricE::ip>;
template struct MetricGatherDispatcher<MetricE::cosine>;

}  // namespace orvane::dist
