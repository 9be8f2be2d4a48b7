#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "distance/Fp32Simd.h"
#include "encoding/kmeans/KmeansDistance.h"
#include "testing/TestVectors.h"

namespace orvane::dist {
namespace {

using dist::testing::KernelLengths;
using dist::testing::RandomVector;

template <typename Dispatcher, typename Level>
std::vector<float> Apply(Level level, const std::vector<float>& a, const std::vector<float>& b) {
    std::vector<float> out(a.size() + 1, 12345.0f);  // one guard slot past the end
    Dispatcher::TagInvoke(level, std::span<const float>(a), std::span<const float>(b),
                          std::span<float>(out.data(), a.size()));
    EXPECT_EQ(out.back(), 12345.0f) << "kernel wrote past the length of a";
    out.pop_back();
    return out;
}

class ElementwiseTest : public ::testing::TestWithParam<size_t> {};

TEST_P(ElementwiseTest, EveryLevelComputesExactElementwiseResults) {
    const size_t n = GetParam();
    const auto a = RandomVector(n, 21);
    auto b = RandomVector(n, 22, 0.5f, 2.0f);  // keeps the divisor away from zero
    auto check = [&](auto level) {
        SCOPED_TRACE(decltype(level)::Name);
        const auto add = Apply<Fp32VectorAddDispatcher>(level, a, b);
        const auto sub = Apply<Fp32VectorSubDispatcher>(level, a, b);
        const auto mul = Apply<Fp32VectorMulDispatcher>(level, a, b);
        const auto div = Apply<Fp32VectorDivDispatcher>(level, a, b);
        for (size_t i = 0; i < n; ++i) {
            // Single IEEE operations: both levels are exact.
            ASSERT_EQ(add[i], a[i] + b[i]);
            ASSERT_EQ(sub[i], a[i] - b[i]);
            ASSERT_EQ(mul[i], a[i] * b[i]);
            ASSERT_EQ(div[i], a[i] / b[i]);
        }
    };
    check(isa::ScalarT{});
    dist::testing::ForEachVectorLevel(check);
}

TEST_P(ElementwiseTest, NormalizeLevelsAgree) {
    const size_t n = GetParam();
    auto a = RandomVector(n, 31);
    const auto b = RandomVector(n, 32);
    auto run = [&](auto level) {
        std::vector<float> out(n, -7.0f);
        Fp32VectorNormalizeDispatcher::TagInvoke(level, std::span<const float>(a),
                                                 std::span<const float>(b), std::span<float>(out));
        return out;
    };
    const auto scalar = run(isa::ScalarT{});
    double normSq = 0;
    for (size_t i = 0; i < n; ++i) normSq += double(scalar[i]) * scalar[i];
    if (n > 0) {
        EXPECT_NEAR(normSq, 1.0, 1e-5);
    }
    dist::testing::ForEachVectorLevel([&](auto level) {
        SCOPED_TRACE(decltype(level)::Name);
        const auto vector = run(level);
        for (size_t i = 0; i < n; ++i) EXPECT_NEAR(vector[i], scalar[i], 1e-6f) << i;
    });
}

INSTANTIATE_TEST_SUITE_P(Lengths, ElementwiseTest, ::testing::ValuesIn(KernelLengths()));

TEST(Fp32SimdTest, DispatchedHelpers) {
    std::vector<float> a = {1, 2, 3}, b = {4, 5, 6}, out(3);
    Fp32VectorAdd(a, b, out);
    EXPECT_EQ(out, (std::vector<float>{5, 7, 9}));
    Fp32VectorSub(a, b, out);
    EXPECT_EQ(out, (std::vector<float>{-3, -3, -3}));
    Fp32VectorMul(a, b, out);
    EXPECT_EQ(out, (std::vector<float>{4, 10, 18}));
    Fp32VectorDiv(b, a, out);
    EXPECT_EQ(out, (std::vector<float>{4, 2.5f, 2}));
    // Division by zero is not guarded: IEEE results come through.
    std::vector<float> zeros = {0, 0, 0}, num = {1, -1, 0};
    Fp32VectorDiv(num, zeros, out);
    EXPECT_EQ(out[0], std::numeric_limits<float>::infinity());
    EXPECT_EQ(out[1], -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(out[2]));
}

TEST(Fp32SimdTest, NormalizeValuesAndZeroDifference) {
    std::vector<float> a = {4, 6}, b = {1, 2};
    const auto unit = Fp32VectorNormalize(a, b);
    ASSERT_EQ(unit.size(), 2u);
    EXPECT_FLOAT_EQ(unit[0], 0.6f);
    EXPECT_FLOAT_EQ(unit[1], 0.8f);

    std::vector<float> same = RandomVector(19, 5);
    const auto zero = Fp32VectorNormalize(same, same);
    EXPECT_EQ(zero, std::vector<float>(19, 0.0f));

    // Norm below 1e-8 counts as zero.
    std::vector<float> tiny = {1e-9f, 0.0f}, origin = {0.0f, 0.0f};
    EXPECT_EQ(Fp32VectorNormalize(tiny, origin), std::vector<float>(2, 0.0f));
    std::vector<float> empty;
    EXPECT_TRUE(Fp32VectorNormalize(empty, empty).empty());
}

TEST(KmeansDistanceTest, SquaredDistanceAndNearestCentroid) {
    const float a[] = {0, 0, 1}, b[] = {3, 4, 1};
    EXPECT_EQ(quantizer::ComputeDistanceSquared(a, b, 3), 25.0f);
    EXPECT_EQ(quantizer::ComputeDistanceSquared(a, b, 0), 0.0f);

    // Two rows of dim 2; centroids (10,10), (1,1), (0,5).
    const std::vector<float> data = {0, 0, 1, 2};
    const std::vector<float> centroids = {10, 10, 1, 1, 0, 5};
    EXPECT_EQ(quantizer::FindMinDistanceToCentroids(data, 2, centroids, 0), 2.0f);
    EXPECT_EQ(quantizer::FindMinDistanceToCentroids(data, 2, centroids, 1), 1.0f);
    EXPECT_EQ(quantizer::FindMinDistanceToCentroids(data, 2, {}, 0), 3.4028235e38f);
    // A trailing partial centroid row is ignored.
    const std::vector<float> partial = {10, 10, 0};
    EXPECT_EQ(quantizer::FindMinDistanceToCentroids(data, 2, partial, 0), 200.0f);
}

}  // namespace
}  // namespace orvane::dist
