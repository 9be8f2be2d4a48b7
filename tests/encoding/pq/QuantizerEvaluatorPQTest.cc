// The pq evaluator's batch paths (rows scored in blocks, prepared queries
// reused) against its one-row path.
#include <gtest/gtest.h>

#include "encoding/CustomizedSerializeQuantizerInterface.h"
#include "encoding/QuantizerEvaluatorLoader.h"
#include "encoding/QuantizerStreamExercise.h"
#include "encoding/QuantizerTestUtil.h"
#include "encoding/pq/QuantizerEvaluatorPQ.h"

namespace orvane::quantizer {
namespace {

using core::ErrorCode;
using testutil::RandomVectors;
using testutil::SectionOver;
using testutil::SerializeToString;
using testutil::TrainedTrainer;

std::unique_ptr<QuantizerEvaluatorBase> Open(const std::string& stream) {
    auto reader = SectionOver(stream);
    auto evaluator = LoadQuantizerEvaluator(reader, *std::pmr::new_delete_resource());
    EXPECT_NE(evaluator, nullptr);
    if (evaluator != nullptr) {
        EXPECT_TRUE(evaluator->Open(reader).IsOk());
    }
    return evaluator;
}

// One row's score through EvalWithCode, from the code bytes the trainer wrote.
float Single(QuantizerTrainer& trainer, const QuantizerEvaluatorBase& evaluator,
             const PreparedBase& prepared, uint64_t id) {
    auto* custom = dynamic_cast<CustomizedSerializeQuantizerInterface*>(&trainer);
    std::string code;
    EXPECT_TRUE(custom->SerializeEncode(id, testutil::CaptureWriter(code)).IsOk());
    float out = -1.0f;
    EXPECT_EQ(evaluator.EvalWithCode(
                  prepared, id,
                  std::span(reinterpret_cast<const uint8_t*>(code.data()), code.size()), out),
              ErrorCode::Ok);
    return out;
}

TEST(QuantizerEvaluatorPQ, BlocksAndReusedQueriesScoreAsSingleRows) {
    constexpr uint32_t kDim = 24;
    constexpr uint64_t kCount = 300;  // several blocks of rows, and a partial one
    const auto data = RandomVectors(kCount, kDim, 8);
    const auto queries = RandomVectors(3, kDim, 9);
    for (const char* metric : {"l2", "inner_product"}) {
        SCOPED_TRACE(metric);
        auto trainer = TrainedTrainer("pq", metric, kDim, data);
        auto evaluator = Open(SerializeToString(*trainer));
        ASSERT_NE(evaluator, nullptr);
        // Scattered ids, as a graph search asks for them.
        std::vector<uint64_t> ids(kCount);
        for (uint64_t i = 0; i < kCount; ++i) ids[i] = (i * 7919) % kCount;

        std::unique_ptr<PreparedBase> reused;
        const float* table = nullptr;
        for (uint64_t q = 0; q < 3; ++q) {
            const std::span<const float> query(queries.data() + q * kDim, kDim);
            ASSERT_TRUE(evaluator->PrepareQueryInto(query, reused).IsOk());
            ASSERT_NE(reused, nullptr);
            // Preparing into the same object keeps its table storage.
            const auto& pq =
                static_cast<const PreparedImpl<dist::encode_space::PreparedPQ>&>(*reused).Get();
            if (table != nullptr) {
                EXPECT_EQ(pq.precomputedDistances.data(), table);
            }
            table = pq.precomputedDistances.data();

            std::vector<float> batch(kCount);
            ASSERT_EQ(evaluator->BatchEval(*reused, ids, batch), ErrorCode::Ok);
            std::vector<float> range(kCount);
            ASSERT_EQ(evaluator->RangeEval(*reused, 0, range), ErrorCode::Ok);
            auto fresh = evaluator->PrepareQuery(query);
            ASSERT_TRUE(fresh.IsOk());
            for (uint64_t i = 0; i < kCount; ++i) {
                const float single = Single(*trainer, *evaluator, *fresh.Value(), ids[i]);
                ASSERT_EQ(batch[i], single) << "position " << i;
                ASSERT_EQ(range[ids[i]], single) << "row " << ids[i];
            }
        }

        // A bad id ends the batch; the rows before it keep their scores.
        std::vector<uint64_t> bad(ids.begin(), ids.begin() + 100);
        bad[70] = kCount;
        std::vector<float> out(bad.size(), -7.0f);
        EXPECT_EQ(evaluator->BatchEval(*reused, bad, out), ErrorCode::InvalidArgument);
        for (size_t i = 0; i < 70; ++i) {
            ASSERT_EQ(out[i], Single(*trainer, *evaluator, *reused, bad[i])) << i;
        }
    }
}

TEST(QuantizerEvaluatorPQ, PrepareIntoReplacesAForeignQueryAndKeepsItOnFailure) {
    constexpr uint32_t kDim = 16;
    const auto data = RandomVectors(64, kDim, 3);
    auto pqTrainer = TrainedTrainer("pq", "l2", kDim, data);
    auto sq8Trainer = TrainedTrainer("sq8", "l2", kDim, data);
    auto pq = Open(SerializeToString(*pqTrainer));
    auto sq8 = Open(SerializeToString(*sq8Trainer));
    ASSERT_NE(pq, nullptr);
    ASSERT_NE(sq8, nullptr);
    const std::vector<float> query(data.begin(), data.begin() + kDim);

    std::unique_ptr<PreparedBase> prepared;
    ASSERT_TRUE(sq8->PrepareQueryInto(query, prepared).IsOk());
    ASSERT_TRUE(pq->PrepareQueryInto(query, prepared).IsOk());
    std::vector<uint64_t> ids{0, 1, 2};
    std::vector<float> out(3);
    ASSERT_EQ(pq->BatchEval(*prepared, ids, out), ErrorCode::Ok);
    EXPECT_EQ(out[1], Single(*pqTrainer, *pq, *prepared, 1));

    const PreparedBase* before = prepared.get();
    const std::vector<float> shortQuery(kDim - 1, 0.0f);
    EXPECT_EQ(pq->PrepareQueryInto(shortQuery, prepared).Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(prepared.get(), before);
    ASSERT_EQ(pq->BatchEval(*prepared, ids, out), ErrorCode::Ok);
    EXPECT_EQ(out[1], Single(*pqTrainer, *pq, *prepared, 1));
}

}  // namespace
}  // namespace orvane::quantizer
