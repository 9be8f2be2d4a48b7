// ScanBatchBlocked: the exact scan of a batch of queries over sq8 rows, block
// of rows by block of rows, so that each block is read from memory once per
// block of queries and scored against every query of it while it is cached.
// Measured on Fashion-MNIST sq8 (1000 queries), this serves 1.15x to 1.25x the
// queries of one scan per query; a matrix product of the codes does not pay
// for sq8 (its dot products alone were no faster than the scan's kernel).
//
// Contract: for every query the hits and both statistics are those ScanRows
// returns for it alone with one worker: the same kernel (the evaluator's
// BatchEval) scores each row, rows are offered in ascending order, so equal
// scores resolve alike. The filter is asked about each row once per block of
// queries. Runs on the calling thread; `parallel` and `executor` of the
// request are not used (the facade spreads slices of a call over workers).
// Every buffer is taken from the request's resource.
#pragma once

#include <vector>

#include "api/Result.h"
#include "api/SearchTypes.h"
#include "impl/index/bruteforce/BruteforceBatchScan.h"
#include "impl/quantizer/QuantizerEvaluatorBase.h"

namespace orvane::index::bruteforce {

// Queries scored together over one block of rows.
inline constexpr uint64_t kBlockedQueryBlock = 64;
// Rows per block: 128 sq8 rows of Fashion-MNIST (100 KB) stay in the second-
// level cache while a query block passes over them.
inline constexpr uint64_t kBlockedRowBlock = 128;

// Whether ScanBatchBlocked serves this evaluator's rows (opened sq8).
bool CanScanBatchBlocked(const quantizer::QuantizerEvaluatorBase& evaluator);

// One result per query, in query order. InvalidArgument when the evaluator is
// not served or the query floats do not match queryCount x dimension.
core::Result<std::vector<api::SearchResult>> ScanBatchBlocked(const BatchScanRequest& request);

}  // namespace orvane::index::bruteforce
