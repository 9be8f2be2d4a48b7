// SearchStats: what one query's search cost, counted inside the search path as
// plain numbers. The caller-facing form, the two keys of
// SearchResult::searchStats as decimal text, is written from it only where a
// result leaves the search path: the searcher facade's output, or a back end's
// own one-query entries for callers that use a back end directly.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "orvane/api/SearchTypes.h"

namespace orvane::api {

struct SearchStats {
    uint64_t distanceCalculateCount = 0;  // rows or nodes scored
    uint64_t filteredCount = 0;           // rows the filter refused
    bool counted = false;                 // set by the back end that filled it
};

// One query's hits, best first, and what finding them cost.
struct ScoredHits {
    std::vector<SearchHit> topk;
    SearchStats stats;
};

// Writes the statistics as "query_stats.distance_calculate_count" and
// "query_stats.filtered_count" into the result's map.
void WriteSearchStats(const SearchStats& stats, SearchResult& result);

// The caller-facing result: the hits moved over, the statistics written.
inline SearchResult ToSearchResult(ScoredHits&& hits) {
    SearchResult result;
    result.topk = std::move(hits.topk);
    WriteSearchStats(hits.stats, result);
    return result;
}

}  // namespace orvane::api
