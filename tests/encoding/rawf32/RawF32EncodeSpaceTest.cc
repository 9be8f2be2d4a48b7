#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "encoding/rawf32/RawF32EncodeSpace.h"
#include "testing/TestVectors.h"

namespace orvane::dist::encode_space {
namespace {

using testing::RandomVector;

template <MetricE M>
using Metric = MetricT<M>;

TEST(RawF32EncodeSpaceTest, EncodeCopiesFloatsAndChecksRoom) {
    const auto x = RandomVector(13, 1);
    std::vector<uint8_t> bytes(13 * 4, 0);
    EXPECT_EQ(TagInvoke(EncodeTag{}, RawF32Model{}, x, EncodedRowBuilder{bytes, {}}),
              core::ErrorCode::Ok);
    EXPECT_EQ(std::memcmp(bytes.data(), x.data(), bytes.size()), 0);

    std::vector<uint8_t> small(13 * 4 - 1, 0xAB);
    EXPECT_EQ(TagInvoke(EncodeTag{}, RawF32Model{}, x, EncodedRowBuilder{small, {}}),
              core::ErrorCode::InvalidArgument);
    EXPECT_EQ(small, std::vector<uint8_t>(13 * 4 - 1, 0xAB)) << "nothing written on failure";
}

TEST(RawF32EncodeSpaceTest, EvalIsTheMetricKernel) {
    const std::vector<float> q = {0, 0}, stored = {3, 4};
    const auto bytes = reinterpret_cast<const uint8_t*>(stored.data());
    // `bytes` of the row is not consulted: the row is read with the query's length.
    const EncodedRow row{bytes, 0, nullptr, 0};
    const auto l2 = TagInvoke(PrepareTag{}, Metric<MetricE::l2>{}, RawF32T{}, q);
    EXPECT_EQ(TagInvoke(EvalEncodedTag{}, Metric<MetricE::l2>{}, RawF32T{}, l2, row), 25.0f);

    const std::vector<float> q2 = {1, 2}, s2 = {3, 4};
    const EncodedRow row2{reinterpret_cast<const uint8_t*>(s2.data()), 8, nullptr, 0};
    const auto ip = TagInvoke(PrepareTag{}, Metric<MetricE::ip>{}, RawF32T{}, q2);
    EXPECT_EQ(TagInvoke(EvalEncodedTag{}, Metric<MetricE::ip>{}, RawF32T{}, ip, row2), 11.0f);
    const auto cos = TagInvoke(PrepareTag{}, Metric<MetricE::cosine>{}, RawF32T{}, q2);
    EXPECT_EQ(cos._q.data(), q2.data()) << "prepared form is a view, not a copy";
    const float expected = 1.0f - 11.0f / (std::sqrt(5.0f) * 5.0f);
    EXPECT_NEAR(TagInvoke(EvalEncodedTag{}, Metric<MetricE::cosine>{}, RawF32T{}, cos, row2),
                expected, 1e-6f);

    const EncodedRow self{reinterpret_cast<const uint8_t*>(q2.data()), 8, nullptr, 0};
    EXPECT_EQ(TagInvoke(EvalEncodedTag{}, Metric<MetricE::l2>{}, RawF32T{},
                        TagInvoke(PrepareTag{}, Metric<MetricE::l2>{}, RawF32T{}, q2), self),
              0.0f);
}

// The entry point for scanning stored raw vectors: prepare once, score a batch.
template <MetricE M>
void CheckBatchMatchesRows(uint64_t strideFloats) {
    constexpr dimension_t kDim = 37;
    constexpr uint64_t kCount = 9;
    const auto query = RandomVector(kDim, 8);
    const auto storage = RandomVector(strideFloats * kCount, 9);
    const auto prepared = TagInvoke(PrepareTag{}, Metric<M>{}, RawF32T{}, query);
    const EncodedBatch batch{reinterpret_cast<const uint8_t*>(storage.data()),
                             strideFloats * sizeof(float), nullptr, 0, kCount};
    std::vector<float> out(kCount + 1, -3.0f);
    TagInvoke(BatchEvalEncodedTag{}, Metric<M>{}, RawF32T{}, prepared, batch, out.data());
    for (uint64_t i = 0; i < kCount; ++i) {
        EXPECT_EQ(out[i],
                  TagInvoke(EvalEncodedTag{}, Metric<M>{}, RawF32T{}, prepared, batch.Row(i)))
            << i;
        EXPECT_EQ(out[i],
                  TagInvoke(EvalTag{}, Metric<M>{}, std::span<const float>(query),
                            std::span<const float>(storage.data() + i * strideFloats, kDim)));
    }
    EXPECT_EQ(out[kCount], -3.0f);
}

TEST(RawF32EncodeSpaceTest, BatchEvalContiguousRows) {
    CheckBatchMatchesRows<MetricE::l2>(37);
    CheckBatchMatchesRows<MetricE::ip>(37);
    CheckBatchMatchesRows<MetricE::cosine>(37);
}

TEST(RawF32EncodeSpaceTest, BatchEvalHonoursStride) {
    CheckBatchMatchesRows<MetricE::l2>(40);
    CheckBatchMatchesRows<MetricE::cosine>(45);
}

TEST(RawF32EncodeSpaceTest, RawF32BatchHelperFindsNearestRow) {
    constexpr dimension_t kDim = 16;
    constexpr uint64_t kCount = 50;
    auto base = RandomVector(kDim * kCount, 10);
    std::vector<float> query(base.begin() + 17 * kDim, base.begin() + 18 * kDim);
    query[0] += 1e-3f;
    const auto prepared = TagInvoke(PrepareTag{}, Metric<MetricE::l2>{}, RawF32T{}, query);
    std::vector<float> out(kCount);
    TagInvoke(BatchEvalEncodedTag{}, Metric<MetricE::l2>{}, RawF32T{}, prepared,
              RawF32Batch(base.data(), kDim, kCount), out.data());
    const auto best = std::min_element(out.begin(), out.end()) - out.begin();
    EXPECT_EQ(best, 17);
    EXPECT_NEAR(out[17], 1e-6f, 1e-8f);
}

}  // namespace
}  // namespace orvane::dist::encode_space
