#include "encoding/kmeans/DistinctRows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "encoding/kmeans/Kmeans.h"
#include "util/ExecutorManager.h"

namespace orvane::quantizer {
namespace {

std::pmr::memory_resource& Res() {
    return *std::pmr::get_default_resource();
}

enum class Rows {
    kPixels,       // 0..255, three quarters zero: long and short runs of repeats
    kFewValues,    // integers 0..2: far fewer distinct rows than centroids
    kSignedZeros,  // 0.0, -0.0 and 1.0: equal values with different bytes
    kNaNs,         // pixels with NaN in place of some values
    kAllEqual,     // one row repeated
    kUniform,      // continuous values: every row distinct
};

std::vector<float> Generate(Rows kind, uint64_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<float> v(n * dim);
    for (float& x : v) {
        const uint32_t r = gen();
        switch (kind) {
            case Rows::kPixels:
                x = r % 4 == 0 ? static_cast<float>((r >> 8) % 256) : 0.0f;
                break;
            case Rows::kFewValues:
                x = static_cast<float>(r % 3);
                break;
            case Rows::kSignedZeros:
                x = r % 3 == 0 ? 0.0f : (r % 3 == 1 ? -0.0f : 1.0f);
                break;
            case Rows::kNaNs:
                x = r % 5 == 0 ? std::numeric_limits<float>::quiet_NaN()
                               : static_cast<float>((r >> 8) % 4);
                break;
            case Rows::kAllEqual:
                x = 3.5f;
                break;
            case Rows::kUniform:
                x = static_cast<float>(r) * 0x1p-32f;
                break;
        }
    }
    return v;
}

// The number of distinct byte patterns among the rows.
uint64_t DistinctByBytes(const std::vector<float>& data, uint32_t dim) {
    std::set<std::string> seen;
    for (uint64_t i = 0; i < data.size() / dim; ++i) {
        seen.emplace(reinterpret_cast<const char*>(data.data() + i * dim), dim * sizeof(float));
    }
    return seen.size();
}

struct DistinctCase {
    Rows rows;
    uint32_t dim;
    uint32_t k;
    int pays;  // expected: 1 or 0, or -1 for "when at most 90% of the rows are distinct"
};

class DistinctRowsTest : public ::testing::TestWithParam<DistinctCase> {};

// Per epoch, assigning the distinct rows and spreading their centroids gives
// the assignments of scoring every row, including with empty clusters, which
// the update re-seeds at random (both sides then continue from the same centroids).
TEST_P(DistinctRowsTest, SpreadAssignmentsEqualScoringEveryRow) {
    const DistinctCase& p = GetParam();
    const uint64_t n = 2000;
    const std::vector<float> data = Generate(p.rows, n, p.dim, p.dim * 31 + p.k);
    const DistinctRows distinct(data, p.dim, Res());
    const uint64_t count = DistinctByBytes(data, p.dim);
    const bool pays = p.pays >= 0 ? p.pays == 1 : count * 10 <= n * 9;
    ASSERT_EQ(distinct.Pays(), pays) << count << " distinct rows";
    if (!pays) return;
    ASSERT_EQ(distinct.Count(), count);
    ASSERT_EQ(distinct.Rows().size(), distinct.Count() * p.dim);

    std::vector<float> centroids(data.begin(), data.begin() + uint64_t{p.k} * p.dim);
    std::vector<uint32_t> every(n), spread(n, 999u), perDistinct(distinct.Count());
    for (int epoch = 0; epoch < 4; ++epoch) {
        UpdateIndexes(data, every, centroids, p.dim, 1, nullptr, Res());
        UpdateIndexes(distinct.Rows(), perDistinct, centroids, p.dim, 1, nullptr, Res());
        distinct.Spread(perDistinct, spread);
        ASSERT_EQ(spread, every) << "epoch " << epoch;
        UpdateCentroids(data, every, centroids, p.dim, Res());
    }
}

std::vector<DistinctCase> Cases() {
    std::vector<DistinctCase> cases;
    for (uint32_t dim : {1u, 2u, 3u, 8u}) {
        for (uint32_t k : {4u, 256u}) {
            cases.push_back({Rows::kPixels, dim, k, dim <= 2 ? 1 : -1});
            cases.push_back({Rows::kFewValues, dim, k, dim <= 3 ? 1 : -1});
            cases.push_back({Rows::kSignedZeros, dim, k, dim <= 3 ? 1 : -1});
            cases.push_back({Rows::kNaNs, dim, k, dim <= 2 ? 1 : -1});
            cases.push_back({Rows::kAllEqual, dim, k, 1});
            cases.push_back({Rows::kUniform, dim, k, 0});
        }
    }
    // Longer rows are never deduplicated, however often they repeat.
    cases.push_back({Rows::kAllEqual, DistinctRows::kMaxDim + 1, 4, 0});
    cases.push_back({Rows::kFewValues, DistinctRows::kMaxDim + 1, 4, 0});
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<DistinctCase>& info) {
    static const char* const kNames[] = {"Pixels", "FewValues", "SignedZeros",
                                         "NaNs",   "AllEqual",  "Uniform"};
    return std::string(kNames[static_cast<int>(info.param.rows)]) + "Dim" +
           std::to_string(info.param.dim) + "K" + std::to_string(info.param.k);
}

INSTANTIATE_TEST_SUITE_P(Table, DistinctRowsTest, ::testing::ValuesIn(Cases()), CaseName);

// -0.0 and 0.0 are different rows, and so are NaNs of different bits; equal
// bytes are one row, whatever lies between its occurrences.
TEST(DistinctRowsEdgeTest, RowsAreEqualByTheirBytes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float otherNan = -nan;
    const std::vector<float> data = {0.0f, 1.0f, -0.0f,    1.0f, nan,  1.0f, 0.0f,  1.0f,
                                     nan,  1.0f, otherNan, 1.0f, 0.0f, 1.0f, -0.0f, 1.0f};
    const DistinctRows distinct(data, 2, Res());
    ASSERT_TRUE(distinct.Pays());
    ASSERT_EQ(distinct.Count(), 4u);
    // Distinct rows keep their order of first occurrence.
    const std::vector<uint32_t> perDistinct = {10, 11, 12, 13};
    std::vector<uint32_t> spread(8);
    distinct.Spread(perDistinct, spread);
    EXPECT_EQ(spread, (std::vector<uint32_t>{10, 11, 12, 10, 12, 13, 10, 11}));
    EXPECT_EQ(std::memcmp(distinct.Rows().data() + 2, &data[2], 2 * sizeof(float)), 0);
}

// Whole k-means runs over repeated rows, without empty clusters (whose random
// re-seeding would make runs differ): the centroids and the final assignments
// equal those of the assignment and update steps run over every row.
TEST(DistinctRowsEdgeTest, KmeansOverRepeatedRowsEqualsScoringEveryRow) {
    for (uint32_t dim : {1u, 2u, 5u}) {
        const uint32_t k = 3;
        const uint64_t n = 1500;
        std::vector<float> data = Generate(Rows::kFewValues, n, dim, dim);
        // Three distinct first rows seed three clusters that all keep rows.
        for (uint32_t c = 0; c < k; ++c) {
            for (uint32_t j = 0; j < dim; ++j) data[c * dim + j] = static_cast<float>(c);
        }
        std::vector<float> expected(data.begin(), data.begin() + k * dim);
        std::vector<uint32_t> indexes(n);
        for (int epoch = 0; epoch < 6; ++epoch) {
            UpdateIndexes(data, indexes, expected, dim, 1, nullptr, Res());
            if (UpdateCentroids(data, indexes, expected, dim, Res())) break;
        }
        auto [status, centroids] = KmeansUtil::Kmeans(data, dim, k, 6, 1, nullptr, Res());
        ASSERT_TRUE(status.IsOk());
        EXPECT_EQ(centroids, expected) << "dim " << dim;

        std::pmr::vector<float> refined(data.begin(), data.begin() + k * dim, &Res());
        auto [refinedStatus, assigned] =
            KmeansUtil::KmeansWithCentroids(data, dim, 6, 1, nullptr, Res(), refined);
        ASSERT_TRUE(refinedStatus.IsOk());
        EXPECT_EQ(std::vector<float>(refined.begin(), refined.end()), expected) << "dim " << dim;
        EXPECT_EQ(assigned, indexes) << "dim " << dim;
    }
}

// The assignment over distinct rows split across executor tasks, with several
// k-means runs at once sharing one pool resource (as the PQ trainer runs its
// chunks): every run gives the centroids of a one-thread run. The rows are
// eight blobs of five points each, repeated, seeded by one row of each blob,
// so that no cluster ever empties (its random re-seeding would differ per run).
TEST(DistinctRowsStressTest, ParallelRunsOverRepeatedRowsEqualOneThread) {
    constexpr uint32_t kDim = 2;
    constexpr uint32_t kBlobs = 8;
    constexpr uint64_t kRows = 6000;
    std::vector<float> data(kRows * kDim);
    for (uint64_t i = 0; i < kRows; ++i) {
        const uint64_t blob = i % kBlobs;
        const uint64_t point = (i / kBlobs) % 5;
        data[i * kDim] = static_cast<float>(blob * 100 + point);
        data[i * kDim + 1] = static_cast<float>(blob * 50) - static_cast<float>(point) * 0.5f;
    }
    ASSERT_TRUE(DistinctRows(data, kDim, Res()).Pays());
    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
    ASSERT_TRUE(executor.IsOk());
    const auto [status, expected] = KmeansUtil::Kmeans(data, kDim, kBlobs, 10, 1, nullptr, Res());
    ASSERT_TRUE(status.IsOk());

    std::pmr::synchronized_pool_resource pool;
    constexpr int kRuns = 4;
    std::vector<std::vector<float>> results(kRuns);
    std::vector<std::thread> runs;
    for (int r = 0; r < kRuns; ++r) {
        runs.emplace_back([&, r] {
            for (int repeat = 0; repeat < 20; ++repeat) {
                auto [st, centroids] = KmeansUtil::Kmeans(data, kDim, kBlobs, 10, 2 + r % 3,
                                                          executor.Value().get(), pool);
                if (!st.IsOk() || (repeat > 0 && centroids != results[r])) {
                    results[r].clear();
                    return;
                }
                results[r] = std::move(centroids);
            }
        });
    }
    for (auto& t : runs) t.join();
    for (int r = 0; r < kRuns; ++r) EXPECT_EQ(results[r], expected) << "run " << r;
}

}  // namespace
}  // namespace orvane::quantizer
