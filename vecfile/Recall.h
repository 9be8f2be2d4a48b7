// Recall: the measures the tool reports about a search run, computed independently
// of the library: exact nearest neighbours by a plain scan, recall@k against a
// ground truth, and latency percentiles.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace orvane::tools {

// The exact k nearest rows of `base` (n rows of dim floats) for each of nq queries
// by squared L2 distance, nearest first, ties broken by the lower row position.
// Returns nq * min(k, n) row positions, query after query.
std::vector<uint64_t> ExactNeighbors(const float* base, uint64_t n, const float* queries,
                                     uint64_t nq, uint32_t dim, uint32_t k);

// Mean recall@k over queries: for query q, the share of the first min(k, truthStride)
// truth ids of row q (truth is row-major with truthStride ids per row) that appear
// among the first k found ids of q. found.size() is the number of queries.
double MeanRecallAtK(const std::vector<std::vector<uint64_t>>& found,
                     std::span<const uint64_t> truth, uint64_t truthStride, uint32_t k);

struct LatencySummary {
    double meanMicros = 0;
    double p50Micros = 0;
    double p99Micros = 0;
    double maxMicros = 0;
};

// Percentiles by the nearest-rank rule (the smallest sample with at least p% of the
// samples at or below it). An empty input gives all zeros.
LatencySummary SummarizeLatency(std::vector<double> micros);

}  // namespace orvane::tools
