// Scalar sq8 kernel: float accumulation with a fused multiply-add per
// component, in index order. Also the split of a query into digit planes.
#include <algorithm>
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

// Three balanced base-256 digits hold up to 127 * (1 + 256 + 65536).
constexpr int64_t kLargestDigitValue = 127 * 65793;
constexpr uint64_t kPlaneAlignment = 64;

}  // namespace

SQ8DigitPlanes SplitSQ8QueryDigits(std::span<const float> qCentered,
                                   std::pmr::memory_resource& resource) {
    SQ8DigitPlanes planes(&resource);
    double largest = 0.0;
    for (const float r : qCentered) {
        if (!std::isfinite(r)) return planes;
        largest = std::max(largest, static_cast<double>(std::fabs(r)));
    }
    const uint64_t dim = qCentered.size();
    planes.stride = (dim + kPlaneAlignment - 1) / kPlaneAlignment * kPlaneAlignment;
    planes.bytes.assign(3 * planes.stride, 0);
    if (largest == 0.0) return planes;  // all digits 0, and so every sum
    planes.unit = largest / static_cast<double>(kLargestDigitValue);
    for (uint64_t i = 0; i < dim; ++i) {
        int64_t value = std::llround(static_cast<double>(qCentered[i]) / planes.unit);
        value = std::clamp(value, -kLargestDigitValue, kLargestDigitValue);
        for (uint64_t p = 0; p < 3; ++p) {
            // The low digit in [-128, 127]; what is left is a multiple of 256.
            const int64_t digit = ((value + 128) & 255) - 128;
            planes.bytes[p * planes.stride + i] = static_cast<int8_t>(digit);
            value = (value - digit) / 256;
        }
    }
    return planes;
}

float SQ8CodeDotDispatcher::TagInvoke(isa::ScalarT, const SQ8QueryView& q, const uint8_t* codes) {
    return CodeDotScalar(q.qCentered, codes, q.dim);
}

void SQ8CodeDotDispatcher::TagInvoke(isa::ScalarT, const SQ8QueryView& q, const uint8_t* codes,
                                     const uint64_t* ids, uint64_t n, float* out) {
    for (uint64_t i = 0; i < n; ++i) {
        out[i] = CodeDotScalar(q.qCentered, codes + ids[i] * q.dim, q.dim);
    }
}

void SQ8CodeDotDispatcher::TagInvoke(isa::ScalarT, const SQ8QueryView& q, const uint8_t* rows,
                                     uint64_t n, float* out) {
    for (uint64_t i = 0; i < n; ++i) out[i] = CodeDotScalar(q.qCentered, rows + i * q.dim, q.dim);
}

}  // namespace orvane::dist::encode_space
