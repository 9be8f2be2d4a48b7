// Query preparation of the pq encode space: the per-chunk distance table.
#include <algorithm>

#include "distance/encode_space/PQ/PQEncodeSpace.h"
#include "util/Fp32Simd.h"

namespace orvane::dist::encode_space {

PreparedPQ PreparePQQuery(MetricE metric, std::span<const float> query,
                          const PQGlobalHeader& header, std::span<const uint32_t> chunkOffsets,
                          std::span<const float> codebooks, std::span<const float> rotationMatrix,
                          std::pmr::memory_resource& resource) {
    PreparedPQ prepared(&resource);
    const uint32_t m = header.numChunks;
    prepared.precomputedDistances.assign(uint64_t{m} * kPQCentroidCount, 0.0f);
    const size_t d = query.size();
    if (d == 0 || chunkOffsets.size() < uint64_t{m} + 1 || chunkOffsets[m] > d ||
        !ValidChunkOffsets(chunkOffsets.first(uint64_t{m} + 1), chunkOffsets[m])) {
        return prepared;  // a model that does not fit the query: an all-zero table
    }

    // q' = q * R, accumulated row by row of R so the inner loop is contiguous.
    std::pmr::vector<float> rotated(&resource);
    std::span<const float> q = query;
    if (header.useOpq && rotationMatrix.size() >= d * d) {
        rotated.assign(d, 0.0f);
        for (size_t i = 0; i < d; ++i) {
            const float qi = query[i];
            const float* r = rotationMatrix.data() + i * d;
            for (size_t j = 0; j < d; ++j) rotated[j] += qi * r[j];
        }
        q = rotated;
    }

    std::pmr::vector<float> terms(d, 0.0f, &resource);
    const std::span<float> out(terms);
    const size_t rows = std::min<size_t>(kPQCentroidCount, codebooks.size() / d);
    float* table = prepared.precomputedDistances.data();
    for (size_t j = 0; j < rows; ++j) {
        const std::span<const float> centroid = codebooks.subspan(j * d, d);
        if (metric == MetricE::ip) {
            util::Fp32VectorMul(q, centroid, out);
        } else {
            util::Fp32VectorSub(q, centroid, out);
            util::Fp32VectorMul(terms, terms, out);
        }
        for (uint32_t k = 0; k < m; ++k) {
            float sum = 0.0f;
            for (uint32_t c = chunkOffsets[k]; c < chunkOffsets[k + 1]; ++c) sum += terms[c];
            table[k * kPQCentroidCount + j] = sum;
        }
    }
    return prepared;
}

}  // namespace orvane::dist::encode_space
