// ScanBatchByRowBlocks: the scan of a batch of queries over rows whose
// scores have no matrix-product form (sq8): the base is walked in blocks of
// kBlockScanRows rows, and each block is scored for every query of a block of
// kBlockScanQueries queries before the next block is read. A query alone
// streams the whole base from memory; here each row is read from memory once
// per block of queries, and the block (200 KiB of Fashion-MNIST sq8 codes)
// stays in the second-level cache while the queries score it, so the batch
// is bound by arithmetic instead of by memory bandwidth, which the cores of a
// machine share.
//
// Contract: for every query the hits and statistics of ScanRows with
// `parallel` 1 (the same rows scored by the same evaluator call on the same
// prepared query, offered in ascending row order, so ties fall the same way).
// The filter is asked about each row once per block of queries, not once per
// query. Buffers come from `resource`; the scan runs on the calling thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <vector>

#include "api/searcher/SearchStats.h"
#include "distance/MetricE.h"
#include "encoding/QuantizerEvaluatorBase.h"
#include "index/bruteforce/BruteforceScan.h"
#include "index/common/BestK.h"
#include "orvane/api/RowFilter.h"
#include "orvane/api/SearchTypes.h"
#include "orvane/core/Result.h"

namespace orvane::index::bruteforce {

// Queries of a block: their prepared forms (3 KiB each for Fashion-MNIST
// sq8) stay cached beside the block of rows.
inline constexpr uint64_t kBlockScanQueries = 64;
inline constexpr uint64_t kBlockScanRows = 256;

struct BlockScanRequest {
    const quantizer::QuantizerEvaluatorBase& evaluator;  // opened
    const float* queries;                                // queryCount x Dimension(), finite
    uint64_t queryCount;
    const api::RowFilter& filter;  // an empty filter admits every row
    std::span<const uint64_t> rowIds;
    uint64_t topk;
    std::pmr::memory_resource& resource;
};

// Whether a batch over this evaluator's rows is scanned by ScanBatchByRowBlocks.
inline bool ScansBatchByRowBlocks(const quantizer::QuantizerEvaluatorBase& evaluator) {
    return evaluator.EncodingType() == dist::encode_space::EncodingE::sq8;
}

// One result per query, in query order. A query the evaluator cannot prepare
// fails the call with its status; an evaluator failure with ScanFailure's.
template <dist::MetricE M>
core::Result<std::vector<api::ScoredHits>> ScanBatchByRowBlocks(const BlockScanRequest& request) {
    const quantizer::QuantizerEvaluatorBase& evaluator = request.evaluator;
    const uint64_t n = evaluator.Count();
    const uint64_t k = std::min<uint64_t>(request.topk, n);
    const uint64_t dim = evaluator.Dimension();
    std::vector<api::ScoredHits> results(request.queryCount);
    std::pmr::vector<uint64_t> rows(kBlockScanRows, &request.resource);
    std::pmr::vector<float> scores(kBlockScanRows, &request.resource);
    for (uint64_t first = 0; first < request.queryCount; first += kBlockScanQueries) {
        const uint64_t count = std::min(kBlockScanQueries, request.queryCount - first);
        std::vector<std::unique_ptr<quantizer::PreparedBase>> prepared(count);
        std::pmr::vector<BestK<M>> best(&request.resource);
        best.reserve(count);
        for (uint64_t q = 0; q < count; ++q) {
            auto ready = evaluator.PrepareQuery(
                std::span<const float>(request.queries + (first + q) * dim, dim));
            if (!ready.IsOk()) return ready.TakeStatus();
            prepared[q] = ready.TakeValue();
            best.emplace_back(k, &request.resource);
        }
        uint64_t refused = 0;
        for (uint64_t block = 0; block < n; block += kBlockScanRows) {
            const uint64_t last = std::min(n, block + kBlockScanRows);
            const uint64_t m =
                AdmittedRows(request.filter, request.rowIds, block, last, rows.data(), refused);
            if (m == 0) continue;
            for (uint64_t q = 0; q < count; ++q) {
                const core::ErrorCode rc =
                    evaluator.BatchEval(*prepared[q], std::span<const uint64_t>(rows.data(), m),
                                        std::span<float>(scores.data(), m));
                if (rc != core::ErrorCode::Ok) return ScanFailure(rc, core::ErrorCode::Ok);
                for (uint64_t i = 0; i < m; ++i) best[q].Offer(rows[i], scores[i]);
            }
        }
        for (uint64_t q = 0; q < count; ++q) {
            const std::pmr::vector<ScoredRow> kept = best[q].TakeBestFirst();
            results[first + q] = MakeScanResult(kept, request.rowIds, n, refused);
        }
    }
    return results;
}

}  // namespace orvane::index::bruteforce
