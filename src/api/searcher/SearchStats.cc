#include "api/searcher/SearchStats.h"

#include <string>

namespace orvane::api {

void WriteSearchStats(const SearchStats& stats, SearchResult& result) {
    result.searchStats.emplace(kQueryStatsDistanceCalculateCount,
                               std::to_string(stats.distanceCalculateCount));
    result.searchStats.emplace(kQueryStatsFilteredCount, std::to_string(stats.filteredCount));
}

}  // namespace orvane::api
