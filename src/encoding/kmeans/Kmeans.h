// Lloyd k-means under squared L2 over rows of `dim` floats stored back to back.
// The assignment step (UpdateIndexes) is split over workers of an executor;
// the update step (UpdateCentroids) runs on the calling thread.
//
//   auto [status, centroids] = KmeansUtil::Kmeans(data, dim, 256, 12, 2, executor, resource);
//
// Working arrays come from `resource`; returned vectors use the default
// resource. Random choices (KMC2 seeding, RandomSelectVectors, re-seeding of
// empty clusters) draw from a fresh random_device, so only plain k-means
// without empty clusters is reproducible. `dim` must be at least 1.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <utility>
#include <vector>

#include "orvane/core/Status.h"
#include "coro/Executor.h"
#include "distance/MetricE.h"

namespace orvane::quantizer {

class KmeansUtil {
  public:
    // k = `centroid` clusters, at most `maxEpoch` assignment/update rounds
    // (stopping early on convergence). The first min(k, n) rows seed the
    // centroids, or KMC2 seeding with chain length 32 when asked; clusters
    // beyond the number of rows are zero vectors. InvalidArgument for empty
    // data ("data is empty") or a length not a multiple of dim ("dim is not
    // match with data"). `executor` may be null when threadCount < 2.
    static std::pair<core::Status, std::vector<float>> Kmeans(
        std::span<const float> data, dist::dimension_t dim, uint32_t centroid, uint32_t maxEpoch,
        uint32_t threadCount, coro::Executor* executor, std::pmr::memory_resource& resource,
        bool useKmc2Initialization);
    static std::pair<core::Status, std::vector<float>> Kmeans(
        std::span<const float> data, dist::dimension_t dim, uint32_t centroid, uint32_t maxEpoch,
        uint32_t threadCount, coro::Executor* executor, std::pmr::memory_resource& resource);

    // Refines the caller's `centroids` in place and returns the assignments of
    // the last assignment step. The same checks as Kmeans, plus "centroids is
    // empty".
    static std::pair<core::Status, std::vector<uint32_t>> KmeansWithCentroids(
        std::span<const float> data, dist::dimension_t dim, uint32_t maxEpoch, uint32_t threadCount,
        coro::Executor* executor, std::pmr::memory_resource& resource,
        std::pmr::vector<float>& centroids);

    // k-MC^2 seeding: k rows (min(k, n)) chosen by Markov chains of
    // `chainLength` (>= 1) candidates weighted by their distance to the rows
    // chosen so far. Empty for empty data, k = 0 or a length not a multiple of dim.
    static std::vector<float> InitializeCentroidsKMC2(std::span<const float> data,
                                                      dist::dimension_t dim, uint32_t k,
                                                      uint32_t chainLength,
                                                      std::pmr::memory_resource& resource);
};

// min(k, n) distinct rows in a uniformly shuffled order, concatenated.
std::vector<float> RandomSelectVectors(std::span<const float> data, dist::dimension_t dim,
                                       uint32_t k, std::pmr::memory_resource& resource);

// Assignment step: centroidIndexes[i] = the nearest centroid of row i (ties to
// the lower index). With threadCount >= 2 and an executor, the rows are split
// into threadCount contiguous ranges (no more than there are rows) run as
// tasks, and the caller blocks on a latch until they are done; if the executor
// refuses a task, every row is assigned on the calling thread instead.
void UpdateIndexes(std::span<const float> data, std::span<uint32_t> centroidIndexes,
                   std::span<const float> centroids, dist::dimension_t dim, uint32_t threadCount,
                   coro::Executor* executor, std::pmr::memory_resource& resource);

// Update step: each centroid becomes the mean of its rows; an empty cluster is
// re-seeded with a random row. Returns true (converged) when the centroids
// moved by less than 1e-4 in total (sum of absolute changes), or when there
// are none.
bool UpdateCentroids(std::span<const float> data, std::span<const uint32_t> centroidIndexes,
                     std::span<float> centroids, dist::dimension_t dim,
                     std::pmr::memory_resource& resource);

}  // namespace orvane::quantizer
