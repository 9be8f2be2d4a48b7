// Scalar sq8 kernels: float accumulation with a fused multiply-add per
// component, in index order.
#include <cmath>

#include "encoding/sq8/SQ8Dispatchers.h"

namespace orvane::dist::encode_space {

namespace {

float L2Scalar(const float* qCentered, const uint8_t* codes, float a, float b, dimension_t dim) {
    float sum = 0.0f;
    for (dimension_t i = 0; i < dim; ++i) {
        const float diff = qCentered[i] - std::fma(a, static_cast<float>(codes[i]), b);
        sum = std::fma(diff, diff, sum);
    }
    return sum;
}

float IPScalar(const float* qCentered, const uint8_t* codes, float a, float b, dimension_t dim) {
    float sum = 0.0f;
    for (dimension_t i = 0; i < dim; ++i) {
        sum = std::fma(std::fma(a, static_cast<float>(codes[i]), b), qCentered[i], sum);
    }
    return sum;
}

}  // namespace

float SQ8EvalL2Dispatcher::TagInvoke(isa::ScalarT, const float* qCentered, const uint8_t* codes,
                                     float a, float b, dimension_t dim) {
    return L2Scalar(qCentered, codes, a, b, dim);
}

float SQ8EvalIPDispatcher::TagInvoke(isa::ScalarT, const float* qCentered, const uint8_t* codes,
                                     float a, float b, dimension_t dim) {
    return IPScalar(qCentered, codes, a, b, dim);
}

namespace {

float CodeDotScalar(const float* qCentered, const uint8_t* codes, dimension_t dim) {
    float sum = 0.0f;
    for (dimension_t i = 0; i < dim; ++i) {
        sum = std::fma(qCentered[i], static_cast<float>(codes[i]), sum);
    }
    return sum;
}

}  // namespace

float SQ8CodeDotDispatcher::TagInvoke(isa::ScalarT, const float* qCentered, const uint8_t* codes,
                                      dimension_t dim) {
    return CodeDotScalar(qCentered, codes, dim);
}

void SQ8CodeDotDispatcher::TagInvoke(isa::ScalarT, const float* qCentered, const uint8_t* codes,
                                     dimension_t dim, const uint64_t* ids, uint64_t n, float* out) {
    for (uint64_t i = 0; i < n; ++i) out[i] = CodeDotScalar(qCentered, codes + ids[i] * dim, dim);
}

template <MetricE M>
void SQ8BatchEvalDispatcher<M>::TagInvoke(isa::ScalarT, const SQ8QueryView& query,
                                          const EncodedBatch& batch, float* out) {
    detail::SQ8BatchLoop<M, &L2Scalar, &IPScalar>(query, batch, out);
}

template void SQ8BatchEvalDispatcher<MetricE::l2>::TagInvoke(isa::ScalarT, const SQ8QueryView&,
                                                             const EncodedBatch&, float*);
template void SQ8BatchEvalDispatcher<MetricE::ip>::TagInvoke(isa::ScalarT, const SQ8QueryView&,
                                                             const EncodedBatch&, float*);
template void SQ8BatchEvalDispatcher<MetricE::cosine>::TagInvoke(isa::ScalarT, const SQ8QueryView&,
                                                                 const EncodedBatch&, float*);

}  // namespace orvane::dist::encode_space
