// Query preparation of the pq encode space: the per-chunk distance table.
//
// This file is compiled without floating-point contraction: both ways of
// filling the table round every product and every sum on its own, so that
// they give the same table bit for bit.
#include <immintrin.h>

#include <algorithm>

#include "distance/Fp32Simd.h"
#include "encoding/pq/PQEncodeSpace.h"

namespace orvane::dist::encode_space {

namespace {

// Whether the model's chunk offsets fit a query of d components.
bool ModelFits(size_t d, uint32_t m, std::span<const uint32_t> chunkOffsets) {
    return d != 0 && chunkOffsets.size() >= uint64_t{m} + 1 && chunkOffsets[m] <= d &&
           ValidChunkOffsets(chunkOffsets.first(uint64_t{m} + 1), chunkOffsets[m]);
}

// q' = q * R into `rotated` (d floats), accumulated row by row of R so the
// inner loop is contiguous.
void Rotate(std::span<const float> query, std::span<const float> rotationMatrix,
            std::pmr::vector<float>& rotated) {
    const size_t d = query.size();
    rotated.assign(d, 0.0f);
    for (size_t i = 0; i < d; ++i) {
        const float qi = query[i];
        const float* r = rotationMatrix.data() + i * d;
        for (size_t j = 0; j < d; ++j) rotated[j] += qi * r[j];
    }
}

// Table row of one chunk: for each of the 256 centroids, the sum over the
// chunk's components [begin, end) of (q[c] - centroid[c])^2 (l2) or
// q[c] * centroid[c] (ip), from 0 in component order. The row is filled a
// block of kBlock centroids at a time, the block's sums held in vector
// registers across the chunk's components, so that a component costs one
// load of its centroid values and no load or store of the row.
template <bool kInnerProduct>
void FillChunkRow(const float* q, const float* byComponent, uint32_t begin, uint32_t end,
                  float* __restrict row) {
    constexpr uint32_t kLanes = 8;
    constexpr uint32_t kVectors = 8;  // 64 centroids a block, 8 of the 16 vector registers
    constexpr uint32_t kBlock = kLanes * kVectors;
    static_assert(kPQCentroidCount % kBlock == 0);
    for (uint32_t j0 = 0; j0 < kPQCentroidCount; j0 += kBlock) {
        __m256 acc[kVectors];
        for (uint32_t v = 0; v < kVectors; ++v) acc[v] = _mm256_setzero_ps();
        for (uint32_t c = begin; c < end; ++c) {
            const __m256 qc = _mm256_set1_ps(q[c]);
            const float* centroids = byComponent + uint64_t{c} * kPQCentroidCount + j0;
            for (uint32_t v = 0; v < kVectors; ++v) {
                const __m256 x = _mm256_loadu_ps(centroids + v * kLanes);
                if constexpr (kInnerProduct) {
                    acc[v] = _mm256_add_ps(acc[v], _mm256_mul_ps(qc, x));
                } else {
                    const __m256 diff = _mm256_sub_ps(qc, x);
                    acc[v] = _mm256_add_ps(acc[v], _mm256_mul_ps(diff, diff));
                }
            }
        }
        for (uint32_t v = 0; v < kVectors; ++v) _mm256_storeu_ps(row + j0 + v * kLanes, acc[v]);
    }
}

}  // namespace

std::pmr::vector<float> TransposePQCodebooks(std::span<const float> codebooks, size_t d,
                                             std::pmr::memory_resource& resource) {
    std::pmr::vector<float> out(&resource);
    if (d == 0 || codebooks.size() != d * kPQCentroidCount) return out;
    out.resize(codebooks.size());
    for (size_t j = 0; j < kPQCentroidCount; ++j) {
        for (size_t c = 0; c < d; ++c) out[c * kPQCentroidCount + j] = codebooks[j * d + c];
    }
    return out;
}

void PreparePQQueryInto(MetricE metric, std::span<const float> query, const PQGlobalHeader& header,
                        std::span<const uint32_t> chunkOffsets,
                        std::span<const float> codebooksByComponent,
                        std::span<const float> rotationMatrix, PreparedPQ& prepared) {
    const uint32_t m = header.numChunks;
    const size_t d = query.size();
    prepared.precomputedDistances.resize(uint64_t{m} * kPQCentroidCount);
    float* table = prepared.precomputedDistances.data();
    if (!ModelFits(d, m, chunkOffsets) || codebooksByComponent.size() < d * kPQCentroidCount) {
        // A model that does not fit the query: an all-zero table.
        std::fill(prepared.precomputedDistances.begin(), prepared.precomputedDistances.end(), 0.0f);
        return;
    }
    const float* q = query.data();
    if (header.useOpq && rotationMatrix.size() >= d * d) {
        Rotate(query, rotationMatrix, prepared.rotatedQuery);
        q = prepared.rotatedQuery.data();
    }
    for (uint32_t k = 0; k < m; ++k) {
        float* row = table + uint64_t{k} * kPQCentroidCount;
        if (metric == MetricE::ip) {
            FillChunkRow<true>(q, codebooksByComponent.data(), chunkOffsets[k], chunkOffsets[k + 1],
                               row);
        } else {
            FillChunkRow<false>(q, codebooksByComponent.data(), chunkOffsets[k],
                                chunkOffsets[k + 1], row);
        }
    }
}

PreparedPQ PreparePQQuery(MetricE metric, std::span<const float> query,
                          const PQGlobalHeader& header, std::span<const uint32_t> chunkOffsets,
                          std::span<const float> codebooks, std::span<const float> rotationMatrix,
                          std::pmr::memory_resource& resource) {
    PreparedPQ prepared(&resource);
    const uint32_t m = header.numChunks;
    prepared.precomputedDistances.assign(uint64_t{m} * kPQCentroidCount, 0.0f);
    const size_t d = query.size();
    if (!ModelFits(d, m, chunkOffsets)) {
        return prepared;  // a model that does not fit the query: an all-zero table
    }

    std::span<const float> q = query;
    if (header.useOpq && rotationMatrix.size() >= d * d) {
        Rotate(query, rotationMatrix, prepared.rotatedQuery);
        q = prepared.rotatedQuery;
    }

    std::pmr::vector<float> terms(d, 0.0f, &resource);
    const std::span<float> out(terms);
    const size_t rows = std::min<size_t>(kPQCentroidCount, codebooks.size() / d);
    float* table = prepared.precomputedDistances.data();
    for (size_t j = 0; j < rows; ++j) {
        const std::span<const float> centroid = codebooks.subspan(j * d, d);
        if (metric == MetricE::ip) {
            dist::Fp32VectorMul(q, centroid, out);
        } else {
            dist::Fp32VectorSub(q, centroid, out);
            dist::Fp32VectorMul(terms, terms, out);
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
