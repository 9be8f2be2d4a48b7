#include "ArrayDataset.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace orvane::csrc {
namespace {

std::vector<float> Rows(uint64_t n, uint32_t dim) {
    std::vector<float> data(n * dim);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>(i);
    return data;
}

TEST(ArrayDatasetTest, NullIdsGiveRowPositionsInBatchesOf4096) {
    constexpr uint64_t kN = 10000;
    constexpr uint32_t kDim = 3;
    const std::vector<float> data = Rows(kN, kDim);
    ArrayDataset dataset(data.data(), nullptr, kN, kDim);
    EXPECT_EQ(dataset.Dim(), kDim);
    EXPECT_EQ(dataset.TotalSize(), kN);

    std::vector<float> vectors;
    std::vector<uint64_t> ids;
    std::vector<uint64_t> batches;
    uint64_t next = 0;
    for (;;) {
        auto got = dataset.GetNextBatch(vectors, ids);
        ASSERT_TRUE(got.IsOk());
        if (got.Value() == 0) break;
        batches.push_back(got.Value());
        ASSERT_EQ(ids.size(), got.Value());
        ASSERT_EQ(vectors.size(), got.Value() * kDim);
        for (uint64_t i = 0; i < got.Value(); ++i) {
            ASSERT_EQ(ids[i], next + i);
            ASSERT_EQ(vectors[i * kDim], data[(next + i) * kDim]);
            ASSERT_EQ(vectors[i * kDim + kDim - 1], data[(next + i) * kDim + kDim - 1]);
        }
        next += got.Value();
    }
    EXPECT_EQ(batches, (std::vector<uint64_t>{4096, 4096, 1808}));
    EXPECT_EQ(next, kN);
    // Exhausted stays exhausted.
    auto again = dataset.GetNextBatch(vectors, ids);
    ASSERT_TRUE(again.IsOk());
    EXPECT_EQ(again.Value(), 0u);
}

TEST(ArrayDatasetTest, CallerIdsAreCopiedInOrder) {
    const std::vector<float> data = Rows(5, 2);
    const std::vector<uint64_t> callerIds{50, 40, 30, 20, 10};
    ArrayDataset dataset(data.data(), callerIds.data(), 5, 2);
    std::vector<float> vectors;
    std::vector<uint64_t> ids;
    auto got = dataset.GetNextBatch(vectors, ids);
    ASSERT_TRUE(got.IsOk());
    EXPECT_EQ(got.Value(), 5u);
    EXPECT_EQ(ids, callerIds);
    EXPECT_EQ(vectors, data);
    EXPECT_EQ(dataset.GetNextBatch(vectors, ids).Value(), 0u);
}

TEST(ArrayDatasetTest, ExactMultipleOfTheBatchEndsCleanly) {
    constexpr uint64_t kN = 2 * ArrayDataset::kBatchRows;
    const std::vector<float> data = Rows(kN, 1);
    ArrayDataset dataset(data.data(), nullptr, kN, 1);
    std::vector<float> vectors;
    std::vector<uint64_t> ids;
    EXPECT_EQ(dataset.GetNextBatch(vectors, ids).Value(), 4096u);
    EXPECT_EQ(dataset.GetNextBatch(vectors, ids).Value(), 4096u);
    EXPECT_EQ(ids.front(), 4096u);
    EXPECT_EQ(ids.back(), 8191u);
    EXPECT_EQ(dataset.GetNextBatch(vectors, ids).Value(), 0u);
}

TEST(ArrayDatasetTest, EmptyDatasetAndMissingData) {
    ArrayDataset empty(nullptr, nullptr, 0, 4);
    std::vector<float> vectors{1.0f};
    std::vector<uint64_t> ids{7};
    auto got = empty.GetNextBatch(vectors, ids);
    ASSERT_TRUE(got.IsOk());
    EXPECT_EQ(got.Value(), 0u);

    // Rows announced without data are refused instead of read from null.
    ArrayDataset missing(nullptr, nullptr, 3, 4);
    auto refused = missing.GetNextBatch(vectors, ids);
    ASSERT_FALSE(refused.IsOk());
    EXPECT_EQ(refused.GetStatus().Code(), core::ErrorCode::InvalidArgument);
    EXPECT_EQ(refused.GetStatus().Message(), "data must not be null");
}

}  // namespace
}  // namespace orvane::csrc
