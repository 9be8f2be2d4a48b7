// Data of the pq encode space. A vector of d components is split into
// numChunks contiguous chunks; each chunk stores the one-byte index of its
// nearest of `ks` (= 256) chunk centroids. With OPQ the vector is first rotated
// by the orthogonal d x d matrix `rotation` (x' = x * R).
//
// Stored row (see PQRowBytes): numChunks code bytes; for ip also
// (-numChunks mod 4) zero bytes and one float, the IP factor |x| / |x_hat|.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "distance/MetricE.h"

namespace orvane::dist::encode_space {

// Centroids per chunk; the only value the stored format allows.
inline constexpr uint32_t kPQCentroids = 256;

// 16 bytes when stored; this is the in-memory image that is written.
struct PQGlobalHeader {
    uint32_t numChunks = 0;      // m, 1 <= m <= dimension
    uint32_t ks = kPQCentroids;  // centroids per chunk
    MetricE metricType = MetricE::l2;
    bool useOpq = false;  // rotation present and applied
    uint8_t padding[3] = {0, 0, 0};
};
static_assert(sizeof(PQGlobalHeader) == 16, "the stored PQ global header is 16 bytes");

// What the pq trainer learned; input to encoding and query preparation.
struct PQModel {
    PQGlobalHeader header;
    std::vector<uint32_t> chunkOffsets;  // m + 1 offsets, 0 .. d
    std::vector<float> codebooks;        // 256 rows of d floats; row j = centroid j of every chunk
    std::vector<float> rotation;         // d x d row-major, empty without OPQ
    uint32_t threadCount = 1;            // encoding workers
};

// A query's distance table: entry [k * 256 + j] is the partial distance (l2) or
// inner product (ip) of the rotated query to centroid j of chunk k.
struct PreparedPQ {
    explicit PreparedPQ(std::pmr::memory_resource* resource = std::pmr::get_default_resource())
        : precomputedDistances(resource) {}

    std::pmr::vector<float> precomputedDistances;
};

// Chunk boundaries for d components in m chunks (m + 1 values, 0 first, d
// last): the first d - m * floor(d / m) chunks are one component wider.
// Empty when m is 0.
std::vector<uint32_t> AssignChunkOffsets(dimension_t d, uint32_t m);

// Whether `offsets` are valid boundaries for `d` components: at least two
// values, first 0, last d, never decreasing.
bool ValidChunkOffsets(std::span<const uint32_t> offsets, dimension_t d);

// Bytes of one stored row: m, or for ip m rounded up to a multiple of 4 plus
// the 4-byte IP factor.
inline uint64_t PQRowBytes(uint32_t numChunks, MetricE metric) {
    if (metric != MetricE::ip) return numChunks;
    return (uint64_t{numChunks} + 3) / 4 * 4 + sizeof(float);
}

// Byte offset of the IP factor inside an ip row.
inline uint64_t PQIpFactorOffset(uint32_t numChunks) {
    return (uint64_t{numChunks} + 3) / 4 * 4;
}

}  // namespace orvane::dist::encode_space
