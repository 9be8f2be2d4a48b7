#include "encoding/sq8/SQ8EncodeSpace.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace orvane::dist::encode_space {

namespace {

// Number of least-squares refinements of the scale and offset.
constexpr int kRefinePasses = 4;
// Scale used when the residual has no range (all components equal).
constexpr float kMinScale = 1e-6f;
// Keeps the least-squares denominator away from zero.
constexpr float kSqqEpsilon = 1e-8f;

}  // namespace

// A NaN, infinite or out-of-range quotient (possible once the refit scale is 0)
// maps to the most negative int32 and so to code 0.
uint8_t QuantizeSQ8Code(float quotient) {
    const float rounded = std::round(quotient);
    int32_t value = std::numeric_limits<int32_t>::min();
    if (rounded >= -2147483648.0f && rounded < 2147483648.0f) {
        value = static_cast<int32_t>(rounded);
    }
    return static_cast<uint8_t>(std::clamp<int32_t>(value, 0, 255));
}

core::ErrorCode TagInvoke(EncodeTag, const SQ8Model& model, std::span<const float> x,
                          EncodedRowBuilder out) {
    const size_t d = x.size();
    if (model.centroid.size() != d) return core::ErrorCode::FailedPrecondition;
    if (d == 0 || out.data.size() < d || out.aux.size() < sizeof(SQ8VectorHeader)) {
        return core::ErrorCode::InvalidArgument;
    }
    const float* c = model.centroid.data();

    SQ8VectorHeader h;
    float normSq = 0.0f;
    float minR = std::numeric_limits<float>::infinity();
    float maxR = -std::numeric_limits<float>::infinity();
    for (size_t i = 0; i < d; ++i) {
        const float r = x[i] - c[i];
        h.dotXC = std::fma(x[i], c[i], h.dotXC);
        normSq = std::fma(x[i], x[i], normSq);
        h.centeredNorm = std::fma(r, r, h.centeredNorm);
        h.sum += x[i];
        minR = std::min(minR, r);
        maxR = std::max(maxR, r);
    }

    float a = (maxR - minR) / 255.0f;
    if (a == 0.0f) a = kMinScale;
    float b = minR;
    const float dimF = static_cast<float>(d);
    uint8_t* codes = out.data.data();
    for (int pass = 0; pass < kRefinePasses; ++pass) {
        float sq = 0.0f;
        float sqq = 0.0f;
        float sqr = 0.0f;
        float sr = 0.0f;
        for (size_t i = 0; i < d; ++i) {
            const float r = x[i] - c[i];
            const uint8_t code = QuantizeSQ8Code((r - b) / a);
            codes[i] = code;
            const float q = static_cast<float>(code);
            sq += q;
            sqq = std::fma(q, q, sqq);
            sqr = std::fma(q, r, sqr);
            sr += r;
        }
        sqq += kSqqEpsilon;
        a = (sqr - sq * b) / sqq;
        b = (sr - sq * a) / dimF;
    }
    h.a = a;
    h.b = b;
    h.norm = std::sqrt(normSq);
    std::memcpy(out.aux.data(), &h, sizeof(h));
    return core::ErrorCode::Ok;
}

PreparedSQ8 PrepareSQ8Query(MetricE metric, std::span<const float> q,
                            std::span<const float> centroid, float centroidNormSq,
                            std::pmr::memory_resource& resource) {
    PreparedSQ8 prepared(&resource);
    // A centroid that does not cover the query cannot be subtracted from it.
    if (centroid.empty() || centroid.size() != q.size()) return prepared;
    const size_t d = q.size();
    prepared._centroidNormSq = centroidNormSq;
    prepared._qCentered.resize(d);
    for (size_t i = 0; i < d; ++i) prepared._qCentered[i] = q[i] - centroid[i];
    if (SQ8DigitsPay(static_cast<dimension_t>(d))) {
        prepared._qDigits = SplitSQ8QueryDigits(prepared._qCentered, resource);
    }
    if (metric == MetricE::ip || metric == MetricE::cosine) {
        float dot = 0.0f;
        for (size_t i = 0; i < d; ++i) dot = std::fma(q[i], centroid[i], dot);
        prepared._qDotCentroid = dot;
    }
    if (metric == MetricE::cosine) {
        float normSq = 0.0f;
        for (size_t i = 0; i < d; ++i) normSq = std::fma(q[i], q[i], normSq);
        prepared._qNorm = std::sqrt(normSq);
    }
    return prepared;
}

}  // namespace orvane::dist::encode_space
