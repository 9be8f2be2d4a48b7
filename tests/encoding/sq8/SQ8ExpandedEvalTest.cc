#include <gtest/gtest.h>

#include <memory_resource>
#include <numeric>

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

class SQ8CodeDotTest : public ::testing::TestWithParam<size_t> {};

// Every level computes sum q[i] * code[i] within float accumulation error,
// for one row and for a list of ids (which equals the one-row kernel of its
// level row by row).
TEST_P(SQ8CodeDotTest, LevelsAgreeForRowsAndIdLists) {
    const auto dim = static_cast<dimension_t>(GetParam());
    constexpr uint64_t kRows = 5;
    const auto q = RandomVector(dim, 1);
    const auto codes = RandomCodes(dim * kRows, 2);
    // Jumps, repeats and a run of consecutive ids.
    const std::vector<uint64_t> ids = {4, 0, 4, 2, 3, 4, 1};
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
                SQ8CodeDotDispatcher::TagInvoke(level, q.data(), codes.data() + row * dim, dim);
            EXPECT_NEAR(value, exact, dist::testing::SumTolerance(magnitude)) << "row " << row;
        }
        std::vector<float> batch(ids.size(), -1.0f);
        SQ8CodeDotDispatcher::TagInvoke(level, q.data(), codes.data(), dim, ids.data(), ids.size(),
                                        batch.data());
        for (size_t i = 0; i < ids.size(); ++i) {
            EXPECT_EQ(batch[i], SQ8CodeDotDispatcher::TagInvoke(level, q.data(),
                                                                codes.data() + ids[i] * dim, dim));
        }
    };
    check(isa::ScalarT{});
    dist::testing::ForEachVectorLevel(check);
}

// Codes of 255 against a large query: the widening must treat bytes as
// unsigned on every level (a signed widening gives -1 per code).
TEST(SQ8CodeDotEdgeTest, HighCodesAreUnsigned) {
    for (const dimension_t dim : {dimension_t{7}, dimension_t{16}, dimension_t{65}}) {
        const std::vector<float> q(dim, 2.0f);
        const std::vector<uint8_t> codes(dim, 255);
        auto check = [&](auto level) {
            SCOPED_TRACE(decltype(level)::Name);
            EXPECT_FLOAT_EQ(SQ8CodeDotDispatcher::TagInvoke(level, q.data(), codes.data(), dim),
                            510.0f * dim);
        };
        check(isa::ScalarT{});
        dist::testing::ForEachVectorLevel(check);
    }
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
        const float dot =
            SQ8CodeDotDispatcher::TagInvoke(isa::ScalarT{}, view.qCentered, codes.data(), dim);
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
    const float dot =
        SQ8CodeDotDispatcher::TagInvoke(isa::ScalarT{}, view.qCentered, codes.data(), kDim);
    const SQ8QuerySums sums = ComputeSQ8QuerySums(view);
    const float value =
        FinishSQ8Expanded<MetricE::l2>(view, sums, h, ComputeSQ8CodeStats(codes.data(), kDim), dot);
    EXPECT_GE(value, 0.0f);
    // Only rounding is left, relative to the squared norm of the centred query.
    EXPECT_LT(value, 1e-6 * sums.normSq);
}

}  // namespace
}  // namespace orvane::dist::encode_space
