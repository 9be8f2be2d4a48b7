// Expanded form of the sq8 scores, for scanning many stored rows. With the
// residual reconstructed as a * code + b and r = the centred query,
//   sum (r - a*code - b)^2 = sum r^2 + d*b^2 + a^2 * sum code^2 - 2b * sum r
//                            - 2a * sum r*code + 2ab * sum code
//   sum (a*code + b) * r   = a * sum r*code + b * sum r
// so per row only the dot product sum r*code (SQ8CodeDotDispatcher) touches
// every component; sum r and sum r^2 are per query, sum code and sum code^2
// per row (computed once when the rows are loaded, or per row for a code the
// caller supplies). Up to float rounding these are the values of the
// definitions, sum (r - (a*code + b))^2 and the ip/cosine finish of FinishSQ8.
#pragma once

#include <algorithm>
#include <cstdint>

#include "distance/MetricE.h"
#include "encoding/sq8/SQ8Dispatchers.h"
#include "encoding/sq8/SQ8Types.h"

namespace orvane::dist::encode_space {

// Per-query sums of the centred query r.
struct SQ8QuerySums {
    double sum = 0;     // sum r[i]
    double normSq = 0;  // sum r[i]^2
};

// Per-row sums of the code bytes (exact integers).
struct SQ8CodeStats {
    float sum = 0;    // sum code[i]
    float sumSq = 0;  // sum code[i]^2
};

inline SQ8QuerySums ComputeSQ8QuerySums(const SQ8QueryView& q) {
    SQ8QuerySums sums;
    for (dimension_t i = 0; i < q.dim; ++i) {
        sums.sum += q.qCentered[i];
        sums.normSq += static_cast<double>(q.qCentered[i]) * q.qCentered[i];
    }
    return sums;
}

inline SQ8CodeStats ComputeSQ8CodeStats(const uint8_t* codes, dimension_t dim) {
    uint64_t sum = 0;
    uint64_t sumSq = 0;
    for (dimension_t i = 0; i < dim; ++i) {
        sum += codes[i];
        sumSq += uint64_t{codes[i]} * codes[i];
    }
    return SQ8CodeStats{static_cast<float>(sum), static_cast<float>(sumSq)};
}

// The metric value of a row from its dot product sum r*code.
template <MetricE M>
inline float FinishSQ8Expanded(const SQ8QueryView& q, const SQ8QuerySums& qs,
                               const SQ8VectorHeader& h, const SQ8CodeStats& cs, float dot) {
    const double a = h.a;
    const double b = h.b;
    if constexpr (M == MetricE::l2) {
        const double value = qs.normSq + q.dim * b * b + a * a * cs.sumSq - 2.0 * b * qs.sum -
                             2.0 * a * dot + 2.0 * a * b * cs.sum;
        // Rounding must not turn a squared distance negative.
        return static_cast<float>(std::max(value, 0.0));
    } else {
        return detail::FinishSQ8<M>(q, h, static_cast<float>(a * dot + b * qs.sum));
    }
}

}  // namespace orvane::dist::encode_space
