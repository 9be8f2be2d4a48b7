// PQGlobalHeader: the fixed 16-byte head of a product-quantization model as
// stored in the quantizer stream, plus the size of one stored pq row.
//
// A stored pq row is `numChunks` code bytes; for the inner-product metric the
// codes are followed by zero bytes up to a multiple of 4 and one float, the
// row's IP factor (|x| / |reconstruction of x|).
#pragma once

#include <cstdint>

#include "distance/MetricE.h"

namespace orvane::dist::encode_space {

struct PQGlobalHeader {
    uint32_t numChunks = 0;            // chunks m, 1 <= m <= dimension
    uint32_t ks = 256;                 // centroids per chunk; readers accept only 256
    MetricE metricType = MetricE::l2;  // l2 or ip
    uint8_t useOpq = 0;                // non-zero: the rotation is present and applied
    uint8_t padding[3] = {0, 0, 0};    // ignored by readers

    bool UsesOpq() const { return useOpq != 0; }
};
static_assert(sizeof(PQGlobalHeader) == 16, "the stored PQ global header is 16 bytes");

// Centroids per chunk of every pq model.
inline constexpr uint32_t kPQCentroidCount = 256;

// Zero bytes between a row's codes and its IP factor: (-numChunks) mod 4.
inline constexpr uint64_t PQIpPadding(uint64_t numChunks) {
    return (4 - numChunks % 4) % 4;
}

// Byte offset of the IP factor within an ip row.
inline constexpr uint64_t PQIpFactorOffset(uint64_t numChunks) {
    return numChunks + PQIpPadding(numChunks);
}

// Bytes of one stored row: numChunks, or for ip the codes rounded up to a
// multiple of 4 plus the 4-byte IP factor.
inline constexpr uint64_t PQRowSize(uint64_t numChunks, MetricE metric) {
    return metric == MetricE::ip ? PQIpFactorOffset(numChunks) + sizeof(float) : numChunks;
}

}  // namespace orvane::dist::encode_space
