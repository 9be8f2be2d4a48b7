#include "impl/index/bruteforce/BruteforceScan.h"

namespace orvane::index::bruteforce {

using core::ErrorCode;
using core::Status;

Status ScanFailure(ErrorCode evalError, ErrorCode runError) {
    if (evalError != ErrorCode::Ok) return Status(evalError, "Quantizer batch evaluation failed");
    if (runError == ErrorCode::Unavailable) {
        return Status(runError, "Search executor refused a bruteforce search task");
    }
    return Status(runError, "Bruteforce search task failed");
}

api::SearchResult MakeScanResult(std::span<const ScoredRow> best, std::span<const uint64_t> rowIds,
                                 uint64_t scored, uint64_t filtered) {
    api::SearchResult result;
    result.topk.reserve(best.size());
    for (const ScoredRow& hit : best) result.topk.push_back({rowIds[hit.first], hit.second});
    result.searchStats.emplace(api::kQueryStatsDistanceCalculateCount, std::to_string(scored));
    result.searchStats.emplace(api::kQueryStatsFilteredCount, std::to_string(filtered));
    return result;
}

}  // namespace orvane::index::bruteforce
