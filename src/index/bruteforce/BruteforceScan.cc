#include "index/bruteforce/BruteforceScan.h"

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

api::ScoredHits MakeScanResult(std::span<const ScoredRow> best, std::span<const uint64_t> rowIds,
                               uint64_t scored, uint64_t filtered) {
    api::ScoredHits result;
    result.topk.reserve(best.size());
    for (const ScoredRow& hit : best) result.topk.push_back({rowIds[hit.first], hit.second});
    result.stats.distanceCalculateCount = scored;
    result.stats.filteredCount = filtered;
    return result;
}

}  // namespace orvane::index::bruteforce
