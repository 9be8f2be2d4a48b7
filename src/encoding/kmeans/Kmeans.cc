#include "encoding/kmeans/Kmeans.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <random>

#include "encoding/kmeans/DistinctRows.h"
#include "encoding/kmeans/KmeansAssign.h"
#include "encoding/kmeans/KmeansDistance.h"
#include "util/FixedWidth.h"
#include "util/parallel/MultiThreadStepProcess.h"

namespace orvane::quantizer {

using core::Status;

namespace {

constexpr uint32_t kKmc2ChainLength = 32;
constexpr float kConvergedShift = 1e-4f;

std::mt19937 FreshGenerator() {
    std::random_device device("default");
    return std::mt19937(device());
}

uint64_t RandomRow(std::mt19937& gen, uint64_t n) {
    return std::uniform_int_distribution<uint64_t>(0, n - 1)(gen);
}

Status CheckData(std::span<const float> data, dist::dimension_t dim) {
    if (data.empty()) return Status(core::ErrorCode::InvalidArgument, "data is empty");
    if (dim == 0 || data.size() % dim != 0) {
        return Status(core::ErrorCode::InvalidArgument, "dim is not match with data");
    }
    return Status::Ok();
}

// The assignment/update rounds shared by Kmeans and KmeansWithCentroids. When
// short rows repeat, each epoch assigns the distinct rows only and copies their
// centroids to the rows equal to them, which gives the same assignments; the
// update step always runs over every row in order.
void RunEpochs(std::span<const float> data, dist::dimension_t dim, uint32_t maxEpoch,
               uint32_t threadCount, coro::Executor* executor, std::pmr::memory_resource& resource,
               std::span<float> centroids, std::span<uint32_t> indexes) {
    if (maxEpoch == 0) return;
    const DistinctRows distinct(data, dim, resource);
    std::pmr::vector<uint32_t> perDistinct(distinct.Count(), 0, &resource);
    for (uint32_t epoch = 0; epoch < maxEpoch; ++epoch) {
        if (distinct.Pays()) {
            UpdateIndexes(distinct.Rows(), perDistinct, centroids, dim, threadCount, executor,
                          resource);
            distinct.Spread(perDistinct, indexes);
        } else {
            UpdateIndexes(data, indexes, centroids, dim, threadCount, executor, resource);
        }
        if (UpdateCentroids(data, indexes, centroids, dim, resource)) break;
    }
}

// The per-cluster row counts and sums of the update step.
struct ClusterSums {
    const float* data;
    const uint32_t* indexes;
    uint64_t n;
    uint64_t k;
    uint64_t* counts;
    double* sums;
};

// Rows up to this width have their sums added by code of fixed width (short
// rows are the PQ chunks, where a loop over a run-time width costs more than the adds).
constexpr dist::dimension_t kFixedSumWidth = 8;

// Adds every row, in order, to its cluster's count and sum. D is the row
// width, or 0 for the run-time width `dim`.
template <dist::dimension_t D>
void AddRows(const ClusterSums& s, dist::dimension_t dim) {
    const dist::dimension_t width = D == 0 ? dim : D;
    for (uint64_t i = 0; i < s.n; ++i) {
        const uint32_t c = s.indexes[i];
        if (c >= s.k) continue;
        ++s.counts[c];
        const float* row = s.data + i * width;
        double* sum = s.sums + uint64_t{c} * width;
        for (dist::dimension_t j = 0; j < width; ++j) sum[j] += row[j];
    }
}

}  // namespace

void UpdateIndexes(std::span<const float> data, std::span<uint32_t> centroidIndexes,
                   std::span<const float> centroids, dist::dimension_t dim, uint32_t threadCount,
                   coro::Executor* executor, std::pmr::memory_resource& resource) {
    if (dim == 0) return;
    const uint64_t n = std::min<uint64_t>(data.size() / dim, centroidIndexes.size());
    const NearestCentroids search(centroids, dim, resource);
    if (threadCount < 2 || executor == nullptr || n < 2) {
        std::pmr::vector<float> scratch(search.ScratchFloats(), &resource);
        search.Assign(data.data(), n, centroidIndexes.data(), scratch.data());
        return;
    }
    // Range t holds n / T rows, plus one for the first n mod T ranges. Every
    // task gets its own scratch, allocated here because a memory resource need
    // not be thread-safe. More tasks than rows would only add empty ranges.
    const uint64_t tasks = std::min<uint64_t>(threadCount, n);
    const uint64_t base = n / tasks;
    const uint64_t longer = n % tasks;
    auto rangeBegin = [&](uint64_t t) { return t * base + std::min(t, longer); };
    const uint64_t perTask = search.ScratchFloats();
    std::pmr::vector<float> scratch(tasks * perTask, &resource);
    const core::ErrorCode rc =
        util::MultiThreadStepProcess(0, tasks, tasks, *executor, [&](uint64_t, uint64_t t) {
            const uint64_t begin = rangeBegin(t);
            search.Assign(data.data() + begin * dim, rangeBegin(t + 1) - begin,
                          centroidIndexes.data() + begin, scratch.data() + t * perTask);
            return core::ErrorCode::Ok;
        });
    if (rc != core::ErrorCode::Ok) {
        // The executor refused some ranges: assign every row here (the ranges
        // that did run get the same result again).
        search.Assign(data.data(), n, centroidIndexes.data(), scratch.data());
    }
}

bool UpdateCentroids(std::span<const float> data, std::span<const uint32_t> centroidIndexes,
                     std::span<float> centroids, dist::dimension_t dim,
                     std::pmr::memory_resource& resource) {
    if (centroids.empty() || dim == 0) return true;
    const uint64_t k = centroids.size() / dim;
    const uint64_t n = std::min<uint64_t>(data.size() / dim, centroidIndexes.size());
    std::pmr::vector<uint64_t> counts(k, 0, &resource);
    std::pmr::vector<double> sums(k * dim, 0.0, &resource);
    const ClusterSums target{data.data(), centroidIndexes.data(), n, k, counts.data(), sums.data()};
    if (dim <= kFixedSumWidth) {
        util::WithFixedWidth<kFixedSumWidth>(
            dim, [&](auto width) { AddRows<decltype(width)::value>(target, dim); });
    } else {
        AddRows<0>(target, dim);
    }
    float shift = 0.0f;
    // Opening a random device is costly (on some machines far more than an
    // epoch of small k-means), so one is opened per update, when the first
    // empty cluster needs it; every re-seeded cluster still gets a generator
    // freshly seeded from it.
    std::optional<std::random_device> device;
    for (uint64_t c = 0; c < k; ++c) {
        float* centroid = centroids.data() + c * dim;
        const double* sum = sums.data() + c * dim;
        if (counts[c] == 0 && n == 0) continue;  // nothing to re-seed from
        const float* seed = nullptr;
        if (counts[c] == 0) {
            if (!device) device.emplace("default");
            std::mt19937 gen((*device)());
            seed = data.data() + RandomRow(gen, n) * dim;
        }
        for (dist::dimension_t j = 0; j < dim; ++j) {
            const float value = seed != nullptr ? seed[j] : static_cast<float>(sum[j] / counts[c]);
            shift += std::abs(centroid[j] - value);
            centroid[j] = value;
        }
    }
    return shift < kConvergedShift;
}

std::vector<float> RandomSelectVectors(std::span<const float> data, dist::dimension_t dim,
                                       uint32_t k, std::pmr::memory_resource& resource) {
    if (dim == 0) return {};
    const uint64_t n = data.size() / dim;
    const uint64_t take = std::min<uint64_t>(k, n);
    std::pmr::vector<uint64_t> order(n, &resource);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), FreshGenerator());
    std::vector<float> out;
    out.reserve(take * dim);
    for (uint64_t i = 0; i < take; ++i) {
        const float* row = data.data() + order[i] * dim;
        out.insert(out.end(), row, row + dim);
    }
    return out;
}

