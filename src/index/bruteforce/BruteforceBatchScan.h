// ScanBatchByProducts: the exact scan of a batch of queries over rawf32 rows,
// scored by blocked matrix products so that each block of the base is read
// from memory once per block of queries instead of once per query.
//
// Contract: for every query the hits are those ScanRows returns for it alone
// (the same ids in the same order, ties by ascending row) and every reported
// distance is the metric kernel's own score. The product scores are only a
// sieve: per query a BestK of k rows holds kernel scores, and a row is
// re-scored with the kernel whenever its product score, widened by a bound on
// the rounding of both computations, could reach the worst kept score. Rows
// whose bound cannot be trusted (zero or overflowing norms, non-finite data)
// are always re-scored. Rows are offered in ascending order, so ties resolve
// exactly as in the one-query scan.
//
// The queries are split into blocks of at most kBatchQueryBlock; up to
// `parallel` tasks (the caller and workers of `executor`) take blocks in turn.
// A task walks the base in blocks of kBatchRowBlock rows: it asks the filter
// about each row's id (an empty filter admits every row without a call),
// packs the admitted rows when some were refused, and scores its queries
// against them with one product. Every buffer is taken from `resource` on the
// calling thread before the tasks start.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "orvane/core/Result.h"
#include "orvane/api/SearchTypes.h"
#include "coro/Executor.h"
#include "encoding/QuantizerEvaluatorBase.h"
#include "orvane/api/RowFilter.h"
#include "api/searcher/SearchStats.h"

namespace orvane::index::bruteforce {

// Queries scored together by one product. Every block of queries streams the
// whole base once, so larger blocks read less; 256 queries of Fashion-MNIST
// (800 KB) still stay in the second-level cache while the rows stream past.
inline constexpr uint64_t kBatchQueryBlock = 256;
// Rows per product: their scores for a query block (256 KB) and the rows
// themselves stay cached for the re-scoring that follows the product.
inline constexpr uint64_t kBatchRowBlock = 256;

struct BatchScanRequest {
    const quantizer::QuantizerEvaluatorBase& evaluator;  // rawf32, opened
    std::span<const float> queries;                      // queryCount x dimension, finite
    uint64_t queryCount;
    const api::RowFilter& filter;
    std::span<const uint64_t> rowIds;  // the row id of every row
    uint64_t topk;
    uint32_t parallel;  // at least 1
    coro::Executor& executor;
    std::pmr::memory_resource& resource;
};

// Whether ScanBatchByProducts can score this evaluator's rows.
bool CanScanBatchByProducts(const quantizer::QuantizerEvaluatorBase& evaluator);

// One result per query, in query order, each with the two search statistics
// of the one-query scan. InvalidArgument when the evaluator does not keep raw
// rows or the query floats do not match queryCount x dimension.
core::Result<std::vector<api::ScoredHits>> ScanBatchByProducts(const BatchScanRequest& request);

}  // namespace orvane::index::bruteforce
