// The pq encode space (types in PQTypes.h).
//
// Encoding many vectors at once:
//   TagInvoke(EncodeBatchTag{}, model, src, EncodedBatchBuilder{codes, ipFactors, n, m, 4},
//             resource);
// Scoring: prepare the query's distance table once, then every row costs m
// table lookups:
//   auto prepared = TagInvoke(PrepareTag{}, MetricT<MetricE::l2>{}, PQT{}, q, header,
//                             offsets, codebooks, rotation, resource);
//   float d = TagInvoke(EvalEncodedTag{}, MetricT<MetricE::l2>{}, PQT{}, prepared, row);
// where row.data is the stored row and row.aux points at the PQGlobalHeader.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <span>

#include "api/ErrorCode.h"
#include "distance/MetricE.h"
#include "distance/OperationTags.h"
#include "distance/encode_space/EncodeTags.h"
#include "distance/encode_space/EncodedRow.h"
#include "distance/encode_space/EncodingE.h"
#include "distance/encode_space/PQ/PQTypes.h"

namespace orvane::dist::encode_space {

using PQT = EncodingT<EncodingE::pq>;

template <MetricE M>
concept PQMetric = M == MetricE::l2 || M == MetricE::ip;

// Encodes the builder's n rows of `src` (n rows of d floats). Row i's m codes
// go to out.data at i * out.stride; for ip the IP factors go to out.aux as one
// float per row. Blocks of 64 rows are spread over model.threadCount workers of
// the compute executor.
// FailedPrecondition (nothing written): n is 0 or does not divide src's length,
// or the codebooks are not 256 rows of d floats, or the chunk offsets or the
// rotation do not fit d. InvalidArgument: the builder's spans are too short, or
// threadCount is 0. An executor failure returns its code.
core::ErrorCode TagInvoke(EncodeBatchTag, const PQModel& model, std::span<const float> src,
                          EncodedBatchBuilder out, std::pmr::memory_resource& resource);

// For each of numVectors contiguous sub-vectors of chunkSize floats, the index
// (as a byte) of the nearest of numCentroids (<= 256) contiguous centroids
// under squared L2, ties to the lower index. Distances are computed in matrix
// form as |x|^2 + |c|^2 - 2 x.c. threadCount is accepted for interface
// compatibility; the work runs on the calling thread.
void ComputeClosestCentersL2(const float* data, uint64_t numVectors, uint32_t chunkSize,
                             const float* codebooks, uint32_t numCentroids, uint32_t threadCount,
                             uint8_t* closestCenters);

// Non-template body of the pq preparation, shared by both metrics.
PreparedPQ PreparePQQuery(MetricE metric, std::span<const float> query,
                          const PQGlobalHeader& header, std::span<const uint32_t> chunkOffsets,
                          std::span<const float> codebooks, std::span<const float> rotationMatrix,
                          std::pmr::memory_resource& resource);

// The query's m x 256 distance table; the query is rotated first with OPQ.
// The caller guarantees the model parts match the query's length.
template <MetricE M>
requires PQMetric<M>
inline PreparedPQ TagInvoke(PrepareTag, MetricT<M>, PQT, std::span<const float> query,
                            const PQGlobalHeader& header, std::span<const uint32_t> chunkOffsets,
                            std::span<const float> codebooks, std::span<const float> rotationMatrix,
                            std::pmr::memory_resource& resource) {
    return PreparePQQuery(M, query, header, chunkOffsets, codebooks, rotationMatrix, resource);
}

namespace detail {

// Sum of the table entries selected by the row's codes, in chunk order,
// prefetching the next chunk's entry.
inline float SumPQTable(const float* table, const uint8_t* codes, uint32_t m) {
    float sum = 0.0f;
    for (uint32_t k = 0; k < m; ++k) {
        if (k + 1 < m) __builtin_prefetch(table + (k + 1) * kPQCentroidCount + codes[k + 1]);
        sum += table[k * kPQCentroidCount + codes[k]];
    }
    return sum;
}

}  // namespace detail

// Score of a prepared query against one stored row: the approximate squared L2
// distance, or for ip the IP factor times the table sum. No checks: the caller
// guarantees a complete row and row.aux pointing at the PQGlobalHeader.
template <MetricE M>
requires PQMetric<M>
inline float TagInvoke(EvalEncodedTag, MetricT<M>, PQT, const PreparedPQ& prepared,
                       const EncodedRow& row) {
    uint32_t m;
    std::memcpy(&m, row.aux, sizeof(m));  // numChunks is the header's first field
    const float s = detail::SumPQTable(prepared.precomputedDistances.data(), row.data, m);
    if constexpr (M == MetricE::l2) {
        return s;
    } else {
        float factor;
        std::memcpy(&factor, row.data + PQIpFactorOffset(m), sizeof(factor));
        return factor * s;
    }
}

}  // namespace orvane::dist::encode_space
