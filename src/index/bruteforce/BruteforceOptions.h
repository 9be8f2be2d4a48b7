// BruteforceOptions: the bruteforce kind's option vocabulary and its parsed
// build and search parameters. Its builder knows the common builder keys and
// product quantization's, its searcher and searches the common keys only.
// BruteforceBuildParams is read once by the builder's Init, BruteforceSearchParams
// once per search call.
#pragma once

#include <cstdint>

#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "schema/KindSchemas.h"
#include "schema/SchemaTables.h"
#include "util/CallSite.h"

namespace orvane::index::bruteforce {

inline constexpr auto kBuilderSchema =
    schema::MakeSchema(schema::fields::kCommonBuilder, schema::fields::kPq);
inline constexpr auto kSearcherSchema = schema::MakeSchema(schema::fields::kCommonSearcher);

inline constexpr schema::KindSchemas kSchemas{core::IndexE::bruteforce, "bruteforce",
                                              kBuilderSchema, kSearcherSchema,
                                              schema::kSearchOptionsSchema};

struct BruteforceBuildParams {
    uint32_t dimension = 0;
    uint64_t ckptThreshold = 0;  // rows per checkpoint; 0 without checkpoints
    uint64_t ckptCount = 0;

    // Reads validated builder options; a negative count reads as 0.
    static BruteforceBuildParams Parse(const api::BuilderOptions& options);
};

struct BruteforceSearchParams {
    uint32_t parallel = 1;  // chunks one query's scan is split over, 1..1000

    // `search.parallel_number`, refused outside 1..1000 (and, for a filtered
    // search, above 1 unless `search.thread_safe_filter` says the filter may be
    // called from several threads) with the messages of FilterSearchFront.h;
    // log records name `where`.
    static core::Result<BruteforceSearchParams> Parse(
        const api::SearchOptions& options, bool filtered,
        util::CallSite where = util::CallSite::Current());
};

}  // namespace orvane::index::bruteforce
