// Records returned by a search: hits, the per-query result and index metadata.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace orvane::api {

using vector_id_t = uint64_t;
using dimension_t = uint32_t;

struct SearchHit {
    vector_id_t id = 0;
    float distance = 0.0f;
};

struct SearchResult {
    // Best first: ascending distance, or descending inner product.
    std::vector<SearchHit> topk;
    std::unordered_map<std::string, std::string> searchStats;
};

// Keys of SearchResult::searchStats filled by the scanning kinds: the rows or
// nodes scored and the rows the filter refused, as decimal text.
inline constexpr char kQueryStatsDistanceCalculateCount[] = "query_stats.distance_calculate_count";
inline constexpr char kQueryStatsFilteredCount[] = "query_stats.filtered_count";

struct IndexInfo {
    uint64_t count = 0;
    dimension_t dim = 0;
};

}  // namespace orvane::api
