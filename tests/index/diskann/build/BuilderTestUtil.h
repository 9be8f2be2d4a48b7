// Helpers of the DiskANN builder tests: generated clustered data, builder
// creation, graph invariants and the recall of a plain best-first search over
// the built graph (exact distances), against exact top-k.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "index/diskann/build/GraphWalk.h"
#include "orvane/core/MemoryResource.h"
#include "index/diskann/build/DiskANNBuilderBackend.h"
#include "index/diskann/build/GraphConnectivity.h"

namespace orvane::index::diskann::testutil {

// n rows of dim floats around 8 cluster centres.
inline std::vector<float> Clustered(uint32_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> centres(8 * dim);
    for (float& c : centres) c = noise(rng) * 6.0f;
    std::vector<float> data(uint64_t{n} * dim);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t c = rng() % 8;
        for (uint32_t k = 0; k < dim; ++k) data[i * dim + k] = centres[c * dim + k] + noise(rng);
    }
    return data;
}

// `q` queries near rows of `data`: every (n / q)-th row plus small noise.
inline std::vector<float> NearQueries(const std::vector<float>& data, uint32_t dim, uint32_t q,
                                      uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.5f);
    const auto n = static_cast<uint32_t>(data.size() / dim);
    std::vector<float> out(uint64_t{q} * dim);
    for (uint32_t i = 0; i < q; ++i) {
        const uint64_t row = uint64_t{i} * (n / q);
        for (uint32_t k = 0; k < dim; ++k) out[i * dim + k] = data[row * dim + k] + noise(rng);
    }
    return out;
}

inline api::BuilderOptions Options(uint32_t dim, int64_t degree, int64_t threads, int64_t ef = 64) {
    return api::BuilderOptions{
        {"index.dimension", int64_t{dim}},        {"index.type", std::string("diskann")},
        {"encoding.type", std::string("rawf32")}, {"diskann.build.neighbor_count", degree},
        {"diskann.build.ef_construction", ef},    {"diskann.build.thread_count", threads}};
}

inline std::unique_ptr<DiskANNBuilderBackend> MakeBuilder(const api::BuilderOptions& options) {
    auto created = CreateDiskANNBuilderBackend(options, core::Normalize({}));
    EXPECT_TRUE(created.IsOk()) << created.GetStatus().Message();
    if (!created.IsOk()) return nullptr;
    return std::unique_ptr<DiskANNBuilderBackend>(
        static_cast<DiskANNBuilderBackend*>(created.TakeValue().release()));
}

// Pretrains, reserves and appends `data` in batches of `batch` rows.
inline core::Status BuildAll(DiskANNBuilderBackend& b, const std::vector<float>& data, uint32_t dim,
                             uint32_t batch) {
    const auto n = static_cast<uint32_t>(data.size() / dim);
    ORVANE_RETURN_IF_ERROR(b.Pretrain(data.data(), n));
    ORVANE_RETURN_IF_ERROR(b.Reserve(n));
    std::vector<uint64_t> ids(n);
    std::iota(ids.begin(), ids.end(), uint64_t{100});
    for (uint32_t first = 0; first < n; first += batch) {
        const uint32_t c = std::min(batch, n - first);
        ORVANE_RETURN_IF_ERROR(b.AppendBatch(
            {data.data() + uint64_t{first} * dim, uint64_t{c} * dim}, {ids.data() + first, c}));
    }
    return core::Status::Ok();
}

// Out-degrees within the degree, neighbour ids valid, no self-loops and at
// least `minReachable` of the nodes (all by default) reachable from the entry
// points.
inline void ExpectSoundGraph(const BuildMemoryStorage& s, uint32_t count, uint64_t degree,
                             double minReachable = 1.0) {
    for (uint32_t v = 0; v < count; ++v) {
        const auto list = s.Neighbors(v);
        ASSERT_LE(list.size(), degree) << v;
        for (uint32_t u : list) {
            ASSERT_LT(u, count) << v;
            ASSERT_NE(u, v);
        }
    }
    const auto [all, reached] = CheckConnectivity(s, count, std::pmr::get_default_resource());
    if (minReachable >= 1.0) {
        EXPECT_TRUE(all);
    } else {
        EXPECT_GE(static_cast<double>(reached->CountSet()), minReachable * count);
    }
}

inline float L2(const float* a, const float* b, uint32_t dim) {
    float d = 0;
    for (uint32_t k = 0; k < dim; ++k) d += (a[k] - b[k]) * (a[k] - b[k]);
    return d;
}

// Mean recall@k of a best-first search with a result list of `listSize`.
inline double GraphRecall(const BuildMemoryStorage& s, const std::vector<float>& data, uint32_t dim,
                          const std::vector<float>& queries, uint32_t k, uint32_t listSize) {
    const auto n = static_cast<uint32_t>(data.size() / dim);
    const auto q = static_cast<uint32_t>(queries.size() / dim);
    double hits = 0;
    for (uint32_t qi = 0; qi < q; ++qi) {
        const float* query = queries.data() + uint64_t{qi} * dim;
        std::vector<std::pair<float, uint32_t>> exact(n);
        for (uint32_t v = 0; v < n; ++v) {
            exact[v] = {L2(query, data.data() + uint64_t{v} * dim, dim), v};
        }
        std::partial_sort(exact.begin(), exact.begin() + k, exact.end());
        std::vector<uint32_t> truth;
        for (uint32_t j = 0; j < k; ++j) truth.push_back(exact[j].second);
        const auto found =
            BestFirstSearch(s, listSize, [&](uint32_t v) { return L2(query, s.Vector(v), dim); });
        hits += HitsAtK(found, truth, k);
    }
    return hits / (static_cast<double>(k) * q);
}

}  // namespace orvane::index::diskann::testutil
