#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory_resource>
#include <random>
#include <string>
#include <vector>

#include "distance/Metric.h"
#include "encoding/kmeans/Kmeans.h"
#include "encoding/kmeans/KmeansAssign.h"
#include "util/ExecutorManager.h"

namespace orvane::quantizer {
namespace {

std::pmr::memory_resource& Res() {
    return *std::pmr::get_default_resource();
}

// The assignment as defined: the batch L2 kernel against every centroid, a
// scan from the float maximum with strict "less than".
std::vector<uint32_t> ReferenceAssign(const std::vector<float>& data,
                                      const std::vector<float>& centroids, uint32_t dim) {
    const uint64_t n = data.size() / dim;
    const uint64_t k = centroids.size() / dim;
    std::vector<float> dist(k);
    std::vector<uint32_t> out(n);
    for (uint64_t i = 0; i < n; ++i) {
        dist::TagInvoke(dist::BatchEvalTag{}, dist::MetricT<dist::MetricE::l2>{},
                        data.data() + i * dim, centroids.data(), dim, k, dist.data());
        float best = std::numeric_limits<float>::max();
        uint32_t bestIndex = 0;
        for (uint64_t c = 0; c < k; ++c) {
            if (dist[c] < best) best = dist[c], bestIndex = static_cast<uint32_t>(c);
        }
        out[i] = bestIndex;
    }
    return out;
}

std::vector<uint32_t> FastAssign(const std::vector<float>& data,
                                 const std::vector<float>& centroids, uint32_t dim) {
    const NearestCentroids search(centroids, dim, Res());
    std::vector<float> scratch(search.ScratchFloats());
    std::vector<uint32_t> out(data.size() / dim, 12345u);
    search.Assign(data.data(), out.size(), out.data(), scratch.data());
    return out;
}

enum class Values {
    kUniform,      // continuous values in [-1, 1)
    kSmallInts,    // integers 0..3: many exact ties between distinct centroids
    kDuplicates,   // centroids repeated, rows equal to centroids
    kPixels,       // integers 0..255, mostly 0, like image borders
    kTinyAndHuge,  // rows scaled by 1e-30 or 1e17, near the float limits
    kNearTies,     // centroids a few ulps apart around rows close to them
};

std::vector<float> Generate(Values kind, uint64_t count, uint32_t dim, std::mt19937& gen) {
    std::vector<float> v(count * dim);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::uniform_int_distribution<int> small(0, 3);
    std::uniform_int_distribution<int> pixel(0, 255);
    for (uint64_t i = 0; i < count; ++i) {
        const float scale = (i % 2 == 0) ? 1e-30f : 1e17f;
        for (uint32_t j = 0; j < dim; ++j) {
            float& x = v[i * dim + j];
            switch (kind) {
                case Values::kUniform:
                    x = uniform(gen);
                    break;
                case Values::kSmallInts:
                case Values::kDuplicates:
                    x = static_cast<float>(small(gen));
                    break;
                case Values::kPixels:
                    x = gen() % 4 == 0 ? static_cast<float>(pixel(gen)) : 0;
                    break;
                case Values::kTinyAndHuge:
                    x = uniform(gen) * scale;
                    break;
                case Values::kNearTies:
                    x = uniform(gen);
                    break;
            }
        }
    }
    return v;
}

struct AssignCase {
    uint32_t dim;
    uint32_t k;
    Values values;
};

class NearestCentroidsTest : public ::testing::TestWithParam<AssignCase> {};

TEST_P(NearestCentroidsTest, EqualsTheReferenceScan) {
    const AssignCase& p = GetParam();
    std::mt19937 gen(p.dim * 1000 + p.k * 10 + static_cast<uint32_t>(p.values));
    std::vector<float> centroids = Generate(p.values, p.k, p.dim, gen);
    std::vector<float> data = Generate(p.values, 700, p.dim, gen);
    if (p.values == Values::kDuplicates) {
        // Every second centroid repeats an earlier one; the first rows are centroids.
        for (uint32_t c = 1; c < p.k; c += 2) {
            std::copy_n(centroids.begin() + (c / 2) * p.dim, p.dim, centroids.begin() + c * p.dim);
        }
        std::copy_n(centroids.begin(), std::min(centroids.size(), data.size()), data.begin());
    }
    if (p.values == Values::kNearTies) {
        // Centroids 0, 8, 16, ... (one lane of the transposed path) are one
        // point nudged by a few ulps per component; the others lie farther
        // off. Their distances to a row differ by about their rounding
        // error, so the fast scores may order them unlike the kernel.
        std::uniform_int_distribution<int> steps(0, 3);
        std::vector<float> base(p.dim);
        std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
        for (float& x : base) x = uniform(gen);
        for (uint32_t c = 0; c < p.k; ++c) {
            for (uint32_t j = 0; j < p.dim; ++j) {
                float x = base[j];
                for (int s = steps(gen); s > 0; --s) x = std::nextafter(x, 2.0f);
                centroids[c * p.dim + j] = c % 8 == 0 ? x : x + 0.25f;
            }
        }
    }
    EXPECT_EQ(FastAssign(data, centroids, p.dim), ReferenceAssign(data, centroids, p.dim));
}

std::vector<AssignCase> Cases() {
    std::vector<AssignCase> cases;
    for (uint32_t dim : {1u, 2u, 3u, 7u, 8u, 9u, 16u, 33u, 784u}) {
        for (uint32_t k : {1u, 5u, 8u, 17u, 256u}) {
            for (Values v : {Values::kUniform, Values::kSmallInts, Values::kDuplicates,
                             Values::kPixels, Values::kTinyAndHuge, Values::kNearTies}) {
                cases.push_back({dim, k, v});
            }
        }
    }
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<AssignCase>& info) {
    static const char* const kNames[] = {"Uniform", "SmallInts",   "Duplicates",
                                         "Pixels",  "TinyAndHuge", "NearTies"};
    return "Dim" + std::to_string(info.param.dim) + "K" + std::to_string(info.param.k) +
           kNames[static_cast<int>(info.param.values)];
}

INSTANTIATE_TEST_SUITE_P(Table, NearestCentroidsTest, ::testing::ValuesIn(Cases()), CaseName);

// Hand-made rows whose answer is known: exact ties, equal centroids, and values
// for which the fast scores overflow or are not numbers.
TEST(NearestCentroidsEdgeTest, TiesAndNonFiniteValues) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::vector<float> centroids;  // dim 2
        std::vector<float> row;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {{1, 0, 0, 1, -1, 0}, {0, 0}, 0},             // three at distance 1: the first
        {{5, 5, 2, 2, 2, 2}, {2, 2}, 1},              // equal centroids: the lower one
        {{3, 3, 1, 1, 1, 1, 3, 3}, {2.5f, 2.5f}, 0},  // ties at a non-zero distance
        {{1, 1, nan, 0}, {0, 0}, 0},                  // a NaN centroid never wins
        {{nan, 0, 1, 1}, {0, 0}, 1},
        {{inf, 0, 2, 2}, {0, 0}, 1},  // an infinite distance never wins
        {{1, 1, 2, 2}, {nan, 0}, 0},  // no distance below the maximum: 0
        {{1, 1, 2, 2}, {inf, 0}, 0},
        {{3e38f, 0, -3e38f, 0}, {-3e38f, 0}, 1},  // the first overflows, the second is 0
        {{3e38f, 0, 1e38f, 0}, {-3e38f, 0}, 0},   // both overflow
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(FastAssign(c.row, c.centroids, 2), std::vector<uint32_t>{c.expected})
            << "case " << i;
        EXPECT_EQ(ReferenceAssign(c.row, c.centroids, 2), std::vector<uint32_t>{c.expected})
            << "case " << i;
    }
}