std::vector<float> KmeansUtil::InitializeCentroidsKMC2(std::span<const float> data,
                                                       dist::dimension_t dim, uint32_t k,
                                                       uint32_t chainLength,
                                                       std::pmr::memory_resource& resource) {
    if (data.empty() || k == 0 || dim == 0 || data.size() % dim != 0) return {};
    const uint64_t n = data.size() / dim;
    const uint64_t count = std::min<uint64_t>(k, n);
    chainLength = std::max<uint32_t>(chainLength, 1);
    std::mt19937 gen = FreshGenerator();

    std::vector<float> chosen = RandomSelectVectors(data, dim, 1, resource);
    chosen.reserve(count * dim);
    std::pmr::vector<uint64_t> candidates(chainLength, &resource);
    std::pmr::vector<float> distances(chainLength, &resource);
    for (uint64_t c = 1; c < count; ++c) {
        float largest = 0.0f;
        float total = 0.0f;
        for (uint32_t j = 0; j < chainLength; ++j) {
            candidates[j] = RandomRow(gen, n);
            distances[j] = FindMinDistanceToCentroids(data, dim, chosen, candidates[j]);
            largest = std::max(largest, distances[j]);
            total += distances[j];
        }
        uint64_t pick = candidates[0];
        if (largest != 0.0f && total > 0.0f) {
            float u = static_cast<float>(gen()) * 0x1p-32f;
            if (u >= 1.0f) u = 0.99999994f;
            const float threshold = total * u;
            float running = 0.0f;
            for (uint32_t j = 0; j < chainLength; ++j) {
                running += distances[j];
                if (running >= threshold) {
                    pick = candidates[j];
                    break;
                }
            }
        }
        const float* row = data.data() + pick * dim;
        chosen.insert(chosen.end(), row, row + dim);
    }
    return chosen;
}

