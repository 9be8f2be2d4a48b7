// Expanded sq8 scoring for scans over many stored rows. A row's residual is
// r[i] = a * code[i] + b, so with the centred query p = q - c:
//   l2: sum (p[i] - r[i])^2 = |p|^2 - 2b sum p + d b^2 - 2a (D - b C1) + a^2 C2
//   ip: sum r[i] p[i]      = a D + b sum p
// where D = sum p[i] * code[i] is the only term needing both the query and
// the row, and C1 = sum code[i], C2 = sum code[i]^2 depend on the row alone
// and are computed once per row (SQ8CodeSums). The inner loop thus widens and
// multiplies the codes only, about half the work of reconstructing residuals.
// Scores agree with the residual kernels up to float rounding.
#pragma once

#include <cstdint>

#include "distance/MetricE.h"
#include "distance/encode_space/SQ8/SQ8Dispatchers.h"
#include "distance/encode_space/SQ8/SQ8Types.h"
#include "isa/IsaE.h"

namespace orvane::dist::encode_space {

// Exact sums of one row's code bytes.
struct SQ8CodeSums {
    uint32_t sum = 0;
    uint32_t sumSq = 0;
};

SQ8CodeSums ComputeSQ8CodeSums(const uint8_t* codes, dimension_t dim);

// out[i] = sum_j query[j] * codes[ids[i] * dim + j], for rows of `dim` bytes.
struct SQ8CodeDotDispatcher {
    static void TagInvoke(isa::ScalarT, const float* query, const uint8_t* codes, dimension_t dim,
                          const uint64_t* ids, uint64_t n, float* out);
    static void TagInvoke(isa::Avx2T, const float* query, const uint8_t* codes, dimension_t dim,
                          const uint64_t* ids, uint64_t n, float* out);
};

// The metric value of a row from its code dot product D.
template <MetricE M>
inline float FinishSQ8FromDot(const SQ8QueryView& q, const SQ8VectorHeader& h,
                              const SQ8CodeSums& sums, float dot) {
    const double a = h.a;
    const double b = h.b;
    if constexpr (M == MetricE::l2) {
        const double l2 = double(q.qCenteredNormSq) - 2.0 * b * q.qCenteredSum +
                          double(q.dim) * b * b - 2.0 * a * (double(dot) - b * sums.sum) +
                          a * a * sums.sumSq;
        return l2 > 0.0 ? static_cast<float>(l2) : 0.0f;
    } else {
        return detail::FinishSQ8<M>(q, h, static_cast<float>(a * dot + b * q.qCenteredSum));
    }
}

}  // namespace orvane::dist::encode_space
