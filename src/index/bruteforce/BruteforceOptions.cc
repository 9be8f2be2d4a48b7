#include "index/bruteforce/BruteforceOptions.h"

#include <algorithm>

#include "api/searcher/FilterSearchFront.h"

namespace orvane::index::bruteforce {

namespace {

// A non-negative integer option; 0 when absent, of another type or negative.
uint64_t ReadCount(const api::BuilderOptions& options, const char* key) {
    return static_cast<uint64_t>(std::max<int64_t>(0, options.GetInt(key, 0)));
}

}  // namespace

BruteforceBuildParams BruteforceBuildParams::Parse(const api::BuilderOptions& options) {
    BruteforceBuildParams params;
    params.dimension = static_cast<uint32_t>(options.GetInt("index.dimension", 0));
    params.ckptThreshold = ReadCount(options, "extension.build.ckpt.threshold");
    params.ckptCount = ReadCount(options, "extension.build.ckpt.count");
    return params;
}

core::Result<BruteforceSearchParams> BruteforceSearchParams::Parse(
    const api::SearchOptions& options, bool filtered, util::CallSite where) {
    BruteforceSearchParams params;
    if (filtered) {
        auto plan = api::ReadFilterSearchPlan(
            options, api::kBruteforceParallelRangeLog, where);
        if (!plan.IsOk()) return plan.TakeStatus();
        params.parallel = plan.Value().parallelNumber;
    } else {
        auto parallel =
            api::ReadParallelNumber(options, api::kBruteforceParallelRangeLog, where);
        if (!parallel.IsOk()) return parallel.TakeStatus();
        params.parallel = parallel.Value();
    }
    return params;
}

}  // namespace orvane::index::bruteforce
