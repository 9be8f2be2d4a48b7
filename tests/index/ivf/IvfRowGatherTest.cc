// GatherRows: after an evaluator's rows are gathered into a new order, scoring
// a contiguous range gives what BatchEval gave for the ids that order names,
// for every encoding; bad orders are refused without change.
#include "index/ivf/IvfRowGather.h"

#include <gtest/gtest.h>

#include <cmath>

#include "encoding/QuantizerEvaluatorLoader.h"
#include "encoding/QuantizerStreamExercise.h"
#include "encoding/QuantizerTestUtil.h"

namespace orvane::index::ivf {
namespace {

using core::ErrorCode;
using quantizer::QuantizerEvaluatorBase;
namespace testutil = quantizer::testutil;

constexpr uint32_t kDim = 16;
constexpr uint64_t kCount = 30;

std::pmr::memory_resource& Scratch() {
    return *std::pmr::new_delete_resource();
}

std::unique_ptr<QuantizerEvaluatorBase> Loaded(const std::string& encoding,
                                               const std::vector<float>& data, bool open) {
    const std::string stream =
        testutil::SerializeToString(*testutil::TrainedTrainer(encoding, "l2", kDim, data));
    auto reader = testutil::SectionOver(stream);
    auto evaluator = quantizer::LoadQuantizerEvaluator(reader, Scratch());
    EXPECT_NE(evaluator, nullptr);
    if (evaluator != nullptr) {
        EXPECT_TRUE((open ? evaluator->Open(reader) : evaluator->Load(reader)).IsOk());
    }
    return evaluator;
}

TEST(IvfRowGather, RangesScoreTheGatheredRows) {
    const std::vector<float> data = testutil::RandomVectors(kCount, kDim, 3);
    for (const char* encoding : {"rawf32", "sq8", "pq"}) {
        SCOPED_TRACE(encoding);
        auto evaluator = Loaded(encoding, data, true);
        ASSERT_NE(evaluator, nullptr);
        const std::vector<float> query = testutil::RandomVectors(1, kDim, 4);
        auto prepared = evaluator->PrepareQuery(query);
        ASSERT_TRUE(prepared.IsOk());
        // Reversed, with repeats: a gather, not only a permutation.
        std::vector<uint64_t> order(kCount);
        for (uint64_t i = 0; i < kCount; ++i) order[i] = (kCount - 1 - i) / 2 * 2;
        std::vector<float> expected(kCount);
        ASSERT_EQ(evaluator->BatchEval(*prepared.Value(), order, expected), ErrorCode::Ok);
        ASSERT_TRUE(GatherRows(*evaluator, order, Scratch()).IsOk());
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

TEST(IvfRowGather, RefusedOrdersChangeNothing) {
    const std::vector<float> data = testutil::RandomVectors(kCount, kDim, 5);
    std::vector<uint64_t> beyond(kCount, 0);
    beyond[3] = kCount;
    struct Case {
        const char* name;
        bool open;
        std::vector<uint64_t> order;
        ErrorCode code;
    };
    const Case cases[] = {
        {"short", true, std::vector<uint64_t>(kCount - 1, 0), ErrorCode::InvalidArgument},
        {"row beyond the count", true, beyond, ErrorCode::InvalidArgument},
        {"loaded only", false, std::vector<uint64_t>(kCount, 0), ErrorCode::FailedPrecondition},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto evaluator = Loaded("rawf32", data, c.open);
        ASSERT_NE(evaluator, nullptr);
        EXPECT_EQ(GatherRows(*evaluator, c.order, Scratch()).Code(), c.code);
        if (!c.open) continue;
        // Nothing changed: every row still scores 0 against itself.
        for (uint64_t row = 0; row < kCount; ++row) {
            auto prepared =
                evaluator->PrepareQuery(std::span<const float>(data.data() + row * kDim, kDim));
            ASSERT_TRUE(prepared.IsOk());
            std::vector<float> one(1);
            ASSERT_EQ(evaluator->RangeEval(*prepared.Value(), row, one), ErrorCode::Ok);
            EXPECT_EQ(one[0], 0.0f) << "row " << row;
        }
    }
}

}  // namespace
}  // namespace orvane::index::ivf