std::pair<Status, std::vector<float>> KmeansUtil::Kmeans(std::span<const float> data,
                                                         dist::dimension_t dim, uint32_t centroid,
                                                         uint32_t maxEpoch, uint32_t threadCount,
                                                         coro::Executor* executor,
                                                         std::pmr::memory_resource& resource,
                                                         bool useKmc2Initialization) {
    if (Status st = CheckData(data, dim); !st.IsOk()) return {std::move(st), {}};
    const uint64_t n = data.size() / dim;
    const uint64_t k = std::min<uint64_t>(centroid, n);
    std::pmr::vector<float> centroids(&resource);
    if (useKmc2Initialization) {
        const auto seeded = InitializeCentroidsKMC2(data, dim, static_cast<uint32_t>(k),
                                                    kKmc2ChainLength, resource);
        centroids.assign(seeded.begin(), seeded.end());
    } else {
        centroids.assign(data.begin(), data.begin() + k * dim);
    }
    std::pmr::vector<uint32_t> indexes(n, 0, &resource);
    if (k > 0) RunEpochs(data, dim, maxEpoch, threadCount, executor, resource, centroids, indexes);
    std::vector<float> out(uint64_t{centroid} * dim, 0.0f);
    std::copy(centroids.begin(), centroids.end(), out.begin());
    return {Status::Ok(), std::move(out)};
}

std::pair<Status, std::vector<float>> KmeansUtil::Kmeans(std::span<const float> data,
                                                         dist::dimension_t dim, uint32_t centroid,
                                                         uint32_t maxEpoch, uint32_t threadCount,
                                                         coro::Executor* executor,
                                                         std::pmr::memory_resource& resource) {
    return Kmeans(data, dim, centroid, maxEpoch, threadCount, executor, resource, false);
}

std::pair<Status, std::vector<uint32_t>> KmeansUtil::KmeansWithCentroids(
    std::span<const float> data, dist::dimension_t dim, uint32_t maxEpoch, uint32_t threadCount,
    coro::Executor* executor, std::pmr::memory_resource& resource,
    std::pmr::vector<float>& centroids) {
    if (Status st = CheckData(data, dim); !st.IsOk()) return {std::move(st), {}};
    if (centroids.empty()) {
        return {Status(core::ErrorCode::InvalidArgument, "centroids is empty"), {}};
    }
    std::pmr::vector<uint32_t> indexes(data.size() / dim, 0, &resource);
    RunEpochs(data, dim, maxEpoch, threadCount, executor, resource, centroids, indexes);
    return {Status::Ok(), std::vector<uint32_t>(indexes.begin(), indexes.end())};
}

}  // namespace orvane::quantizer
