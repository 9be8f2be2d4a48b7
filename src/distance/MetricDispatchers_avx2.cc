// AVX2 metric kernels (MetricKernelsAvx2.h) behind the dispatchers.
#include "distance/MetricDispatchers.h"
#include "distance/MetricKernelsAvx2.h"

namespace orvane::dist {

namespace {

using detail::CosineAvx2;
using detail::SumKernelAvx2;

template <MetricE M>
float Avx2Kernel(const float* a, const float* b, dimension_t n) {
    if constexpr (M == MetricE::cosine) {
        return CosineAvx2(a, b, n);
    } else {
        return SumKernelAvx2<M>(a, b, n);
    }
}

}  // namespace

template <MetricE M>
float MetricDispatcher<M>::TagInvoke(isa::Avx2T, std::span<const float> a,
                                     std::span<const float> b) {
    return Avx2Kernel<M>(a.data(), b.data(), static_cast<dimension_t>(a.size()));
}

template <MetricE M>
void MetricBatchDispatcher<M>::TagInvoke(isa::Avx2T, const float* query, const uint8_t* base,
                                         uint64_t strideBytes, dimension_t dim, uint64_t n,
                                         float* out) {
    detail::ForEachRow<&Avx2Kernel<M>>(query, base, strideBytes, dim, n, out);
}

template float MetricDispatcher<MetricE::l2>::TagInvoke(isa::Avx2T, std::span<const float>,
                                                        std::span<const float>);
template float MetricDispatcher<MetricE::ip>::TagInvoke(isa::Avx2T, std::span<const float>,
                                                        std::span<const float>);
template float MetricDispatcher<MetricE::cosine>::TagInvoke(isa::Avx2T, std::span<const float>,
                                                            std::span<const float>);
template void MetricBatchDispatcher<MetricE::l2>::TagInvoke(isa::Avx2T, const float*,
                                                            const uint8_t*, uint64_t, dimension_t,
                                                            uint64_t, float*);
template void MetricBatchDispatcher<MetricE::ip>::TagInvoke(isa::Avx2T, const float*,
                                                            const uint8_t*, uint64_t, dimension_t,
                                                            uint64_t, float*);
template void MetricBatchDispatcher<MetricE::cosine>::TagInvoke(isa::Avx2T, const float*,
                                                                const uint8_t*, uint64_t,
                                                                dimension_t, uint64_t, float*);

template <MetricE M>
void MetricGatherDispatcher<M>::TagInvoke(isa::Avx2T, const float* query, const float* base,
                                          dimension_t dim, const uint64_t* ids, uint64_t n,
                                          float* out) {
    detail::ForEachId<&Avx2Kernel<M>>(query, base, dim, ids, n, out);
}

template struct MetricGatherDispatcher<MetricE::l2>;
template struct MetricGatherDispatcher<MetricE::ip>;
template struct MetricGatherDispatcher<MetricE::cosine>;

}  // namespace orvane::dist
