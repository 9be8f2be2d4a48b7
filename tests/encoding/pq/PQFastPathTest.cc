// The vectorised ways of preparing and scoring PQ queries must give exactly
// what the straightforward ones give: the component-major table fill equals
// the row-major one bit for bit, and scoring rows in interleaved blocks equals
// scoring them one at a time.
#include <gtest/gtest.h>

#include <memory_resource>
#include <random>
#include <vector>

#include "encoding/pq/PQEncodeSpace.h"
#include "testing/TestVectors.h"

namespace orvane::dist::encode_space {
namespace {

using testing::RandomVector;

struct Case {
    dimension_t d;
    uint32_t m;
    MetricE metric;
    bool opq;
};

class PQFastPathTest : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        const Case c = GetParam();
        header.numChunks = c.m;
        header.metricType = c.metric;
        header.useOpq = c.opq;
        offsets = AssignChunkOffsets(c.d, c.m);
        codebooks = RandomVector(uint64_t{kPQCentroidCount} * c.d, 3, -2.0f, 2.0f);
        if (c.opq) rotation = RandomVector(uint64_t{c.d} * c.d, 4);
    }

    PQGlobalHeader header{};
    std::vector<uint32_t> offsets;
    std::vector<float> codebooks;
    std::vector<float> rotation;
    std::pmr::memory_resource& resource = *std::pmr::get_default_resource();
};

TEST_P(PQFastPathTest, ComponentMajorTableEqualsRowMajorTable) {
    const Case c = GetParam();
    const auto byComponent = TransposePQCodebooks(codebooks, c.d, resource);
    ASSERT_EQ(byComponent.size(), codebooks.size());
    PreparedPQ reused(&resource);
    for (uint32_t seed = 10; seed < 13; ++seed) {
        const auto q = RandomVector(c.d, seed, -3.0f, 3.0f);
        const PreparedPQ expected =
            PreparePQQuery(c.metric, q, header, offsets, codebooks, rotation, resource);
        // The same object is prepared again and again: stale entries must not survive.
        PreparePQQueryInto(c.metric, q, header, offsets, byComponent, rotation, reused);
        ASSERT_EQ(reused.precomputedDistances.size(), expected.precomputedDistances.size());
        for (size_t i = 0; i < expected.precomputedDistances.size(); ++i) {
            ASSERT_EQ(reused.precomputedDistances[i], expected.precomputedDistances[i])
                << "entry " << i << " seed " << seed;
        }
    }
}

TEST_P(PQFastPathTest, BlockScoresEqualSingleRowScores) {
    const Case c = GetParam();
    const PreparedPQ prepared = PreparePQQuery(c.metric, RandomVector(c.d, 21), header, offsets,
                                               codebooks, rotation, resource);
    const size_t rowSize = PQRowSize(c.m, c.metric);
    std::mt19937 gen(5);
    for (const size_t n : {0, 1, 7, 8, 9, 16, 23}) {
        std::vector<std::vector<uint8_t>> stored(n, std::vector<uint8_t>(rowSize));
        std::vector<const uint8_t*> rows;
        for (auto& row : stored) {
            for (auto& byte : row) byte = static_cast<uint8_t>(gen());
            if (c.metric == MetricE::ip) {
                const float factor = 0.5f + static_cast<float>(gen() % 100) / 10.0f;
                std::memcpy(row.data() + PQIpFactorOffset(c.m), &factor, sizeof(factor));
            }
            rows.push_back(row.data());
        }
        std::vector<float> block(n, -1.0f);
        if (c.metric == MetricE::ip) {
            ScorePQRows<MetricE::ip>(prepared, c.m, rows.data(), n, block.data());
        } else {
            ScorePQRows<MetricE::l2>(prepared, c.m, rows.data(), n, block.data());
        }
        for (size_t i = 0; i < n; ++i) {
            const EncodedRow row{rows[i], rowSize, reinterpret_cast<const uint8_t*>(&header),
                                 sizeof(header)};
            const float single =
                c.metric == MetricE::ip
                    ? TagInvoke(EvalEncodedTag{}, MetricT<MetricE::ip>{}, PQT{}, prepared, row)
                    : TagInvoke(EvalEncodedTag{}, MetricT<MetricE::l2>{}, PQT{}, prepared, row);
            ASSERT_EQ(block[i], single) << "row " << i << " of " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, PQFastPathTest,
    ::testing::Values(Case{16, 8, MetricE::l2, false}, Case{17, 5, MetricE::l2, false},
                      Case{64, 32, MetricE::ip, false}, Case{12, 3, MetricE::l2, true},
                      Case{10, 10, MetricE::ip, true}, Case{130, 65, MetricE::l2, false}));

TEST(PQFastPathModelTest, ModelThatDoesNotFitGivesZeroTable) {
    PQGlobalHeader header{};
    header.numChunks = 4;
    const std::vector<uint32_t> offsets = AssignChunkOffsets(8, 4);
    const std::vector<float> byComponent(8 * kPQCentroidCount, 1.0f);
    PreparedPQ prepared;
    prepared.precomputedDistances.assign(4 * kPQCentroidCount, 7.0f);
    // A query longer than the model's components, and codebooks too short.
    PreparePQQueryInto(MetricE::l2, RandomVector(4, 1), header, offsets, byComponent, {}, prepared);
    ASSERT_EQ(prepared.precomputedDistances.size(), 4u * kPQCentroidCount);
    for (float v : prepared.precomputedDistances) ASSERT_EQ(v, 0.0f);
    prepared.precomputedDistances.assign(4 * kPQCentroidCount, 7.0f);
    PreparePQQueryInto(MetricE::l2, RandomVector(8, 1), header, offsets,
                       std::span<const float>(byComponent).first(10), {}, prepared);
    for (float v : prepared.precomputedDistances) ASSERT_EQ(v, 0.0f);
}

}  // namespace
}  // namespace orvane::dist::encode_space
