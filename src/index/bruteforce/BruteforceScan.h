// ScanRows: the parallel scan of a bruteforce search, compiled per metric.
//
// The rows are split into at most `parallel` consecutive chunks of
// ceil(n / parallel) rows; the calling thread scans the first chunk and tasks
// on `executor` the others (util::RunTasksWithCaller). A task walks its chunk
// in blocks of at most kScanBlockRows rows: it asks the filter about each row's
// id (an empty filter admits every row without a call), scores the admitted
// rows with one evaluator batch call and offers them to its own BestK. The
// caller then merges the tasks' selections, best first (ties by row).
//
// Every buffer (row and score blocks, the selections) is taken from
// `resource` on the calling thread before the tasks start, so the resource
// need not be thread safe and the scan allocates nothing per row.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <string>
#include <vector>

#include "api/searcher/SearchStats.h"
#include "coro/Executor.h"
#include "distance/MetricE.h"
#include "encoding/QuantizerEvaluatorBase.h"
#include "index/common/BestK.h"
#include "orvane/api/RowFilter.h"
#include "orvane/api/SearchTypes.h"
#include "orvane/core/Result.h"
#include "util/parallel/MultiThreadStepProcess.h"

namespace orvane::index::bruteforce {

// Rows scored per evaluator call: large enough to amortise the call, small
// enough for the row numbers and scores to stay in the first-level cache.
inline constexpr uint64_t kScanBlockRows = 1024;

struct ScanRequest {
    const quantizer::QuantizerEvaluatorBase& evaluator;  // opened
    const quantizer::PreparedBase& prepared;             // the query, prepared by it
    const api::RowFilter& filter;
    std::span<const uint64_t> rowIds;  // the row id of every row
    uint64_t topk;
    uint32_t parallel;  // at least 1
    coro::Executor& executor;
    std::pmr::memory_resource& resource;
};

// The status of a failed fan-out: the evaluator's code with "Quantizer batch
// evaluation failed", or the executor's refusal or an escaping exception.
core::Status ScanFailure(core::ErrorCode evalError, core::ErrorCode runError);

// The hits (row ids and scores, best first) and the two search statistics.
api::ScoredHits MakeScanResult(std::span<const ScoredRow> best, std::span<const uint64_t> rowIds,
                               uint64_t scored, uint64_t filtered);

// Writes the rows of [first, last) that `filter` admits to `rows`, in order
// (every row for an empty filter, which is not called), and returns how many;
// the refused ones are added to `refused`.
template <typename Filter>
inline uint64_t AdmittedRows(const Filter& filter, std::span<const uint64_t> rowIds, uint64_t first,
                             uint64_t last, uint64_t* rows, uint64_t& refused) {
    uint64_t m = 0;
    if (filter) {
        for (uint64_t row = first; row < last; ++row) {
            if (filter(rowIds[row])) {
                rows[m++] = row;
            } else {
                ++refused;
            }
        }
    } else {
        for (uint64_t row = first; row < last; ++row) rows[m++] = row;
    }
    return m;
}

template <dist::MetricE M>
core::Result<api::ScoredHits> ScanRows(const ScanRequest& request) {
    const uint64_t n = request.evaluator.Count();
    const uint64_t k = std::min<uint64_t>(request.topk, n);
    const uint64_t chunk = n == 0 ? 0 : (n + request.parallel - 1) / request.parallel;
    const uint64_t tasks = n == 0 ? 0 : (n + chunk - 1) / chunk;
    const uint64_t block = std::min(kScanBlockRows, chunk);

    std::pmr::memory_resource& resource = request.resource;
    std::pmr::vector<uint64_t> rowBlocks(tasks * block, &resource);
    std::pmr::vector<float> scoreBlocks(tasks * block, &resource);
    std::pmr::vector<BestK<M>> kept(&resource);
    kept.reserve(tasks);
    // A task keeps at most its chunk's rows, so the selections hold at most n
    // rows together however large topk and the parallel number are.
    for (uint64_t t = 0; t < tasks; ++t) kept.emplace_back(std::min(k, chunk), &resource);

    std::atomic<uint64_t> filtered{0};
    std::atomic<core::ErrorCode> evalError{core::ErrorCode::Ok};
    const util::TaskBody body = [&](uint64_t t, std::atomic<core::ErrorCode>& code) {
        const uint64_t begin = t * chunk;
        const uint64_t end = std::min(n, begin + chunk);
        uint64_t* rows = rowBlocks.data() + t * block;
        float* scores = scoreBlocks.data() + t * block;
        BestK<M>& best = kept[t];
        const auto& filter = request.filter;
        uint64_t refused = 0;
        for (uint64_t first = begin; first < end; first += block) {
            if (code.load(std::memory_order_relaxed) != core::ErrorCode::Ok) return;
            const uint64_t last = std::min(end, first + block);
            const uint64_t m = AdmittedRows(filter, request.rowIds, first, last, rows, refused);
            if (m == 0) continue;
            const core::ErrorCode rc = request.evaluator.BatchEval(
                request.prepared, std::span<const uint64_t>(rows, m), std::span<float>(scores, m));
            if (rc != core::ErrorCode::Ok) {
                util::detail::RecordFailure(evalError, rc);
                util::detail::RecordFailure(code, rc);
                return;
            }
            for (uint64_t i = 0; i < m; ++i) best.Offer(rows[i], scores[i]);
        }
        filtered.fetch_add(refused, std::memory_order_relaxed);
    };
    if (tasks > 0) {
        const core::ErrorCode run = util::RunTasksWithCaller(tasks, request.executor, body);
        if (run != core::ErrorCode::Ok) return ScanFailure(evalError.load(), run);
    }

    BestK<M> merged(tasks == 1 ? 0 : k, &resource);
    BestK<M>& best = tasks == 1 ? kept[0] : merged;
    if (tasks > 1) {
        for (const BestK<M>& part : kept) merged.Merge(part);
    }
    const std::pmr::vector<ScoredRow> rows = best.TakeBestFirst();
    return MakeScanResult(rows, request.rowIds, n, filtered.load());
}

}  // namespace orvane::index::bruteforce
