// DistanceCalcutor: per metric, the node-to-node distance is the metric
// kernel of the level chosen for the process, oriented so that lower is
// better (the inner product negated), and IsMinDist recognises coincident
// points; a metric without kernels installs nothing.
#include "index/diskann/graph/DistanceCalcutor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "distance/Metric.h"

namespace orvane::index::diskann {
namespace {

using dist::MetricE;

struct DistanceCase {
    MetricE metric;
    std::vector<float> a;
    std::vector<float> b;
    float expected;
    bool minDist;  // whether IsMinDist holds for the pair's distance
};

TEST(DistanceCalcutorTest, DistancesAndCoincidencePerMetric) {
    const std::vector<DistanceCase> cases = {
        {MetricE::l2, {0, 0}, {3, 4}, 25.0f, false},
        {MetricE::l2, {1, 2, 3}, {1, 2, 3}, 0.0f, true},
        {MetricE::ip, {1, 2}, {3, 4}, -11.0f, false},
        {MetricE::ip, {0, 1, 0}, {0, 1, 0}, -1.0f, true},
        {MetricE::cosine, {1, 0}, {0, 1}, 1.0f, false},
        {MetricE::cosine, {1, 0}, {-1, 0}, 2.0f, false},
        {MetricE::cosine, {2, 0}, {5, 0}, 0.0f, true},
    };
    for (const DistanceCase& c : cases) {
        SCOPED_TRACE(std::string(dist::MetricName(c.metric)));
        DistanceCalcutor calc;
        ASSERT_TRUE(calc.Set(c.metric));
        ASSERT_FALSE(calc.Empty());
        const std::span<const float> a(c.a), b(c.b);
        const float d = calc.Distance(a, b);
        EXPECT_NEAR(d, c.expected, 1e-6f);
        EXPECT_EQ(calc.IsMinDist(d), c.minDist);
        // The same value as the dispatched kernel, oriented.
        float kernel = 0;
        switch (c.metric) {
            case MetricE::l2:
                kernel = dist::TagInvoke(dist::EvalTag{}, dist::MetricT<MetricE::l2>{}, a, b);
                break;
            case MetricE::ip:
                kernel = -dist::TagInvoke(dist::EvalTag{}, dist::MetricT<MetricE::ip>{}, a, b);
                break;
            default:
                kernel = dist::TagInvoke(dist::EvalTag{}, dist::MetricT<MetricE::cosine>{}, a, b);
                break;
        }
        EXPECT_EQ(d, kernel);
    }
}

// The builder keeps the distance an edge was found with and re-prunes from it
// instead of computing the distance from the other end: that is only the same
// graph if the kernels give d(a, b) == d(b, a) to the bit, at every length
// (full vector blocks, tails, and both together).
TEST(DistanceCalcutorTest, DistancesAreSymmetricToTheBit) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> value(-3.0f, 3.0f);
    for (const MetricE metric : {MetricE::l2, MetricE::ip, MetricE::cosine}) {
        DistanceCalcutor calc;
        ASSERT_TRUE(calc.Set(metric));
        for (const size_t dim : {1u, 7u, 8u, 31u, 32u, 33u, 100u, 784u}) {
            SCOPED_TRACE(std::string(dist::MetricName(metric)) + " dim " + std::to_string(dim));
            for (int pair = 0; pair < 20; ++pair) {
                std::vector<float> a(dim), b(dim);
                for (float& x : a) x = value(rng);
                for (float& x : b) x = value(rng);
                const float ab = calc.Distance(a, b);
                const float ba = calc.Distance(b, a);
                EXPECT_EQ(std::memcmp(&ab, &ba, sizeof(float)), 0) << ab << " vs " << ba;
            }
        }
    }
}

TEST(DistanceCalcutorTest, MetricWithoutKernelsInstallsNothing) {
    DistanceCalcutor calc;
    ASSERT_TRUE(calc.Set(MetricE::l2));
    EXPECT_FALSE(calc.Set(MetricE::dummy));
    EXPECT_TRUE(calc.Empty());
    EXPECT_FALSE(calc.Set(static_cast<MetricE>(9)));
    EXPECT_TRUE(calc.Empty());
}

}  // namespace
}  // namespace orvane::index::diskann
