// Scalar sq8 kernel: float accumulation with a fused multiply-add per
// component, in index order.
#include <cmath>

#include "encoding/sq8/SQ8Dispatchers.h"

namespace orvane::dist::encode_space {

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

}  // namespace orvane::dist::encode_space
