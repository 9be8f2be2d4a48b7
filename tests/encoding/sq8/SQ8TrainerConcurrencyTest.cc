// The SQ8 trainer spreading a batch's rows over workers of the build
// executor: for every worker count and batch split, the serialized stream is
// the one a single thread writes, and a batch refused for its size leaves the
// next batch to start where the encoded rows end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../QuantizerTestUtil.h"
#include "encoding/QuantizerTrainer.h"

namespace orvane::quantizer {
namespace {

using testutil::MakeTrainer;
using testutil::RandomVectors;
using testutil::SerializeToString;

struct Split {
    uint32_t threads;
    uint64_t batch;  // rows per EncodeBatch
};

std::string EncodeAll(const std::vector<float>& data, uint32_t dim, const Split& split,
                      const std::string& metric) {
    auto trainer = MakeTrainer("sq8", metric, dim);
    const uint64_t n = data.size() / dim;
    EXPECT_EQ(trainer->Pretrain(data, n, dim), core::ErrorCode::Ok);
    EXPECT_TRUE(trainer->Reserve(n).IsOk());
    trainer->SetEncodeThreads(split.threads);
    for (uint64_t first = 0; first < n; first += split.batch) {
        const uint64_t count = std::min(split.batch, n - first);
        EXPECT_EQ(trainer->EncodeBatch(
                      std::span<const float>(data).subspan(first * dim, count * dim), count, dim),
                  core::ErrorCode::Ok);
    }
    EXPECT_EQ(trainer->Count(), n);
    return SerializeToString(*trainer);
}

TEST(SQ8TrainerConcurrencyTest, EveryWorkerCountWritesTheOneThreadStream) {
    constexpr uint32_t kDim = 37;
    const std::vector<float> data = RandomVectors(3000, kDim, 4);
    for (const std::string metric : {"l2", "inner_product"}) {
        const std::string reference = EncodeAll(data, kDim, {1, 3000}, metric);
        ASSERT_GT(reference.size(), 3000u * kDim);
        constexpr Split kSplits[] = {{2, 3000}, {4, 3000}, {2, 1}, {3, 255}, {2, 257}, {8, 700}};
        for (const Split& split : kSplits) {
            SCOPED_TRACE(metric + " threads " + std::to_string(split.threads) + " batch " +
                         std::to_string(split.batch));
            EXPECT_TRUE(EncodeAll(data, kDim, split, metric) == reference);
        }
    }
}

TEST(SQ8TrainerConcurrencyTest, RefusedBatchLeavesTheRowsAsTheyWere) {
    constexpr uint32_t kDim = 8;
    const std::vector<float> data = RandomVectors(600, kDim, 5);
    auto trainer = MakeTrainer("sq8", "l2", kDim);
    ASSERT_EQ(trainer->Pretrain(data, 600, kDim), core::ErrorCode::Ok);
    ASSERT_TRUE(trainer->Reserve(600).IsOk());
    trainer->SetEncodeThreads(2);
    ASSERT_EQ(trainer->EncodeBatch(std::span<const float>(data).first(300 * kDim), 300, kDim),
              core::ErrorCode::Ok);
    // More rows than the data holds, and more than the reservation left.
    EXPECT_EQ(trainer->EncodeBatch(std::span<const float>(data).subspan(300 * kDim), 301, kDim),
              core::ErrorCode::InvalidArgument);
    EXPECT_EQ(trainer->EncodeBatch(data, 600, kDim), core::ErrorCode::InvalidArgument);
    EXPECT_EQ(trainer->Count(), 300u);
    ASSERT_EQ(trainer->EncodeBatch(std::span<const float>(data).subspan(300 * kDim), 300, kDim),
              core::ErrorCode::Ok);
    EXPECT_TRUE(SerializeToString(*trainer) == EncodeAll(data, kDim, {1, 600}, "l2"));
}

}  // namespace
}  // namespace orvane::quantizer
