// Data of the pq encode space. A vector of d components is split into
// numChunks contiguous chunks; each chunk stores the one-byte index of its
// nearest of `ks` (= 256) chunk centroids. With OPQ the vector is first rotated
// by the orthogonal d x d matrix `rotation` (x' = x * R).
//
// The stored header and row layout are in PQGlobalHeader.h.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "distance/MetricE.h"
#include "encoding/pq/PQGlobalHeader.h"

namespace orvane::dist::encode_space {

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
        : precomputedDistances(resource), rotatedQuery(resource) {}

    std::pmr::vector<float> precomputedDistances;
    // Scratch for the rotated query under OPQ, kept so that preparing the
    // next query into the same object allocates nothing.
    std::pmr::vector<float> rotatedQuery;
};

// Chunk boundaries for d components in m chunks (m + 1 values, 0 first, d
// last): the first d - m * floor(d / m) chunks are one component wider.
// Empty when m is 0.
std::vector<uint32_t> AssignChunkOffsets(dimension_t d, uint32_t m);

// Whether `offsets` are valid boundaries for `d` components: at least two
// values, first 0, last d, never decreasing.
bool ValidChunkOffsets(std::span<const uint32_t> offsets, dimension_t d);

}  // namespace orvane::dist::encode_space
