#include "../../vecfile/Recall.h"

#include <gtest/gtest.h>

namespace orvane::tools {
namespace {

TEST(ExactNeighborsTest, OrdersByDistanceAndBreaksTiesByPosition) {
    // One-dimensional points; query 0 at 2.0 is equally far from rows 1 and 3.
    const std::vector<float> base = {0.0f, 1.0f, 10.0f, 3.0f, 2.1f};
    const std::vector<float> queries = {2.0f, 9.0f};
    auto nn = ExactNeighbors(base.data(), 5, queries.data(), 2, 1, 3);
    EXPECT_EQ(nn, (std::vector<uint64_t>{4, 1, 3, 2, 3, 4}));
}

TEST(ExactNeighborsTest, UsesEveryComponentAndReturnsAtMostNRows) {
    const std::vector<float> base = {0, 0, 5, 5, 1, 1};
    const std::vector<float> query = {4, 4};
    auto nn = ExactNeighbors(base.data(), 3, query.data(), 1, 2, 10);
    EXPECT_EQ(nn, (std::vector<uint64_t>{1, 2, 0}));
}

TEST(RecallTest, CountsSharedIdsOverTheFirstK) {
    const std::vector<uint64_t> truth = {1, 2, 3, 4,   // query 0
                                         5, 6, 7, 8};  // query 1
    // Query 0 finds 2 of its first 3; query 1 finds all 3 (order does not matter),
    // hits beyond k are not counted.
    std::vector<std::vector<uint64_t>> found = {{2, 9, 1, 3}, {7, 6, 5}};
    EXPECT_DOUBLE_EQ(MeanRecallAtK(found, truth, 4, 3), (2.0 / 3 + 1.0) / 2);
    // k larger than the truth rows: only the truth ids present count.
    EXPECT_DOUBLE_EQ(MeanRecallAtK({{1, 2}, {}}, truth, 4, 10), (2.0 / 4 + 0.0) / 2);
}

TEST(RecallTest, AnIdFoundTwiceCountsOnce) {
    const std::vector<uint64_t> truth = {1, 2};
    EXPECT_DOUBLE_EQ(MeanRecallAtK({{1, 1}}, truth, 2, 2), 0.5);
    EXPECT_DOUBLE_EQ(MeanRecallAtK({}, truth, 2, 2), 0.0);
}

TEST(LatencyTest, NearestRankPercentiles) {
    std::vector<double> samples;
    for (int i = 100; i >= 1; --i) samples.push_back(i);  // unsorted on purpose
    LatencySummary s = SummarizeLatency(samples);
    EXPECT_DOUBLE_EQ(s.p50Micros, 50);
    EXPECT_DOUBLE_EQ(s.p99Micros, 99);
    EXPECT_DOUBLE_EQ(s.maxMicros, 100);
    EXPECT_DOUBLE_EQ(s.meanMicros, 50.5);

    LatencySummary one = SummarizeLatency({7.0});
    EXPECT_DOUBLE_EQ(one.p50Micros, 7.0);
    EXPECT_DOUBLE_EQ(one.p99Micros, 7.0);
    // With 3 samples p99 is the largest, p50 the middle one.
    LatencySummary three = SummarizeLatency({3.0, 1.0, 2.0});
    EXPECT_DOUBLE_EQ(three.p50Micros, 2.0);
    EXPECT_DOUBLE_EQ(three.p99Micros, 3.0);
    EXPECT_DOUBLE_EQ(SummarizeLatency({}).p99Micros, 0.0);
}

}  // namespace
}  // namespace orvane::tools
