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

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <span>

#include "orvane/core/ErrorCode.h"
#include "distance/MetricE.h"
#include "distance/OperationTags.h"
#include "encoding/EncodeTags.h"
#include "encoding/EncodedRow.h"
#include "encoding/EncodingE.h"
#include "encoding/pq/PQTypes.h"

namespace orvane::dist::encode_space {

template <>
struct EncodingT<EncodingE::pq> {
    static constexpr EncodingE Value = EncodingE::pq;
    static constexpr const char* Name = "pq";
};
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

// Codebooks stored component-major: out[c * 256 + j] = codebooks[j * d + c].
// Empty unless codebooks holds 256 rows of d floats.
std::pmr::vector<float> TransposePQCodebooks(std::span<const float> codebooks, size_t d,
                                             std::pmr::memory_resource& resource);

// The same table as PreparePQQuery (entry for entry: each is summed over its
// chunk's components in component order, without fused multiply-adds),
// computed from the component-major codebooks of TransposePQCodebooks so that
// each component updates 256 entries with vector instructions. The table and
// the rotation scratch are written into `prepared`, reusing their storage, so
// that preparing query after query into one object allocates nothing.
void PreparePQQueryInto(MetricE metric, std::span<const float> query, const PQGlobalHeader& header,
                        std::span<const uint32_t> chunkOffsets,
                        std::span<const float> codebooksByComponent,
                        std::span<const float> rotationMatrix, PreparedPQ& prepared);

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

// Adds the table entries of chunks [k0, k1) selected by each of kRows rows'
// codes to sums[r], one chunk after the other. Rows interleave so that their
// lookups overlap; each row's additions stay in chunk order.
template <size_t kRows>
inline void AddPQTableRows(const float* table, const uint8_t* const* rows, uint32_t k0, uint32_t k1,
                           float* sums) {
    float acc[kRows];
    for (size_t r = 0; r < kRows; ++r) acc[r] = sums[r];
    for (uint32_t k = k0; k < k1; ++k) {
        const float* chunk = table + uint64_t{k} * kPQCentroidCount;
        for (size_t r = 0; r < kRows; ++r) acc[r] += chunk[rows[r][k]];
    }
    for (size_t r = 0; r < kRows; ++r) sums[r] = acc[r];
}

// AddPQTableRows for the `rest` (1 .. kRows - 1) rows after the last full
// interleaved group. Alone, each row is one chain of dependent additions,
// too long for the processor to overlap with the next row's, so it runs at
// the latency of an addition and a table load per chunk; padded with
// repeats of its last row to kRows / 2 or kRows rows, the chains overlap as
// a full group's do. A DiskANN node's unvisited neighbours (often 5 to 30)
// leave such a rest in most lists. Each row's additions and their order are
// those of AddPQTableRows<1>; the padding's sums are dropped.
template <size_t kRows>
inline void AddPQTableRest(const float* table, const uint8_t* const* rows, size_t rest, uint32_t k0,
                           uint32_t k1, float* sums) {
    constexpr size_t kHalf = kRows / 2;
    const uint8_t* padded[kRows];
    float padSums[kRows];
    const size_t width = rest <= kHalf ? kHalf : kRows;
    for (size_t r = 0; r < width; ++r) {
        padded[r] = rows[std::min(r, rest - 1)];
        padSums[r] = r < rest ? sums[r] : 0.0f;
    }
    if (width == kHalf) {
        AddPQTableRows<kHalf>(table, padded, k0, k1, padSums);
    } else {
        AddPQTableRows<kRows>(table, padded, k0, k1, padSums);
    }
    for (size_t r = 0; r < rest; ++r) sums[r] = padSums[r];
}

}  // namespace detail

// Scores of a prepared query against `n` stored rows of PQRowSize(m, M)
// bytes, out[i] for rows[i]: exactly the values of EvalEncodedTag row by row
// (each row's table entries are added in chunk order). A table of many chunks
// outgrows the first-level cache, so rows are taken in groups and a group
// walks the table a slice of chunks at a time: the slice is loaded once for
// the whole group instead of once per row. No checks, no allocation.
template <MetricE M>
requires PQMetric<M>
inline void ScorePQRows(const PreparedPQ& prepared, uint32_t m, const uint8_t* const* rows,
                        size_t n, float* out) {
    constexpr size_t kInterleave = 8;
    constexpr size_t kRowGroup = 64;
    constexpr uint32_t kChunkSlice = 32;  // 32 KiB of table
    const float* table = prepared.precomputedDistances.data();
    for (size_t first = 0; first < n; first += kRowGroup) {
        const size_t count = std::min(kRowGroup, n - first);
        const size_t whole = count - count % kInterleave;
        float* sums = out + first;
        const uint8_t* const* group = rows + first;
        std::fill(sums, sums + count, 0.0f);
        for (uint32_t k0 = 0; k0 < m; k0 += kChunkSlice) {
            const uint32_t k1 = std::min(m, k0 + kChunkSlice);
            for (size_t r = 0; r < whole; r += kInterleave) {
                detail::AddPQTableRows<kInterleave>(table, group + r, k0, k1, sums + r);
            }
            if (whole < count) {
                detail::AddPQTableRest<kInterleave>(table, group + whole, count - whole, k0, k1,
                                                    sums + whole);
            }
        }
    }
    if constexpr (M == MetricE::ip) {
        for (size_t r = 0; r < n; ++r) {
            float factor;
            std::memcpy(&factor, rows[r] + PQIpFactorOffset(m), sizeof(factor));
            out[r] = factor * out[r];
        }
    }
}

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