// The same with rows of 100 components, which take the matrix path.
TEST(NearestCentroidsEdgeTest, MatrixPathTiesAndNonFiniteValues) {
    constexpr uint32_t kDim = 100;
    auto row = [](float head, float tail) {
        std::vector<float> r(kDim, tail);
        r[0] = head;
        return r;
    };
    auto join = [](std::initializer_list<std::vector<float>> rows) {
        std::vector<float> out;
        for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
        return out;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::vector<float> centroids;
        std::vector<float> row;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {join({row(1, 0), row(-1, 0), row(0, 1)}), row(0, 0), 0},
        {join({row(9, 9), row(3, 1), row(3, 1)}), row(3, 1), 1},
        {join({row(1, 1), row(nan, 0), row(0, 0)}), row(0, 0), 2},
        {join({row(1, 1), row(2, 2)}), row(nan, 0), 0},
        {join({row(1e20f, 0), row(-1e20f, 0)}), row(-1e20f, 0), 1},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(FastAssign(c.row, c.centroids, kDim), std::vector<uint32_t>{c.expected})
            << "case " << i;
        EXPECT_EQ(ReferenceAssign(c.row, c.centroids, kDim), std::vector<uint32_t>{c.expected})
            << "case " << i;
    }
}

// Near-ties at the resolution of float: centroids a few units in the last place
// apart from each other, where a wrong error bound would pick another one.
TEST(NearestCentroidsEdgeTest, CentroidsOneUlpApart) {
    for (uint32_t dim : {2u, 5u, 64u}) {
        std::mt19937 gen(dim);
        std::uniform_real_distribution<float> uniform(100.0f, 101.0f);
        std::vector<float> base(dim);
        for (float& v : base) v = uniform(gen);
        std::vector<float> centroids;
        for (uint32_t c = 0; c < 64; ++c) {
            for (uint32_t j = 0; j < dim; ++j) {
                float v = base[j];
                for (uint32_t s = 0; s < (c + j) % 4; ++s) v = std::nextafter(v, 200.0f);
                centroids.push_back(v);
            }
        }
        std::vector<float> data;
        for (uint32_t i = 0; i < 200; ++i) {
            for (uint32_t j = 0; j < dim; ++j) {
                float v = base[j];
                for (uint32_t s = 0; s < (i * 7 + j) % 5; ++s) v = std::nextafter(v, 200.0f);
                data.push_back(v);
            }
        }
        EXPECT_EQ(FastAssign(data, centroids, dim), ReferenceAssign(data, centroids, dim))
            << "dim " << dim;
    }
}

