// GatherRows and RangeEval: after rows are gathered into a new order, scoring
// a contiguous range gives what BatchEval gave for the ids that order names,
// for every encoding; bad orders and ranges are refused without change.
#include <gtest/gtest.h>

#include "encoding/QuantizerEvaluatorLoader.h"
#include "encoding/QuantizerTestUtil.h"
#include "io/IoTestUtil.h"
#include "io/MemoryFileReader.h"
#include "io/OutputStream.h"

namespace orvane::quantizer {
namespace {

using core::ErrorCode;

constexpr uint32_t kDim = 16;
constexpr uint64_t kCount = 30;

std::unique_ptr<QuantizerEvaluatorBase> Opened(const std::string& encoding,
                                               const std::vector<float>& data) {
    auto trainer = testutil::TrainedTrainer(encoding, "l2", kDim, data);
    auto file = std::make_shared<std::string>();
    io::OutputStream out(std::make_unique<io::testutil::StringWriter>(file));
    EXPECT_TRUE(out.Init({}).IsOk());
    EXPECT_TRUE(
        trainer->Serialize([&out](const char* b, uint64_t n) { return out.Write(b, n); }).IsOk());
    EXPECT_TRUE(out.SealSection("q", 64).IsOk());
    EXPECT_TRUE(out.Close().IsOk());
    io::InputStream in(std::make_unique<io::MemoryFileReader>(*file));
    EXPECT_TRUE(in.Open({}).IsOk());
    auto section = in.GetSectionReader("q");
    auto evaluator = LoadQuantizerEvaluator(section.Value(), *std::pmr::new_delete_resource());
    EXPECT_TRUE(evaluator->Open(section.Value()).IsOk());
    return evaluator;
}

TEST(QuantizerGatherRows, RangesScoreTheGatheredRows) {
    const std::vector<float> data = testutil::RandomVectors(kCount, kDim, 3);
    for (const char* encoding : {"rawf32", "sq8", "pq"}) {
        SCOPED_TRACE(encoding);
        auto evaluator = Opened(encoding, data);
        const std::vector<float> query = testutil::RandomVectors(1, kDim, 4);
        auto prepared = evaluator->PrepareQuery(query);
        ASSERT_TRUE(prepared.IsOk());
        // Reversed, with repeats: a gather, not only a permutation.
        std::vector<uint64_t> order(kCount);
        for (uint64_t i = 0; i < kCount; ++i) order[i] = (kCount - 1 - i) / 2 * 2;
        std::vector<float> expected(kCount);
        ASSERT_EQ(evaluator->BatchEval(*prepared.Value(), order, expected), ErrorCode::Ok);
        ASSERT_TRUE(evaluator->GatherRows(order).IsOk());
        for (uint64_t first : {uint64_t{0}, uint64_t{7}, kCount - 1}) {
            std::vector<float> got(kCount - first);
            ASSERT_EQ(evaluator->RangeEval(*prepared.Value(), first, got), ErrorCode::Ok);
            for (uint64_t i = 0; i < got.size(); ++i) {
                EXPECT_NEAR(got[i], expected[first + i],
                            1e-3f * (1 + std::abs(expected[first + i])))
                    << "row " << first + i;
            }
        }
    }
}

TEST(QuantizerGatherRows, RefusedOrdersAndRanges) {
    const std::vector<float> data = testutil::RandomVectors(kCount, kDim, 5);
    auto evaluator = Opened("rawf32", data);
    auto prepared = evaluator->PrepareQuery(std::span<const float>(data.data(), kDim));
    ASSERT_TRUE(prepared.IsOk());
    std::vector<uint64_t> shortOrder(kCount - 1, 0);
    EXPECT_EQ(evaluator->GatherRows(shortOrder).Code(), ErrorCode::InvalidArgument);
    std::vector<uint64_t> beyond(kCount, 0);
    beyond[3] = kCount;
    EXPECT_EQ(evaluator->GatherRows(beyond).Code(), ErrorCode::InvalidArgument);
    // Nothing changed: row 0 still scores 0 against itself.
    std::vector<float> one(1);
    ASSERT_EQ(evaluator->RangeEval(*prepared.Value(), 0, one), ErrorCode::Ok);
    EXPECT_EQ(one[0], 0.0f);
    std::vector<float> two(2);
    EXPECT_EQ(evaluator->RangeEval(*prepared.Value(), kCount - 1, two), ErrorCode::InvalidArgument);
    EXPECT_EQ(evaluator->RangeEval(*prepared.Value(), ~uint64_t{0}, two),
              ErrorCode::InvalidArgument);
    std::vector<float> none;
    EXPECT_EQ(evaluator->RangeEval(*prepared.Value(), kCount, none), ErrorCode::Ok);
}

}  // namespace
}  // namespace orvane::quantizer
