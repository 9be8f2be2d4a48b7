#include "impl/index/bruteforce/BruteforceBlockedScan.h"

#include <algorithm>
#include <memory>

#include "impl/index/bruteforce/BruteforceScan.h"
#include "impl/index/common/BestK.h"
#include "impl/index/common/MetricBridge.h"

namespace orvane::index::bruteforce {

using core::ErrorCode;
using core::Result;
using core::Status;
using dist::MetricE;

namespace {

template <MetricE M>
Result<std::vector<api::SearchResult>> ScanBlocked(const BatchScanRequest& request) {
    const quantizer::QuantizerEvaluatorBase& evaluator = request.evaluator;
    const uint64_t n = evaluator.Count();
    const uint64_t dim = evaluator.Dimension();
    const uint64_t k = std::min<uint64_t>(request.topk, n);
    std::pmr::memory_resource& resource = request.resource;

    std::vector<std::unique_ptr<quantizer::PreparedBase>> prepared;
    prepared.reserve(request.queryCount);
    for (uint64_t q = 0; q < request.queryCount; ++q) {
        auto p = evaluator.PrepareQuery(request.queries.subspan(q * dim, dim));
        if (!p.IsOk()) return p.TakeStatus();
        prepared.push_back(p.TakeValue());
    }
    std::pmr::vector<uint64_t> rows(kBlockedRowBlock, &resource);
    std::pmr::vector<float> scores(kBlockedRowBlock, &resource);
    std::pmr::vector<BestK<M>> kept(&resource);
    kept.reserve(std::min(kBlockedQueryBlock, request.queryCount));

    std::vector<api::SearchResult> results;
    results.reserve(request.queryCount);
    for (uint64_t first = 0; first < request.queryCount; first += kBlockedQueryBlock) {
        const uint64_t last = std::min(request.queryCount, first + kBlockedQueryBlock);
        kept.clear();
        for (uint64_t q = first; q < last; ++q) kept.emplace_back(k, &resource);
        uint64_t refused = 0;
        for (uint64_t begin = 0; begin < n; begin += kBlockedRowBlock) {
            const uint64_t end = std::min(n, begin + kBlockedRowBlock);
            uint64_t m = 0;
            for (uint64_t row = begin; row < end; ++row) {
                if (!request.filter || request.filter(request.rowIds[row])) {
                    rows[m++] = row;
                } else {
                    ++refused;
                }
            }
            if (m == 0) continue;
            const std::span<const uint64_t> ids(rows.data(), m);
            const std::span<float> out(scores.data(), m);
            for (uint64_t q = first; q < last; ++q) {
                const ErrorCode code = evaluator.BatchEval(*prepared[q], ids, out);
                if (code != ErrorCode::Ok) return ScanFailure(code, ErrorCode::Ok);
                BestK<M>& best = kept[q - first];
                for (uint64_t i = 0; i < m; ++i) best.Offer(rows[i], scores[i]);
            }
        }
        for (BestK<M>& best : kept) {
            const std::pmr::vector<ScoredRow> hits = best.TakeBestFirst();
            results.push_back(MakeScanResult(hits, request.rowIds, n, refused));
        }
    }
    return results;
}

}  // namespace

bool CanScanBatchBlocked(const quantizer::QuantizerEvaluatorBase& evaluator) {
    return evaluator.EncodingType() == dist::encode_space::EncodingE::sq8 && evaluator.IsOpened();
}

Result<std::vector<api::SearchResult>> ScanBatchBlocked(const BatchScanRequest& request) {
    if (!CanScanBatchBlocked(request.evaluator)) {
        return Status(ErrorCode::InvalidArgument, "blocked batch scan needs opened sq8 rows");
    }
    if (request.queries.size() != request.queryCount * request.evaluator.Dimension()) {
        return Status(ErrorCode::InvalidArgument, "query data size does not match index dimension");
    }
    return WithMetric(request.evaluator.Metric(),
                      [&](auto tag) { return ScanBlocked<decltype(tag)::Value>(request); });
}

}  // namespace orvane::index::bruteforce