// Runs of repeated rows (a row equal to the one before takes its centroid
// without scoring again) between rows that differ only in the sign of a zero
// or are NaN: each row still gets the reference answer.
TEST(NearestCentroidsEdgeTest, RepeatedRowsGetTheReferenceAnswer) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (uint32_t dim : {1u, 2u, 3u, 7u, 8u}) {
        std::mt19937 gen(dim + 40);
        std::uniform_int_distribution<int> value(0, 3);
        std::vector<float> centroids(24 * dim);
        for (float& c : centroids) c = static_cast<float>(value(gen));
        std::vector<float> data;
        const auto put = [&](float first, int times) {
            std::vector<float> row(dim);
            for (uint32_t j = 0; j < dim; ++j) row[j] = j == 0 ? first : static_cast<float>(j % 3);
            for (int t = 0; t < times; ++t) data.insert(data.end(), row.begin(), row.end());
        };
        put(0.0f, 3);
        put(-0.0f, 2);
        put(2.0f, 1);
        put(nan, 2);
        put(2.0f, 4);
        put(1.5f, 1);
        put(0.0f, 1);
        for (int r = 0; r < 40; ++r) put(static_cast<float>(value(gen)), 1 + r % 3);
        EXPECT_EQ(FastAssign(data, centroids, dim), ReferenceAssign(data, centroids, dim))
            << "dim " << dim;
    }
}

// UpdateIndexes splits rows over tasks; every split gives the reference answer.
TEST(NearestCentroidsEdgeTest, UpdateIndexesOverThreadsEqualsReference) {
    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
    ASSERT_TRUE(executor.IsOk());
    for (uint32_t dim : {2u, 40u}) {
        std::mt19937 gen(dim + 7);
        const std::vector<float> centroids = Generate(Values::kSmallInts, 30, dim, gen);
        const std::vector<float> data = Generate(Values::kSmallInts, 1001, dim, gen);
        const std::vector<uint32_t> expected = ReferenceAssign(data, centroids, dim);
        for (uint32_t threads : {1u, 2u, 3u, 8u}) {
            std::vector<uint32_t> out(data.size() / dim, 999u);
            UpdateIndexes(data, out, centroids, dim, threads, executor.Value().get(), Res());
            EXPECT_EQ(out, expected) << "dim " << dim << " threads " << threads;
        }
    }
}

}  // namespace
}  // namespace orvane::quantizer
