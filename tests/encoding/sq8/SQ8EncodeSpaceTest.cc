#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <random>
#include <vector>

#include "encoding/sq8/SQ8EncodeSpace.h"
#include "testing/TestVectors.h"

namespace orvane::dist::encode_space {
namespace {

using testing::RandomVector;

constexpr MetricT<MetricE::l2> kL2{};
constexpr MetricT<MetricE::cosine> kCosine{};

struct Encoded {
    std::vector<uint8_t> codes;
    std::vector<uint8_t> aux = std::vector<uint8_t>(sizeof(SQ8VectorHeader));

    SQ8VectorHeader Header() const { return detail::LoadSQ8Header(aux.data()); }
    EncodedRow Row() const {
        return EncodedRow{codes.data(), codes.size(), aux.data(), aux.size()};
    }
};

Encoded Encode(const SQ8Model& model, const std::vector<float>& x) {
    Encoded e;
    e.codes.assign(x.size(), 0);
    EXPECT_EQ(TagInvoke(EncodeTag{}, model, x, EncodedRowBuilder{e.codes, e.aux}),
              core::ErrorCode::Ok);
    return e;
}

float CentroidNormSq(const SQ8Model& model) {
    float s = 0;
    for (float c : model.centroid) s = std::fma(c, c, s);
    return s;
}

template <MetricE M>
PreparedSQ8 Prepare(const SQ8Model& model, const std::vector<float>& q) {
    return TagInvoke(PrepareTag{}, MetricT<M>{}, SQ8T{}, std::span<const float>(q),
                     std::span<const float>(model.centroid), CentroidNormSq(model),
                     *std::pmr::get_default_resource());
}

template <MetricE M>
float Eval(const SQ8Model& model, const std::vector<float>& q, const Encoded& row) {
    return TagInvoke(EvalEncodedTag{}, MetricT<M>{}, SQ8T{}, Prepare<M>(model, q), row.Row());
}

TEST(SQ8QuantizeCodeTest, RoundsHalfAwayFromZeroAndClamps) {
    EXPECT_EQ(QuantizeSQ8Code(0.0f), 0);
    EXPECT_EQ(QuantizeSQ8Code(2.5f), 3);
    EXPECT_EQ(QuantizeSQ8Code(2.49f), 2);
    EXPECT_EQ(QuantizeSQ8Code(254.5f), 255);
    EXPECT_EQ(QuantizeSQ8Code(300.0f), 255);
    EXPECT_EQ(QuantizeSQ8Code(-0.49f), 0);
    EXPECT_EQ(QuantizeSQ8Code(-3.0f), 0);
    // Non-finite or beyond int32: the most negative int32, hence code 0.
    EXPECT_EQ(QuantizeSQ8Code(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(QuantizeSQ8Code(std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(QuantizeSQ8Code(-std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(QuantizeSQ8Code(3e9f), 0);
    EXPECT_EQ(QuantizeSQ8Code(2e9f), 255);
}

TEST(SQ8EncodeTest, VectorEqualToCentroid) {
    const SQ8Model model{{1.5f, -2.0f, 3.0f, 0.25f}};
    const Encoded e = Encode(model, model.centroid);
    EXPECT_EQ(e.codes, std::vector<uint8_t>(4, 0));
    const SQ8VectorHeader h = e.Header();
    EXPECT_EQ(h.a, 0.0f);
    EXPECT_EQ(h.b, 0.0f);
    EXPECT_EQ(h.centeredNorm, 0.0f);
    EXPECT_FLOAT_EQ(h.sum, 2.75f);
    EXPECT_FLOAT_EQ(h.dotXC, CentroidNormSq(model));
    EXPECT_FLOAT_EQ(h.norm, std::sqrt(CentroidNormSq(model)));
    // Reconstruction c + a*code + b is the centroid: l2 to the centroid is 0.
    EXPECT_EQ(Eval<MetricE::l2>(model, model.centroid, e), 0.0f);
}

TEST(SQ8EncodeTest, ConstantResidual) {
    const SQ8Model model{{0.0f, 1.0f, 2.0f, 3.0f, 4.0f}};
    std::vector<float> x = model.centroid;
    for (float& v : x) v += 0.75f;
    const Encoded e = Encode(model, x);
    EXPECT_EQ(e.codes, std::vector<uint8_t>(5, 0));
    const SQ8VectorHeader h = e.Header();
    EXPECT_EQ(h.a, 0.0f);
    EXPECT_FLOAT_EQ(h.b, 0.75f);
    EXPECT_FLOAT_EQ(h.centeredNorm, 5 * 0.75f * 0.75f);
    // The query x itself reconstructs exactly.
    EXPECT_NEAR(Eval<MetricE::l2>(model, x, e), 0.0f, 1e-10f);
}

TEST(SQ8EncodeTest, RangeOf255GivesUnitScale) {
    // Residuals 0..255: the initial scale (max-min)/255 is exactly 1.
    const size_t d = 256;
    SQ8Model model{std::vector<float>(d, 10.0f)};
    std::vector<float> x(d);
    for (size_t i = 0; i < d; ++i) x[i] = 10.0f + static_cast<float>(i);
    const Encoded e = Encode(model, x);
    for (size_t i = 0; i < d; ++i) ASSERT_EQ(e.codes[i], i);
    EXPECT_NEAR(e.Header().a, 1.0f, 1e-5f);
    EXPECT_NEAR(e.Header().b, 0.0f, 1e-3f);

    const SQ8Model two{{0.0f, 0.0f}};
    const Encoded e2 = Encode(two, {-100.0f, 155.0f});
    EXPECT_EQ(e2.codes, (std::vector<uint8_t>{0, 255}));
    EXPECT_NEAR(e2.Header().a, 1.0f, 1e-5f);
    EXPECT_NEAR(e2.Header().b, -100.0f, 1e-3f);
}

TEST(SQ8EncodeTest, HeaderFieldsAndReconstructionOfRandomVectors) {
    for (uint32_t seed = 0; seed < 20; ++seed) {
        const size_t d = 8 + seed * 7;
        const SQ8Model model{RandomVector(d, 1000 + seed, -1.0f, 1.0f)};
        const auto x = RandomVector(d, 2000 + seed, -3.0f, 3.0f);
        const Encoded e = Encode(model, x);
        const SQ8VectorHeader h = e.Header();
        double sum = 0, cn = 0, dot = 0, nsq = 0, err = 0, minR = 1e30, maxR = -1e30;
        for (size_t i = 0; i < d; ++i) {
            const double r = double(x[i]) - model.centroid[i];
            sum += x[i];
            cn += r * r;
            dot += double(x[i]) * model.centroid[i];
            nsq += double(x[i]) * x[i];
            minR = std::min(minR, r);
            maxR = std::max(maxR, r);
            const double rec = double(h.a) * e.codes[i] + h.b;
            err = std::max(err, std::fabs(rec - r));
        }
        EXPECT_NEAR(h.sum, sum, 1e-4);
        EXPECT_NEAR(h.centeredNorm, cn, 1e-4 * cn);
        EXPECT_NEAR(h.dotXC, dot, 1e-4);
        EXPECT_NEAR(h.norm, std::sqrt(nsq), 1e-4);
        // Each component lands within about one code step of its residual.
        EXPECT_LE(err, (maxR - minR) / 255.0 * 1.01) << "seed " << seed;
        EXPECT_GT(h.a, 0.0f);
    }
}

TEST(SQ8EncodeTest, FailuresWriteNothing) {
    const SQ8Model model{{1.0f, 2.0f, 3.0f}};
    const std::vector<float> x = {1.0f, 2.0f};
    std::vector<uint8_t> codes(3, 0xAB), aux(24, 0xCD);
    EXPECT_EQ(TagInvoke(EncodeTag{}, model, x, EncodedRowBuilder{codes, aux}),
              core::ErrorCode::FailedPrecondition);
    EXPECT_EQ(codes, std::vector<uint8_t>(3, 0xAB));
    EXPECT_EQ(aux, std::vector<uint8_t>(24, 0xCD));

    const std::vector<float> y = {1.0f, 2.0f, 4.0f};
    std::vector<uint8_t> shortAux(23, 0xCD);
    EXPECT_EQ(TagInvoke(EncodeTag{}, model, y, EncodedRowBuilder{codes, shortAux}),
              core::ErrorCode::InvalidArgument);
    std::vector<uint8_t> shortCodes(2, 0xAB);
    EXPECT_EQ(TagInvoke(EncodeTag{}, model, y, EncodedRowBuilder{shortCodes, aux}),
              core::ErrorCode::InvalidArgument);
    EXPECT_EQ(codes, std::vector<uint8_t>(3, 0xAB));
    EXPECT_EQ(aux, std::vector<uint8_t>(24, 0xCD));
    EXPECT_EQ(
        TagInvoke(EncodeTag{}, SQ8Model{}, std::span<const float>(), EncodedRowBuilder{codes, aux}),
        core::ErrorCode::InvalidArgument);
}

TEST(SQ8PrepareTest, FieldsPerMetric) {
    const SQ8Model model{{1.0f, 2.0f}};
    const std::vector<float> q = {3.0f, 4.0f};
    std::pmr::monotonic_buffer_resource arena;
    const auto l2 = TagInvoke(PrepareTag{}, kL2, SQ8T{}, std::span<const float>(q),
                              std::span<const float>(model.centroid), 5.0f, arena);
    EXPECT_EQ(l2._qCentered.get_allocator().resource(), &arena);
    EXPECT_EQ(std::vector<float>(l2._qCentered.begin(), l2._qCentered.end()),
              (std::vector<float>{2.0f, 2.0f}));
    EXPECT_EQ(l2._qNorm, 0.0f);
    EXPECT_EQ(l2._qDotCentroid, 0.0f);
    EXPECT_EQ(l2._centroidNormSq, 5.0f);
    const auto ip = Prepare<MetricE::ip>(model, q);
    EXPECT_EQ(ip._qDotCentroid, 11.0f);
    EXPECT_EQ(ip._qNorm, 0.0f);
    const auto cos = Prepare<MetricE::cosine>(model, q);
    EXPECT_EQ(cos._qDotCentroid, 11.0f);
    EXPECT_EQ(cos._qNorm, 5.0f);

    const auto empty = TagInvoke(PrepareTag{}, kCosine, SQ8T{}, std::span<const float>(q),
                                 std::span<const float>(), 5.0f, *std::pmr::get_default_resource());
    EXPECT_TRUE(empty._qCentered.empty());
    EXPECT_EQ(empty._qNorm, 0.0f);
    EXPECT_EQ(empty._qDotCentroid, 0.0f);
    EXPECT_EQ(empty._centroidNormSq, 0.0f);
    // A centroid of another length is treated like an empty one (no overread).
    const std::vector<float> shortCentroid = {1.0f};
    const auto mismatched =
        TagInvoke(PrepareTag{}, kL2, SQ8T{}, std::span<const float>(q),
                  std::span<const float>(shortCentroid), 1.0f, *std::pmr::get_default_resource());
    EXPECT_TRUE(mismatched._qCentered.empty());
}

TEST(SQ8EvalTest, EstimatesTrackExactMetrics) {
    const size_t d = 64;
    const SQ8Model model{RandomVector(d, 50, -0.5f, 0.5f)};
    for (uint32_t s = 0; s < 10; ++s) {
        const auto x = RandomVector(d, 60 + s);
        const auto q = RandomVector(d, 80 + s);
        const Encoded e = Encode(model, x);
        double l2 = 0, ip = 0, nq = 0, nx = 0;
        for (size_t i = 0; i < d; ++i) {
            l2 += (double(q[i]) - x[i]) * (double(q[i]) - x[i]);
            ip += double(q[i]) * x[i];
            nq += double(q[i]) * q[i];
            nx += double(x[i]) * x[i];
        }
        const double cosine = 1.0 - ip / std::sqrt(nq * nx);
        EXPECT_NEAR(Eval<MetricE::l2>(model, q, e), l2, 0.01 * l2);
        EXPECT_NEAR(Eval<MetricE::ip>(model, q, e), ip, 0.05);
        EXPECT_NEAR(Eval<MetricE::cosine>(model, q, e), cosine, 0.01);
        // A vector against its own encoding: small, not necessarily zero.
        const float self = Eval<MetricE::l2>(model, x, e);
        EXPECT_GE(self, 0.0f);
        EXPECT_LT(self, 1e-3f * e.Header().centeredNorm);
    }
}

TEST(SQ8EvalTest, CosineWithZeroVectorsIsZero) {
    const SQ8Model model{{0.5f, -0.5f, 1.0f}};
    const std::vector<float> zero(3, 0.0f), x = {1.0f, 2.0f, 3.0f};
    const Encoded ex = Encode(model, x);
    const Encoded ez = Encode(model, zero);
    EXPECT_EQ(ez.Header().norm, 0.0f);
    EXPECT_EQ(Eval<MetricE::cosine>(model, zero, ex), 0.0f);
    EXPECT_EQ(Eval<MetricE::cosine>(model, x, ez), 0.0f);
    // Orthogonal vectors through the encoding: close to 1.
    const Encoded ey = Encode(model, {3.0f, 0.0f, -1.0f});
    EXPECT_NEAR(Eval<MetricE::cosine>(model, x, ey), 1.0f, 0.02f);
}

// Rows stored back to back: codes in one array, headers in another.
struct SQ8Store {
    std::vector<uint8_t> codes;
    std::vector<uint8_t> aux;
    size_t dim = 0;

    EncodedBatch Batch() const {
        return EncodedBatch{codes.data(), dim, aux.data(), sizeof(SQ8VectorHeader),
                            codes.size() / dim};
    }
};

SQ8Store EncodeAll(const SQ8Model& model, const std::vector<float>& rows, size_t dim) {
    SQ8Store s;
    s.dim = dim;
    const size_t n = rows.size() / dim;
    s.codes.resize(n * dim);
    s.aux.resize(n * sizeof(SQ8VectorHeader));
    for (size_t i = 0; i < n; ++i) {
        EncodedRowBuilder out{std::span<uint8_t>(s.codes.data() + i * dim, dim),
                              std::span<uint8_t>(s.aux.data() + i * 24, 24)};
        EXPECT_EQ(
            TagInvoke(EncodeTag{}, model, std::span<const float>(rows.data() + i * dim, dim), out),
            core::ErrorCode::Ok);
    }
    return s;
}

// Clustered data: l2 through SQ8 ranks the true nearest neighbour first on
// most queries.
TEST(SQ8AccuracyTest, L2RanksTrueNearestNeighbourFirst) {
    constexpr size_t kDim = 32, kClusters = 16, kPerCluster = 64, kQueries = 200;
    constexpr size_t kRows = kClusters * kPerCluster;
    std::mt19937 gen(20240607);
    std::uniform_real_distribution<float> centre(-10.0f, 10.0f);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> centres(kClusters * kDim);
    for (float& c : centres) c = centre(gen);
    auto sample = [&](std::vector<float>& out, size_t rows) {
        out.resize(rows * kDim);
        for (size_t r = 0; r < rows; ++r) {
            const size_t c = gen() % kClusters;
            for (size_t i = 0; i < kDim; ++i)
                out[r * kDim + i] = centres[c * kDim + i] + noise(gen);
        }
    };
    std::vector<float> data, queries;
    sample(data, kRows);
    sample(queries, kQueries);

    SQ8Model model{std::vector<float>(kDim, 0.0f)};
    for (size_t r = 0; r < kRows; ++r) {
        for (size_t i = 0; i < kDim; ++i) model.centroid[i] += data[r * kDim + i] / kRows;
    }
    const SQ8Store store = EncodeAll(model, data, kDim);

    size_t hits = 0;
    std::vector<float> approx(kRows);
    for (size_t qi = 0; qi < kQueries; ++qi) {
        const std::vector<float> q(queries.begin() + qi * kDim, queries.begin() + (qi + 1) * kDim);
        size_t trueBest = 0;
        double trueDist = std::numeric_limits<double>::max();
        for (size_t r = 0; r < kRows; ++r) {
            double d = 0;
            for (size_t i = 0; i < kDim; ++i) {
                const double diff = double(q[i]) - data[r * kDim + i];
                d += diff * diff;
            }
            if (d < trueDist) trueDist = d, trueBest = r;
        }
        const PreparedSQ8 prepared = Prepare<MetricE::l2>(model, q);
        const EncodedBatch batch = store.Batch();
        for (size_t r = 0; r < kRows; ++r) {
            approx[r] = TagInvoke(EvalEncodedTag{}, kL2, SQ8T{}, prepared, batch.Row(r));
        }
        const size_t best = std::min_element(approx.begin(), approx.end()) - approx.begin();
        hits += best == trueBest ? 1 : 0;
    }
    EXPECT_GE(hits, kQueries * 9 / 10) << "top-1 agreement " << hits << "/" << kQueries;
}

}  // namespace
}  // namespace orvane::dist::encode_space
