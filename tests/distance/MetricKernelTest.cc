#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <span>
#include <vector>

#include "distance/Metric.h"
#include "distance/MetricDispatchers.h"
#include "distance/MetricE.h"
#include "isa/CpuFeatures.h"
#include "testing/TestVectors.h"

namespace orvane::dist {
namespace {

using isa::Avx2T;
using isa::Avx512T;
using isa::ScalarT;
using testing::ForEachVectorLevel;
using testing::HasAvx2;
using testing::HasAvx512;
using testing::KernelLengths;
using testing::RandomVector;
using testing::SumTolerance;

constexpr MetricT<MetricE::l2> kL2{};
constexpr MetricT<MetricE::ip> kIP{};
constexpr MetricT<MetricE::cosine> kCosine{};

template <typename Dispatcher, typename Level>
float Kernel(Level level, const std::vector<float>& a, const std::vector<float>& b) {
    return Dispatcher::TagInvoke(level, std::span<const float>(a), std::span<const float>(b));
}

TEST(MetricTypesTest, NamesOrderingAndParsing) {
    EXPECT_STREQ(MetricT<MetricE::l2>::Name, "l2");
    EXPECT_STREQ(MetricT<MetricE::ip>::Name, "inner_product");
    EXPECT_STREQ(MetricT<MetricE::cosine>::Name, "cosine");
    EXPECT_STREQ(MetricT<MetricE::dummy>::Name, "dummy");
    static_assert(MetricT<MetricE::l2>::LowerIsBetter);
    static_assert(!MetricT<MetricE::ip>::LowerIsBetter);
    static_assert(MetricT<MetricE::cosine>::LowerIsBetter);
    static_assert(static_cast<uint32_t>(MetricE::cosine) == 2 && sizeof(MetricE) == 4);
    EXPECT_EQ(ParseMetric("l2"), MetricE::l2);
    EXPECT_EQ(ParseMetric("inner_product"), MetricE::ip);
    EXPECT_EQ(ParseMetric("cosine"), MetricE::cosine);
    EXPECT_EQ(ParseMetric("ip"), MetricE::dummy);
    EXPECT_EQ(ParseMetric("L2"), MetricE::dummy);
    EXPECT_EQ(ParseMetric(""), MetricE::dummy);
    EXPECT_STREQ(MetricName(MetricE::ip), "inner_product");
    EXPECT_TRUE(LowerIsBetter(MetricE::l2));
    EXPECT_FALSE(LowerIsBetter(MetricE::ip));
    EXPECT_FALSE(LowerIsBetter(MetricE::dummy));
}

// The worked values hold for both kernel levels and for the dispatched entry.
template <typename Level>
void CheckWorkedValues(Level level) {
    SCOPED_TRACE(Level::Name);
    const std::vector<float> origin = {0, 0}, p34 = {3, 4};
    EXPECT_FLOAT_EQ(Kernel<L2Dispatcher>(level, origin, p34), 25.0f);
    EXPECT_FLOAT_EQ(Kernel<L2Dispatcher>(level, p34, p34), 0.0f);
    EXPECT_FLOAT_EQ(Kernel<IPDispatcher>(level, {1, 2}, {3, 4}), 11.0f);
    EXPECT_FLOAT_EQ(Kernel<CosineDispatcher>(level, {1, 0}, {0, 1}), 1.0f);
    EXPECT_FLOAT_EQ(Kernel<CosineDispatcher>(level, {1, 0}, {-1, 0}), 2.0f);
    EXPECT_NEAR(Kernel<CosineDispatcher>(level, {1, 2, 3}, {2, 4, 6}), 0.0f, 1e-6f);
    EXPECT_FLOAT_EQ(Kernel<CosineDispatcher>(level, {0, 0, 0}, {1, 2, 3}), 0.0f);
    EXPECT_FLOAT_EQ(Kernel<CosineDispatcher>(level, {1, 2, 3}, {0, 0, 0}), 0.0f);
    const std::vector<float> empty;
    EXPECT_EQ(Kernel<L2Dispatcher>(level, empty, empty), 0.0f);
    EXPECT_EQ(Kernel<IPDispatcher>(level, empty, empty), 0.0f);
    EXPECT_EQ(Kernel<CosineDispatcher>(level, empty, empty), 0.0f);
}

TEST(MetricKernelTest, WorkedValuesScalar) {
    CheckWorkedValues(ScalarT{});
}

TEST(MetricKernelTest, WorkedValuesAvx2) {
    if (!HasAvx2()) GTEST_SKIP() << "processor without AVX2";
    CheckWorkedValues(Avx2T{});
}

TEST(MetricKernelTest, WorkedValuesAvx512) {
    if (!HasAvx512()) GTEST_SKIP() << "processor or OS without AVX-512";
    CheckWorkedValues(Avx512T{});
}

TEST(MetricKernelTest, WorkedValuesThroughDispatch) {
    const std::vector<float> origin = {0, 0}, p34 = {3, 4};
    EXPECT_FLOAT_EQ(
        TagInvoke(EvalTag{}, kL2, std::span<const float>(origin), std::span<const float>(p34)),
        25.0f);
    const std::vector<float> a = {1, 2}, b = {3, 4};
    EXPECT_FLOAT_EQ(TagInvoke(EvalTag{}, kIP, std::span<const float>(a), std::span<const float>(b)),
                    11.0f);
    const std::vector<float> x = {1, 0}, y = {-1, 0};
    EXPECT_FLOAT_EQ(
        TagInvoke(EvalTag{}, kCosine, std::span<const float>(x), std::span<const float>(y)), 2.0f);
}

TEST(MetricKernelTest, SecondOperandMayBeLonger) {
    const std::vector<float> a = {1, 2};
    const std::vector<float> b = {1, 2, 100, 100};
    EXPECT_EQ(Kernel<L2Dispatcher>(ScalarT{}, a, b), 0.0f);
    // Rows long enough for the 16-lane steps and a masked tail: the
    // components of b past a's length must not be read into the sums.
    std::vector<float> longA(37, 1.5f), longB(64, 1.5f);
    for (size_t i = 37; i < 64; ++i) longB[i] = 1000.0f;
    ForEachVectorLevel([&](auto level) {
        SCOPED_TRACE(decltype(level)::Name);
        EXPECT_EQ(Kernel<L2Dispatcher>(level, a, b), 0.0f);
        EXPECT_EQ(Kernel<L2Dispatcher>(level, longA, longB), 0.0f);
        EXPECT_FLOAT_EQ(Kernel<IPDispatcher>(level, longA, longB), 37 * 2.25f);
        EXPECT_NEAR(Kernel<CosineDispatcher>(level, longA, longB), 0.0f, 1e-6f);
    });
}

// Cosine differs by level on near-zero vectors: scalar tests for an exactly zero
// squared norm, AVX2 for a product of norms below 1e-6.
TEST(MetricKernelTest, CosineTinyNormsDifferByLevel) {
    const std::vector<float> a = {1e-4f, 0.0f}, b = {0.0f, 1e-4f};
    EXPECT_FLOAT_EQ(Kernel<CosineDispatcher>(ScalarT{}, a, b), 1.0f);
    if (!HasAvx2()) GTEST_SKIP() << "processor without AVX2";
    EXPECT_EQ(Kernel<CosineDispatcher>(Avx2T{}, a, b), 0.0f);
    // Norm product 1e-4 is well above the threshold: a real angle.
    const std::vector<float> c = {1e-2f, 0.0f}, d = {0.0f, 1e-2f};
    EXPECT_NEAR(Kernel<CosineDispatcher>(Avx2T{}, c, d), 1.0f, 1e-6f);
    if (!HasAvx512()) return;
    // The AVX-512 level shares the AVX2 zero test, on short rows and on rows
    // long enough for its 16-lane steps.
    std::vector<float> longA(40, 0.0f), longB(40, 0.0f), longC(40, 0.0f), longD(40, 0.0f);
    longA[33] = 1e-4f;
    longB[34] = 1e-4f;
    longC[33] = 1e-2f;
    longD[34] = 1e-2f;
    EXPECT_EQ(Kernel<CosineDispatcher>(Avx512T{}, a, b), 0.0f);
    EXPECT_EQ(Kernel<CosineDispatcher>(Avx512T{}, longA, longB), 0.0f);
    EXPECT_NEAR(Kernel<CosineDispatcher>(Avx512T{}, c, d), 1.0f, 1e-6f);
    EXPECT_NEAR(Kernel<CosineDispatcher>(Avx512T{}, longC, longD), 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(Kernel<CosineDispatcher>(ScalarT{}, longA, longB), 1.0f);
}

class KernelAgreementTest : public ::testing::TestWithParam<size_t> {};

// Every vector level gives the scalar reference's values within float
// accumulation error, at every length of the table.
TEST_P(KernelAgreementTest, VectorLevelsMatchScalar) {
    if (!HasAvx2()) GTEST_SKIP() << "processor without AVX2";
    const size_t n = GetParam();
    const auto a = RandomVector(n, 11 + static_cast<uint32_t>(n));
    const auto b = RandomVector(n, 97 + static_cast<uint32_t>(n));
    double absDot = 0, l2 = 0;
    for (size_t i = 0; i < n; ++i) {
        absDot += std::fabs(double(a[i]) * b[i]);
        l2 += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    }
    const float l2s = Kernel<L2Dispatcher>(ScalarT{}, a, b);
    EXPECT_NEAR(l2s, l2, SumTolerance(l2));
    ForEachVectorLevel([&](auto level) {
        SCOPED_TRACE(decltype(level)::Name);
        EXPECT_NEAR(Kernel<L2Dispatcher>(level, a, b), l2s, SumTolerance(l2));
        EXPECT_NEAR(Kernel<IPDispatcher>(level, a, b), Kernel<IPDispatcher>(ScalarT{}, a, b),
                    SumTolerance(absDot));
        EXPECT_NEAR(Kernel<CosineDispatcher>(level, a, b),
                    Kernel<CosineDispatcher>(ScalarT{}, a, b), 2e-5f);
        // A vector against itself: cosine 0 on every level (nonzero vectors).
        if (n > 0) {
            EXPECT_NEAR(Kernel<CosineDispatcher>(level, a, a), 0.0f, 1e-5f);
            EXPECT_EQ(Kernel<L2Dispatcher>(level, a, a), 0.0f);
        }
    });
}

// Where the AVX-512 level runs the AVX2 kernels (L2 and inner product below
// 128 components, cosine below 256) the two levels agree exactly (k-means
// relies on the float summation order of rows below 8 components).
TEST(MetricKernelTest, Avx512EqualsAvx2OnShortRows) {
    if (!HasAvx512()) GTEST_SKIP() << "processor or OS without AVX-512";
    for (size_t n = 0; n < 256; ++n) {
        SCOPED_TRACE(n);
        const auto a = RandomVector(n, 5 + static_cast<uint32_t>(n));
        const auto b = RandomVector(n, 6 + static_cast<uint32_t>(n));
        if (n < 128) {
            EXPECT_EQ(Kernel<L2Dispatcher>(Avx512T{}, a, b), Kernel<L2Dispatcher>(Avx2T{}, a, b));
            EXPECT_EQ(Kernel<IPDispatcher>(Avx512T{}, a, b), Kernel<IPDispatcher>(Avx2T{}, a, b));
        }
        EXPECT_EQ(Kernel<CosineDispatcher>(Avx512T{}, a, b),
                  Kernel<CosineDispatcher>(Avx2T{}, a, b));
    }
}

TEST_P(KernelAgreementTest, BatchEqualsSingleKernelPerRow) {
    const size_t dim = GetParam();
    constexpr uint64_t kRows = 5;
    const auto query = RandomVector(dim, 3);
    const auto base = RandomVector(dim * kRows, 4);
    auto checkLevel = [&](auto level) {
        SCOPED_TRACE(decltype(level)::Name);
        std::vector<float> out(kRows, -1.0f);
        L2BatchDispatcher::TagInvoke(level, query.data(), base.data(),
                                     static_cast<dimension_t>(dim), kRows, out.data());
        std::vector<float> ip(kRows, -1.0f);
        IPBatchDispatcher::TagInvoke(level, query.data(), base.data(),
                                     static_cast<dimension_t>(dim), kRows, ip.data());
        std::vector<float> cos(kRows, -1.0f);
        CosineBatchDispatcher::TagInvoke(level, query.data(), base.data(),
                                         static_cast<dimension_t>(dim), kRows, cos.data());
        for (uint64_t r = 0; r < kRows; ++r) {
            std::span<const float> q(query), row(base.data() + r * dim, dim);
            EXPECT_EQ(out[r], L2Dispatcher::TagInvoke(level, q, row));
            EXPECT_EQ(ip[r], IPDispatcher::TagInvoke(level, q, row));
            EXPECT_EQ(cos[r], CosineDispatcher::TagInvoke(level, q, row));
        }
    };
    checkLevel(ScalarT{});
    ForEachVectorLevel(checkLevel);
}

INSTANTIATE_TEST_SUITE_P(Lengths, KernelAgreementTest, ::testing::ValuesIn(KernelLengths()));

TEST(MetricKernelTest, DispatchedBatchMatchesDispatchedSingle) {
    constexpr dimension_t kDim = 33;
    constexpr uint64_t kRows = 7;
    const auto query = RandomVector(kDim, 5);
    const auto base = RandomVector(kDim * kRows, 6);
    std::vector<float> out(kRows + 1, 42.0f);
    TagInvoke(BatchEvalTag{}, kL2, query.data(), base.data(), kDim, kRows, out.data());
    for (uint64_t r = 0; r < kRows; ++r) {
        EXPECT_EQ(out[r], TagInvoke(EvalTag{}, kL2, std::span<const float>(query),
                                    std::span<const float>(base.data() + r * kDim, kDim)));
    }
    EXPECT_EQ(out[kRows], 42.0f) << "batch wrote past n";
    // n = 0 writes nothing.
    TagInvoke(BatchEvalTag{}, kCosine, query.data(), base.data(), kDim, 0, out.data());
    EXPECT_EQ(out[0], TagInvoke(EvalTag{}, kL2, std::span<const float>(query),
                                std::span<const float>(base.data(), kDim)));
}

// On this processor (no override set) the process runs the highest level the
// processor and OS support: the tiny-norm cosine tells scalar from the vector
// levels, and the resolved level of each kernel family is that level.
TEST(MetricKernelTest, ProcessDispatchUsesHighestSupportedLevel) {
    if (std::getenv(isa::kOverrideCpuFeaturesEnv) != nullptr) GTEST_SKIP() << "override set";
    const std::vector<float> a = {1e-4f, 0.0f}, b = {0.0f, 1e-4f};
    const float value =
        TagInvoke(EvalTag{}, kCosine, std::span<const float>(a), std::span<const float>(b));
    if (HasAvx2()) {
        EXPECT_EQ(value, 0.0f) << "AVX2 processor dispatched to the scalar kernel";
    } else {
        EXPECT_FLOAT_EQ(value, 1.0f);
    }
    const isa::IsaE expected = HasAvx512() ? isa::IsaE::avx512
                               : HasAvx2() ? isa::IsaE::avx2
                                           : isa::IsaE::scalar;
    EXPECT_EQ(
        (isa::ResolvedIsa<CosineDispatcher, std::span<const float>&&, std::span<const float>&&>()),
        expected);
    EXPECT_EQ((isa::ResolvedIsa<L2BatchDispatcher, const float*, const uint8_t*, uint64_t,
                                dimension_t, uint64_t, float*>()),
              expected);
}

}  // namespace
}  // namespace orvane::dist
