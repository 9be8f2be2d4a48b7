// Scalar code sums and code dot products of the expanded sq8 scoring.
#include "distance/encode_space/SQ8/SQ8CodeDot.h"

namespace orvane::dist::encode_space {

SQ8CodeSums ComputeSQ8CodeSums(const uint8_t* codes, dimension_t dim) {
    SQ8CodeSums sums;
    for (dimension_t i = 0; i < dim; ++i) {
        sums.sum += codes[i];
        sums.sumSq += uint32_t{codes[i]} * codes[i];
    }
    return sums;
}

void SQ8CodeDotDispatcher::TagInvoke(isa::ScalarT, const float* query, const uint8_t* codes,
                                     dimension_t dim, const uint64_t* ids, uint64_t n, float* out) {
    for (uint64_t r = 0; r < n; ++r) {
        const uint8_t* row = codes + ids[r] * dim;
        float sum = 0.0f;
        for (dimension_t i = 0; i < dim; ++i) sum += query[i] * static_cast<float>(row[i]);
        out[r] = sum;
    }
}

}  // namespace orvane::dist::encode_space
