#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <vector>

#include "encoding/pq/PQEncodeSpace.h"
#include "testing/TestVectors.h"

namespace orvane::dist::encode_space {
namespace {

using core::ErrorCode;
using testing::RandomVector;

// A model with random codebooks; with OPQ the rotation is a Householder
// reflection I - 2 v v^T / |v|^2 (orthogonal, not the identity).
PQModel RandomModel(dimension_t d, uint32_t m, MetricE metric, bool opq, uint32_t seed) {
    PQModel model;
    model.header.numChunks = m;
    model.header.metricType = metric;
    model.header.useOpq = opq;
    model.chunkOffsets = AssignChunkOffsets(d, m);
    model.codebooks = RandomVector(uint64_t{kPQCentroidCount} * d, seed);
    if (opq) {
        const auto v = RandomVector(d, seed + 1);
        double vv = 0;
        for (float x : v) vv += double{x} * x;
        model.rotation.resize(uint64_t{d} * d);
        for (dimension_t i = 0; i < d; ++i) {
            for (dimension_t j = 0; j < d; ++j) {
                model.rotation[i * d + j] =
                    static_cast<float>((i == j ? 1.0 : 0.0) - 2.0 * v[i] * v[j] / vv);
            }
        }
    }
    return model;
}

std::vector<double> Rotate(const PQModel& model, const float* x, dimension_t d) {
    std::vector<double> out(x, x + d);
    if (!model.header.useOpq) return out;
    for (dimension_t j = 0; j < d; ++j) {
        double s = 0;
        for (dimension_t i = 0; i < d; ++i) s += double{x[i]} * model.rotation[i * d + j];
        out[j] = s;
    }
    return out;
}

double ChunkDistance(const PQModel& model, const std::vector<double>& x, uint32_t k, uint32_t j,
                     dimension_t d) {
    double s = 0;
    for (uint32_t c = model.chunkOffsets[k]; c < model.chunkOffsets[k + 1]; ++c) {
        const double diff = x[c] - model.codebooks[uint64_t{j} * d + c];
        s += diff * diff;
    }
    return s;
}

struct Encoded {
    std::vector<uint8_t> codes;
    std::vector<float> factors;
    ErrorCode rc;
};

Encoded Encode(const PQModel& model, const std::vector<float>& src, uint64_t n) {
    const uint32_t m = model.header.numChunks;
    Encoded e{std::vector<uint8_t>(n * m, 0xAB), std::vector<float>(n, -1.0f), ErrorCode::Ok};
    std::span<uint8_t> aux(reinterpret_cast<uint8_t*>(e.factors.data()), n * sizeof(float));
    e.rc = TagInvoke(EncodeBatchTag{}, model, src, EncodedBatchBuilder{e.codes, aux, n, m, 4},
                     *std::pmr::get_default_resource());
    return e;
}

// Stored row for the evaluator: codes, and for ip the padding and IP factor.
std::vector<uint8_t> StoredRow(const Encoded& e, uint64_t i, uint32_t m, MetricE metric) {
    std::vector<uint8_t> row(PQRowSize(m, metric), 0);
    std::memcpy(row.data(), e.codes.data() + i * m, m);
    if (metric == MetricE::ip) {
        std::memcpy(row.data() + PQIpFactorOffset(m), &e.factors[i], sizeof(float));
    }
    return row;
}

template <MetricE M>
float Eval(const PQModel& model, const std::vector<float>& q, const std::vector<uint8_t>& row) {
    const PreparedPQ p = TagInvoke(
        PrepareTag{}, MetricT<M>{}, PQT{}, std::span<const float>(q), model.header,
        std::span<const uint32_t>(model.chunkOffsets), std::span<const float>(model.codebooks),
        std::span<const float>(model.rotation), *std::pmr::get_default_resource());
    const EncodedRow r{row.data(), row.size(), reinterpret_cast<const uint8_t*>(&model.header),
                       sizeof(PQGlobalHeader)};
    return TagInvoke(EvalEncodedTag{}, MetricT<M>{}, PQT{}, p, r);
}

TEST(PQChunkOffsetsTest, Table) {
    struct Case {
        dimension_t d;
        uint32_t m;
        std::vector<uint32_t> offsets;
    };
    const std::vector<Case> cases = {
        {10, 4, {0, 3, 6, 8, 10}},
        {8, 8, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {7, 1, {0, 7}},
        {9, 3, {0, 3, 6, 9}},
        {11, 3, {0, 4, 8, 11}},
        {5, 0, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AssignChunkOffsets(c.d, c.m), c.offsets) << c.d << "/" << c.m;
    }
    const auto wide = AssignChunkOffsets(784, 98);
    ASSERT_EQ(wide.size(), 99u);
    for (size_t k = 0; k + 1 < wide.size(); ++k) EXPECT_EQ(wide[k + 1] - wide[k], 8u);
}

TEST(PQChunkOffsetsTest, Validation) {
    struct Case {
        std::vector<uint32_t> offsets;
        bool valid;
    };
    const std::vector<Case> cases = {
        {{0, 4, 8}, true},  {{0, 4, 4, 8}, true}, {{0, 5, 4, 8}, false},
        {{1, 4, 8}, false}, {{0, 4, 7}, false},   {{0}, false},
    };
    for (const Case& c : cases) EXPECT_EQ(ValidChunkOffsets(c.offsets, 8), c.valid);
}

struct EncodeCase {
    dimension_t d;
    uint32_t m;
    MetricE metric;
    bool opq;
    uint64_t n;  // > 64 exercises several blocks and a short last block
};

class PQEncodeTableTest : public ::testing::TestWithParam<EncodeCase> {};

// Codes are the per-chunk nearest centroids, IP factors |x| / |x_hat|, and the
// table evaluation matches a direct computation on the reconstruction.
TEST_P(PQEncodeTableTest, MatchesNaiveComputation) {
    const EncodeCase c = GetParam();
    const PQModel model = RandomModel(c.d, c.m, c.metric, c.opq, 7);
    auto src = RandomVector(c.n * c.d, 11);
    if (c.metric == MetricE::ip) {
        for (dimension_t j = 0; j < c.d; ++j) src[j] = 0.0f;  // a zero row: factor 0, unscaled
    }
    const Encoded e = Encode(model, src, c.n);
    ASSERT_EQ(e.rc, ErrorCode::Ok);
    const auto query = RandomVector(c.d, 13);
    const auto rq = Rotate(model, query.data(), c.d);

    for (uint64_t i = 0; i < c.n; ++i) {
        const float* x = src.data() + i * c.d;
        double norm = 0;
        for (dimension_t j = 0; j < c.d; ++j) norm += double{x[j]} * x[j];
        norm = std::sqrt(norm);
        std::vector<float> unit(x, x + c.d);
        if (c.metric == MetricE::ip && norm >= 1e-9) {
            for (float& v : unit) v = static_cast<float>(v / norm);
        }
        const auto rx = Rotate(model, unit.data(), c.d);
        double reconNormSq = 0, tableSum = 0;
        for (uint32_t k = 0; k < c.m; ++k) {
            const uint8_t code = e.codes[i * c.m + k];
            double best = std::numeric_limits<double>::max();
            for (uint32_t j = 0; j < kPQCentroidCount; ++j) {
                best = std::min(best, ChunkDistance(model, rx, k, j, c.d));
            }
            // The matrix form rounds differently: accept an equally near centroid.
            EXPECT_LE(ChunkDistance(model, rx, k, code, c.d), best + 1e-4) << i << "/" << k;
            for (uint32_t col = model.chunkOffsets[k]; col < model.chunkOffsets[k + 1]; ++col) {
                const double cv = model.codebooks[uint64_t{code} * c.d + col];
                reconNormSq += cv * cv;
                tableSum +=
                    c.metric == MetricE::ip ? rq[col] * cv : (rq[col] - cv) * (rq[col] - cv);
            }
        }
        double expected = tableSum;
        if (c.metric == MetricE::ip) {
            const double factor = i == 0 ? 0.0 : norm / std::sqrt(reconNormSq);
            EXPECT_NEAR(e.factors[i], factor, 1e-4 * factor) << i;
            expected *= factor;
        }
        const auto row = StoredRow(e, i, c.m, c.metric);
        const float got = c.metric == MetricE::ip ? Eval<MetricE::ip>(model, query, row)
                                                  : Eval<MetricE::l2>(model, query, row);
        EXPECT_NEAR(got, expected, 1e-4 * (1.0 + std::abs(expected))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PQEncodeTableTest,
                         ::testing::Values(EncodeCase{10, 4, MetricE::l2, false, 150},
                                           EncodeCase{10, 4, MetricE::ip, false, 150},
                                           EncodeCase{8, 8, MetricE::l2, true, 70},
                                           EncodeCase{12, 5, MetricE::ip, true, 65},
                                           EncodeCase{7, 1, MetricE::l2, false, 3},
                                           EncodeCase{6, 3, MetricE::ip, false, 1}));

TEST(PQEncodeTest, CentroidCombinationEncodesExactlyAndScoresZero) {
    const dimension_t d = 10;
    const PQModel model = RandomModel(d, 4, MetricE::l2, false, 3);
    const std::vector<uint8_t> chosen = {5, 200, 0, 255};
    std::vector<float> x(d);
    for (uint32_t k = 0; k < 4; ++k) {
        for (uint32_t c = model.chunkOffsets[k]; c < model.chunkOffsets[k + 1]; ++c) {
            x[c] = model.codebooks[uint64_t{chosen[k]} * d + c];
        }
    }
    const Encoded e = Encode(model, x, 1);
    ASSERT_EQ(e.rc, ErrorCode::Ok);
    EXPECT_EQ(e.codes, chosen);
    EXPECT_FLOAT_EQ(Eval<MetricE::l2>(model, x, e.codes), 0.0f);
}

TEST(PQEncodeTest, EqualDistancesChooseTheLowerIndex) {
    std::vector<float> centroids = {1, 1, 5, 5, 1, 1, -1, -1};  // 0 and 2 coincide; 3 as near
    const std::vector<float> data = {1, 1, 0, 0};
    std::vector<uint8_t> out(2, 0xFF);
    ComputeClosestCentersL2(data.data(), 2, 2, centroids.data(), 4, 1, out.data());
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 0}));  // (0,0) ties 0, 2 and 3
}

TEST(PQEncodeTest, IdentityRotationEqualsNoRotation) {
    const dimension_t d = 12;
    PQModel plain = RandomModel(d, 4, MetricE::ip, false, 5);
    PQModel rotated = plain;
    rotated.header.useOpq = true;
    rotated.rotation.assign(uint64_t{d} * d, 0.0f);
    for (dimension_t i = 0; i < d; ++i) rotated.rotation[i * d + i] = 1.0f;
    const auto src = RandomVector(100 * d, 6);
    const Encoded a = Encode(plain, src, 100);
    const Encoded b = Encode(rotated, src, 100);
    EXPECT_EQ(a.codes, b.codes);
    EXPECT_EQ(a.factors, b.factors);
    const auto q = RandomVector(d, 9);
    const auto row = StoredRow(a, 17, 4, MetricE::ip);
    EXPECT_FLOAT_EQ(Eval<MetricE::ip>(plain, q, row), Eval<MetricE::ip>(rotated, q, row));
}

TEST(PQEncodeTest, RefusalsWriteNothing) {
    const dimension_t d = 8;
    const PQModel good = RandomModel(d, 4, MetricE::ip, false, 1);
    const auto src = RandomVector(3 * d, 2);
    struct Case {
        const char* name;
        PQModel model;
        std::vector<float> src;
        uint64_t n;
        ErrorCode expected;
    };
    std::vector<Case> cases;
    cases.push_back({"length not a multiple of n", good, RandomVector(3 * d + 1, 2), 3,
                     ErrorCode::FailedPrecondition});
    cases.push_back({"zero rows", good, {}, 0, ErrorCode::FailedPrecondition});
    PQModel narrow = good;
    narrow.codebooks.resize(uint64_t{kPQCentroidCount} * (d - 1));
    cases.push_back({"codebook width", narrow, src, 3, ErrorCode::FailedPrecondition});
    PQModel badOffsets = good;
    badOffsets.chunkOffsets = {0, 5, 4, 6, 8};
    cases.push_back({"chunk offsets", badOffsets, src, 3, ErrorCode::FailedPrecondition});
    PQModel noRotation = good;
    noRotation.header.useOpq = true;
    cases.push_back({"missing rotation", noRotation, src, 3, ErrorCode::FailedPrecondition});
    PQModel noThreads = good;
    noThreads.threadCount = 0;
    cases.push_back({"no workers", noThreads, src, 3, ErrorCode::InvalidArgument});
    for (const Case& c : cases) {
        const Encoded e = Encode(c.model, c.src, c.n);
        EXPECT_EQ(e.rc, c.expected) << c.name;
        for (uint8_t b : e.codes) EXPECT_EQ(b, 0xAB) << c.name;
        for (float f : e.factors) EXPECT_EQ(f, -1.0f) << c.name;
    }
}

TEST(PQEncodeTest, BuilderTooSmallIsRefused) {
    const dimension_t d = 8;
    const PQModel model = RandomModel(d, 4, MetricE::ip, false, 1);
    const auto src = RandomVector(3 * d, 2);
    std::vector<uint8_t> codes(3 * 4);
    std::vector<uint8_t> aux(3 * sizeof(float));
    auto& res = *std::pmr::get_default_resource();
    const std::span<uint8_t> shortCodes(codes.data(), codes.size() - 1);
    const std::span<uint8_t> shortAux(aux.data(), aux.size() - 1);
    EXPECT_EQ(
        TagInvoke(EncodeBatchTag{}, model, src, EncodedBatchBuilder{shortCodes, aux, 3, 4, 4}, res),
        ErrorCode::InvalidArgument);
    EXPECT_EQ(
        TagInvoke(EncodeBatchTag{}, model, src, EncodedBatchBuilder{codes, shortAux, 3, 4, 4}, res),
        ErrorCode::InvalidArgument);
    EXPECT_EQ(
        TagInvoke(EncodeBatchTag{}, model, src, EncodedBatchBuilder{codes, aux, 3, 3, 4}, res),
        ErrorCode::InvalidArgument);  // stride below m
}

// Several workers encode disjoint blocks; the result must not depend on their number.
TEST(PQEncodeConcurrentTest, ThreadCountDoesNotChangeCodes) {
    const dimension_t d = 16;
    PQModel model = RandomModel(d, 4, MetricE::ip, true, 21);
    const auto src = RandomVector(1000 * d, 22);
    const Encoded one = Encode(model, src, 1000);
    for (uint32_t threads : {2u, 3u, 8u}) {
        model.threadCount = threads;
        const Encoded many = Encode(model, src, 1000);
        ASSERT_EQ(many.rc, ErrorCode::Ok);
        EXPECT_EQ(many.codes, one.codes) << threads;
        EXPECT_EQ(many.factors, one.factors) << threads;
    }
}

}  // namespace
}  // namespace orvane::dist::encode_space
