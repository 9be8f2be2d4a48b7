#include <gtest/gtest.h>

#include <limits>
#include <memory_resource>
#include <numeric>
#include <type_traits>

#include "encoding/sq8/SQ8EncodeSpace.h"
#include "encoding/sq8/SQ8ExpandedEval.h"
#include "testing/TestVectors.h"

namespace orvane::dist::encode_space {
namespace {

using dist::testing::KernelLengths;
using dist::testing::RandomVector;

std::vector<uint8_t> RandomCodes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> codes(n);
    for (uint8_t& c : codes) c = static_cast<uint8_t>(gen() & 0xFF);
    return codes;
}

// A view of a bare centred query, with its digit planes or without them (the
// AVX-512 level then accumulates floats).
SQ8QueryView ViewOf(const std::vector<float>& q, const SQ8DigitPlanes* digits) {
    SQ8QueryView view;
    view.qCentered = q.data();
    view.dim = static_cast<dimension_t>(q.size());
    if (digits != nullptr) view.digits = digits->View();
    return view;
}

SQ8DigitPlanes DigitsOf(const std::vector<float>& q) {
    return SplitSQ8QueryDigits(q, *std::pmr::new_delete_resource());
}

class SQ8CodeDotTest : public ::testing::TestWithParam<size_t> {};

// Every level computes sum q[i] * code[i] within float accumulation error, with
// and without the digit planes, for one row, for a list of ids and for a run
// of rows (the last two equal the one-row kernel of their level row by row).
TEST_P(SQ8CodeDotTest, LevelsAgreeForRowsAndIdLists) {
    const auto dim = static_cast<dimension_t>(GetParam());
    constexpr uint64_t kRows = 5;
    const auto q = RandomVector(dim, 1);
    const auto codes = RandomCodes(dim * kRows, 2);
    const SQ8DigitPlanes digits = DigitsOf(q);
    // Jumps, repeats and a run of consecutive ids.
    const std::vector<uint64_t> ids = {4, 0, 4, 2, 3, 4, 1};
    for (const SQ8QueryView& view : {ViewOf(q, &digits), ViewOf(q, nullptr)}) {
        SCOPED_TRACE(view.digits.planes != nullptr ? "digits" : "floats");
        auto check = [&](auto level) {
            SCOPED_TRACE(decltype(level)::Name);
            for (uint64_t row = 0; row < kRows; ++row) {
                double exact = 0;
                double magnitude = 0;
                for (dimension_t i = 0; i < dim; ++i) {
                    exact += double{q[i]} * codes[row * dim + i];
                    magnitude += std::fabs(double{q[i]} * codes[row * dim + i]);
                }
                const float value =
                    SQ8CodeDotDispatcher::TagInvoke(level, view, codes.data() + row * dim);
                EXPECT_NEAR(value, exact, dist::testing::SumTolerance(magnitude)) << "row " << row;
            }
            std::vector<float> batch(ids.size(), -1.0f);
            SQ8CodeDotDispatcher::TagInvoke(level, view, codes.data(), ids.data(), ids.size(),
                                            batch.data());
            for (size_t i = 0; i < ids.size(); ++i) {
                EXPECT_EQ(batch[i], SQ8CodeDotDispatcher::TagInvoke(level, view,
                                                                    codes.data() + ids[i] * dim));
            }
            std::vector<float> range(kRows, -1.0f);
            SQ8CodeDotDispatcher::TagInvoke(level, view, codes.data(), kRows, range.data());
            for (uint64_t row = 0; row < kRows; ++row) {
                EXPECT_EQ(range[row],
                          SQ8CodeDotDispatcher::TagInvoke(level, view, codes.data() + row * dim));
            }
        };
        check(isa::ScalarT{});
        dist::testing::ForEachVectorLevel(check);
    }
}

// Codes of 255 against a constant query: the widening must treat bytes as
// unsigned on every level (a signed widening gives -1 per code), and the
// integer kernel's lanes must not overflow at the largest digits, -128 and
// 127, over rows much longer than one of its blocks.
TEST(SQ8CodeDotEdgeTest, HighCodesAndLargestDigits) {
    for (const float value : {2.0f, -2.0f, -128.0f / 8355711.0f}) {
        for (const dimension_t dim : {dimension_t{7}, dimension_t{16}, dimension_t{65},
                                      dimension_t{2049}, dimension_t{70000}}) {
            SCOPED_TRACE(::testing::Message() << "value " << value << " dim " << dim);
            std::vector<float> q(dim, value);
            if (std::fabs(value) < 0.01f) q[0] = 1.0f;  // digits of -128 in the other components
            const std::vector<uint8_t> codes(dim, 255);
            double exact = 0;
            double magnitude = 0;
            for (const float r : q) {
                exact += 255.0 * r;
                magnitude += 255.0 * std::fabs(r);
            }
            const SQ8DigitPlanes digits = DigitsOf(q);
            const SQ8QueryView view = ViewOf(q, &digits);
            // Looser than SumTolerance; the scalar level adds its terms one after
            // another into one float, whose rounding grows with the row.
            auto check = [&](auto level) {
                SCOPED_TRACE(decltype(level)::Name);
                const bool sequential = std::is_same_v<decltype(level), isa::ScalarT>;
                EXPECT_NEAR(SQ8CodeDotDispatcher::TagInvoke(level, view, codes.data()), exact,
                            (1e-5 + (sequential ? 1.2e-7 * dim : 0.0)) * magnitude);
            };
            check(isa::ScalarT{});
            dist::testing::ForEachVectorLevel(check);
        }
    }
}

// The planes hold each component to within half a unit, the unit is the
// largest magnitude over 127 * 65793, and they are zero past the dimension.
// Without a finite component there is no digit form; a zero query has zero
// digits and unit.
TEST(SQ8QueryDigitsTest, PlanesHoldTheQuery) {
    struct Case {
        const char* name;
        std::vector<float> q;
    };
    std::vector<float> spiky(100, 1e-3f);
    spiky[37] = -1000.0f;
    spiky[38] = 3e-7f;
    const Case cases[] = {
        {"uniform", RandomVector(130, 7)},
        {"spiky", spiky},
        {"one component", {-0.25f}},
        {"64 components", RandomVector(64, 8, -5.0f, 0.0f)},
        {"tiny", RandomVector(9, 9, -1e-30f, 1e-30f)},
        {"zero", std::vector<float>(70, 0.0f)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SQ8DigitPlanes digits = DigitsOf(c.q);
        ASSERT_NE(digits.View().planes, nullptr);
        ASSERT_EQ(digits.stride % 64, 0u);
        ASSERT_GE(digits.stride, c.q.size());
        ASSERT_EQ(digits.bytes.size(), 3 * digits.stride);
        double largest = 0;
        for (const float r : c.q) largest = std::max(largest, std::fabs(double{r}));
        EXPECT_DOUBLE_EQ(digits.unit, largest / 8355711.0);
        for (uint64_t i = 0; i < digits.stride; ++i) {
            const double held = (digits.bytes[i] + 256.0 * digits.bytes[digits.stride + i] +
                                 65536.0 * digits.bytes[2 * digits.stride + i]) *
                                digits.unit;
            const double wanted = i < c.q.size() ? c.q[i] : 0.0;
            EXPECT_NEAR(held, wanted, 0.5000001 * digits.unit) << "component " << i;
        }
    }
    for (const float bad :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        const SQ8DigitPlanes digits = DigitsOf({1.0f, bad, 2.0f});
        EXPECT_EQ(digits.View().planes, nullptr);
    }
}

// A query whose components span nine orders of magnitude: the integer kernel
// rounds them to the unit of the largest, so it is off by at most half a unit
// per code unit, about what float accumulation loses to the largest term.
TEST(SQ8CodeDotEdgeTest, SkewedQueryWithinTheUnit) {
    if (!dist::testing::HasAvx512()) GTEST_SKIP() << "no AVX-512";
    std::vector<float> q = RandomVector(784, 10, -1e-3f, 1e-3f);
    q[100] = 1e6f;
    const auto codes = RandomCodes(784, 11);
    const SQ8DigitPlanes digits = DigitsOf(q);
    double exact = 0;
    double codeSum = 0;
    for (size_t i = 0; i < q.size(); ++i) {
        exact += double{q[i]} * codes[i];
        codeSum += codes[i];
    }
    const float value =
        SQ8CodeDotDispatcher::TagInvoke(isa::Avx512T{}, ViewOf(q, &digits), codes.data());
    EXPECT_NEAR(value, exact, 0.5 * digits.unit * codeSum + 1e-7 * std::fabs(exact));
}

INSTANTIATE_TEST_SUITE_P(Lengths, SQ8CodeDotTest, ::testing::ValuesIn(KernelLengths()));

// The score of a row by its definition, in double: the reconstructed residual
// a * code + b against the centred query, finished per metric.
template <MetricE M>
double DirectScore(const SQ8QueryView& q, const SQ8VectorHeader& h,
                   const std::vector<uint8_t>& codes) {
    double l2 = 0, dot = 0;
    for (dimension_t i = 0; i < q.dim; ++i) {
        const double r = double(h.a) * codes[i] + h.b;
        l2 += (q.qCentered[i] - r) * (q.qCentered[i] - r);
        dot += r * q.qCentered[i];
    }
    if constexpr (M == MetricE::l2) return l2;
    const double cn = q.centroidNormSq;
    const double ip = (q.qDotCentroid - cn) + dot + (h.dotXC - cn) + cn;
    if constexpr (M == MetricE::ip) return ip;
    const double norms = double(h.norm) * q.qNorm;
    return norms <= 1e-6 ? 0.0 : 1.0 - ip / norms;
}

// The expanded form, and the one-row EvalEncodedTag built on it, give the
// values of the definition up to float rounding, for every metric, on vectors
// far from the origin (pixel-like values).
template <MetricE M>
void ExpectExpandedMatchesDirect(const SQ8Model& model, const std::vector<float>& rows,
                                 const std::vector<float>& q, dimension_t dim) {
    float cNormSq = 0;
    for (float c : model.centroid) cNormSq = std::fma(c, c, cNormSq);
    const PreparedSQ8 prepared = TagInvoke(
        PrepareTag{}, MetricT<M>{}, SQ8T{}, std::span<const float>(q),
        std::span<const float>(model.centroid), cNormSq, *std::pmr::new_delete_resource());
    const SQ8QueryView view = prepared.View();
    const SQ8QuerySums sums = ComputeSQ8QuerySums(view);
    for (uint64_t r = 0; r < rows.size() / dim; ++r) {
        std::vector<uint8_t> codes(dim);
        SQ8VectorHeader h;
        ASSERT_EQ(TagInvoke(EncodeTag{}, model, std::span<const float>(rows).subspan(r * dim, dim),
                            EncodedRowBuilder{
                                codes, std::span(reinterpret_cast<uint8_t*>(&h), sizeof(h))}),
                  core::ErrorCode::Ok);
        const double direct = DirectScore<M>(view, h, codes);
        const float dot = SQ8CodeDotDispatcher::TagInvoke(isa::ScalarT{}, view, codes.data());
        const float expanded =
            FinishSQ8Expanded<M>(view, sums, h, ComputeSQ8CodeStats(codes.data(), dim), dot);
        const float oneRow = TagInvoke(
            EvalEncodedTag{}, MetricT<M>{}, SQ8T{}, prepared,
            EncodedRow{codes.data(), dim, reinterpret_cast<const uint8_t*>(&h), sizeof(h)});
        // Relative to the scale of the terms: |q - c| * |x - c| bounds the residual products.
        const double scale = M == MetricE::cosine ? 1.0 : std::max(std::fabs(direct), 1.0);
        EXPECT_NEAR(expanded, direct, 1e-4 * scale) << "row " << r;
        EXPECT_NEAR(oneRow, direct, 1e-4 * scale) << "row " << r;
    }
}

TEST(SQ8ExpandedEvalTest, MatchesDirectEvaluation) {
    constexpr dimension_t kDim = 784;
    const auto rows = RandomVector(kDim * 20, 3, 0.0f, 255.0f);
    const auto q = RandomVector(kDim, 4, 0.0f, 255.0f);
    SQ8Model model;
    model.centroid.assign(kDim, 0.0f);
    for (size_t i = 0; i < rows.size(); ++i) model.centroid[i % kDim] += rows[i] / 20.0f;
    ExpectExpandedMatchesDirect<MetricE::l2>(model, rows, q, kDim);
    ExpectExpandedMatchesDirect<MetricE::ip>(model, rows, q, kDim);
    ExpectExpandedMatchesDirect<MetricE::cosine>(model, rows, q, kDim);
}

// A row equal to the query's reconstruction scores 0 under l2, never below.
TEST(SQ8ExpandedEvalTest, L2IsNeverNegative) {
    constexpr dimension_t kDim = 64;
    SQ8Model model;
    model.centroid = RandomVector(kDim, 5, 100.0f, 200.0f);
    const auto x = RandomVector(kDim, 6, 100.0f, 200.0f);
    std::vector<uint8_t> codes(kDim);
    SQ8VectorHeader h;
    ASSERT_EQ(
        TagInvoke(EncodeTag{}, model, std::span<const float>(x),
                  EncodedRowBuilder{codes, std::span(reinterpret_cast<uint8_t*>(&h), sizeof(h))}),
        core::ErrorCode::Ok);
    // The query is the row's own reconstruction.
    std::vector<float> q(kDim);
    for (dimension_t i = 0; i < kDim; ++i) q[i] = model.centroid[i] + h.a * codes[i] + h.b;
    const PreparedSQ8 prepared =
        TagInvoke(PrepareTag{}, MetricT<MetricE::l2>{}, SQ8T{}, std::span<const float>(q),
                  std::span<const float>(model.centroid), 0.0f, *std::pmr::new_delete_resource());
    const SQ8QueryView view = prepared.View();
    const float dot = SQ8CodeDotDispatcher::TagInvoke(isa::ScalarT{}, view, codes.data());
    const SQ8QuerySums sums = ComputeSQ8QuerySums(view);
    const float value =
        FinishSQ8Expanded<MetricE::l2>(view, sums, h, ComputeSQ8CodeStats(codes.data(), kDim), dot);
    EXPECT_GE(value, 0.0f);
    // Only rounding is left, relative to the squared norm of the centred query.
    EXPECT_LT(value, 1e-6 * sums.normSq);
}

}  // namespace
}  // namespace orvane::dist::encode_space
