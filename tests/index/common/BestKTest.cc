#include "index/common/BestK.h"

#include <gtest/gtest.h>

#include <vector>

#include "orvane/core/Result.h"
#include "index/common/MetricBridge.h"

namespace orvane::index {
namespace {

using dist::MetricE;

template <MetricE M>
std::vector<ScoredRow> Select(uint64_t k, const std::vector<float>& scores) {
    BestK<M> best(k);
    best.OfferBatch(scores.data(), 0, scores.size());
    auto rows = best.TakeBestFirst();
    return {rows.begin(), rows.end()};
}

struct Case {
    const char* name;
    MetricE metric;
    uint64_t k;
    std::vector<float> scores;
    std::vector<ScoredRow> bestFirst;
};

TEST(BestKTest, KeepsTheBestRowsPerMetricBestFirst) {
    const std::vector<float> scores = {0.5f, -1.f, 3.f, 0.5f, 2.f};
    const Case cases[] = {
        {"l2 keeps the lowest", MetricE::l2, 3, scores, {{1, -1.f}, {0, 0.5f}, {3, 0.5f}}},
        {"cosine keeps the lowest", MetricE::cosine, 2, scores, {{1, -1.f}, {0, 0.5f}}},
        {"ip keeps the highest", MetricE::ip, 2, scores, {{2, 3.f}, {4, 2.f}}},
        {"k above the count keeps all", MetricE::ip, 9, {1.f, 2.f}, {{1, 2.f}, {0, 1.f}}},
        {"k zero keeps nothing", MetricE::l2, 0, scores, {}},
        // Row 3 ties with row 0 at the boundary: the first offered stays.
        {"ties keep the first offered", MetricE::l2, 2, scores, {{1, -1.f}, {0, 0.5f}}},
    };
    for (const Case& c : cases) {
        auto got = WithMetric(c.metric, [&](auto tag) -> core::Result<std::vector<ScoredRow>> {
            return Select<decltype(tag)::Value>(c.k, c.scores);
        });
        ASSERT_TRUE(got.IsOk()) << c.name;
        EXPECT_EQ(got.Value(), c.bestFirst) << c.name;
    }
}

TEST(BestKTest, MergingPartialSelectionsEqualsOneSelectionOverAllRows) {
    std::vector<float> scores(200);
    for (size_t i = 0; i < scores.size(); ++i) scores[i] = static_cast<float>((i * 37) % 101);
    BestK<MetricE::ip> whole(10), left(10), right(10);
    whole.OfferBatch(scores.data(), 0, scores.size());
    left.OfferBatch(scores.data(), 0, 120);
    right.OfferBatch(scores.data() + 120, 120, 80);
    left.Merge(right);
    auto a = whole.TakeBestFirst();
    auto b = left.TakeBestFirst();
    EXPECT_EQ(std::vector<ScoredRow>(a.begin(), a.end()),
              std::vector<ScoredRow>(b.begin(), b.end()));
    EXPECT_EQ(a.front().second, 100.f);
}

TEST(BestKTest, WorstScoreIsTheBoundaryOfAFullSelection) {
    BestK<MetricE::l2> best(2);
    best.Offer(4, 1.f);
    best.Offer(5, 3.f);
    EXPECT_TRUE(best.Full());
    EXPECT_EQ(best.WorstScore(), 3.f);
    EXPECT_TRUE(BestK<MetricE::l2>::Better(2.f, best.WorstScore()));
    EXPECT_FALSE(BestK<MetricE::ip>::Better(2.f, 3.f));
}

}  // namespace
}  // namespace orvane::index
