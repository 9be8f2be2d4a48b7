#include "api/searcher/FilterSearchFront.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "testing/LogCapture.h"

namespace orvane::api {
namespace {

using api::Query;
using api::SearchOptions;
using core::ErrorCode;
using telemetry::LogLevel;

constexpr api::dimension_t kDim = 4;
const float kVector[kDim] = {1.0f, 2.0f, 3.0f, 4.0f};

SearchOptions Parallel(int64_t p, bool threadSafe) {
    return SearchOptions{{"search.topk", int64_t{5}},
                         {"search.parallel_number", p},
                         {"search.thread_safe_filter", threadSafe}};
}

TEST(FilterSearchFrontTest, DefaultsToOneWorkerAndAnUnsafeFilter) {
    auto plan = PrepareFilteredSearch(Query(kVector, kDim), SearchOptions{}, kDim,
                                      kBruteforceParallelRangeLog);
    ASSERT_TRUE(plan.IsOk());
    EXPECT_FALSE(plan.Value().threadSafeFilter);
    EXPECT_EQ(plan.Value().parallelNumber, 1u);

    auto read = ReadParallelNumber(SearchOptions{}, kBruteforceParallelRangeLog);
    ASSERT_TRUE(read.IsOk());
    EXPECT_EQ(read.Value(), 1u);
}

TEST(FilterSearchFrontTest, AcceptsTheWholeRangeWithAThreadSafeFilter) {
    for (int64_t p : {1, 2, 999, 1000}) {
        auto plan = PrepareFilteredSearch(Query(kVector, kDim), Parallel(p, true), kDim,
                                          kDiskANNParallelRangeLog);
        ASSERT_TRUE(plan.IsOk()) << p;
        EXPECT_TRUE(plan.Value().threadSafeFilter);
        EXPECT_EQ(plan.Value().parallelNumber, static_cast<uint32_t>(p));
    }
    // One worker never needs a thread-safe filter.
    auto single = PrepareFilteredSearch(Query(kVector, kDim), Parallel(1, false), kDim,
                                        kDiskANNParallelRangeLog);
    ASSERT_TRUE(single.IsOk());
    EXPECT_EQ(single.Value().parallelNumber, 1u);
}

TEST(FilterSearchFrontTest, OutOfRangeUsesTheCallersLogTextAndLocation) {
    {
        testing::LogCapture capture;
        const int callLine = __LINE__ + 1;
        auto plan = PrepareFilteredSearch(Query(kVector, kDim), Parallel(1001, true), kDim,
                                          kBruteforceParallelRangeLog);
        ASSERT_FALSE(plan.IsOk());
        EXPECT_EQ(plan.GetStatus().Code(), ErrorCode::InvalidArgument);
        EXPECT_EQ(plan.GetStatus().Message(), "ParallelNumber is out of range[1001 vs 1000]");
        auto records = capture.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, LogLevel::Error);
        EXPECT_EQ(records[0].message, "ParallelNumber is out of range[1001 vs 1000]");
        // The record names the calling file, not the shared front.
        EXPECT_EQ(records[0].module, "FilterSearchFrontTest.cc");
        EXPECT_EQ(records[0].line, callLine);
    }
    {
        testing::LogCapture capture;
        auto plan = PrepareFilteredSearch(Query(kVector, kDim), Parallel(0, true), kDim,
                                          kDiskANNParallelRangeLog);
        ASSERT_FALSE(plan.IsOk());
        EXPECT_EQ(plan.GetStatus().Code(), ErrorCode::InvalidArgument);
        EXPECT_EQ(capture.Messages(LogLevel::Error),
                  std::vector<std::string>{"ParallelNumber is out of range[0] vs [1000]"});
    }
}

TEST(FilterSearchFrontTest, NegativeAndHugeValuesNeverWrapIntoRange) {
    testing::LogCapture capture;
    auto negative = ReadParallelNumber(SearchOptions{{"search.parallel_number", int64_t{-1}}},
                                       kBruteforceParallelRangeLog);
    ASSERT_FALSE(negative.IsOk());
    EXPECT_EQ(negative.GetStatus().Code(), ErrorCode::InvalidArgument);
    // 2^32 + 1 would be 1 once cut to 32 bits.
    auto wrapped =
        ReadParallelNumber(SearchOptions{{"search.parallel_number", int64_t{(1LL << 32) + 1}}},
                           kBruteforceParallelRangeLog);
    ASSERT_FALSE(wrapped.IsOk());
    EXPECT_EQ(wrapped.GetStatus().Code(), ErrorCode::InvalidArgument);
    auto messages = capture.Messages(LogLevel::Error);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "ParallelNumber is out of range[4294967295 vs 1000]");
    EXPECT_EQ(messages[1], "ParallelNumber is out of range[4294967295 vs 1000]");
    EXPECT_EQ(wrapped.GetStatus().Message(), messages[1]);
}

TEST(FilterSearchFrontTest, SeveralWorkersNeedAThreadSafeFilter) {
    testing::LogCapture capture;
    for (SearchOptions options :
         {SearchOptions{{"search.parallel_number", int64_t{4}}}, Parallel(4, false)}) {
        auto plan =
            PrepareFilteredSearch(Query(kVector, kDim), options, kDim, kBruteforceParallelRangeLog);
        ASSERT_FALSE(plan.IsOk());
        EXPECT_EQ(plan.GetStatus().Code(), ErrorCode::InvalidArgument);
        EXPECT_EQ(plan.GetStatus().Message(),
                  "Multi threaded search when filter is not thread safe");
    }
    const std::string expected =
        "Multi threaded search when filter is not thread safe: thread count [4] vs thread safe "
        "filter [0]";
    EXPECT_EQ(capture.Messages(LogLevel::Error), (std::vector<std::string>{expected, expected}));
}

TEST(FilterSearchFrontTest, ValuesOfTheWrongTypeAreRefused) {
    auto parallel =
        PrepareFilteredSearch(Query(kVector, kDim), SearchOptions{{"search.parallel_number", 2.0}},
                              kDim, kBruteforceParallelRangeLog);
    ASSERT_FALSE(parallel.IsOk());
    EXPECT_EQ(parallel.GetStatus().Message(), "Type mismatch for search.parallel_number");
    auto safe = PrepareFilteredSearch(Query(kVector, kDim),
                                      SearchOptions{{"search.thread_safe_filter", "true"}}, kDim,
                                      kBruteforceParallelRangeLog);
    ASSERT_FALSE(safe.IsOk());
    EXPECT_EQ(safe.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(safe.GetStatus().Message(), "Type mismatch for search.thread_safe_filter");
}

TEST(FilterSearchFrontTest, QueryIsCheckedAfterTheOptions) {
    auto missing = PrepareFilteredSearch(Query(nullptr, kDim), SearchOptions{}, kDim,
                                         kBruteforceParallelRangeLog);
    ASSERT_FALSE(missing.IsOk());
    EXPECT_EQ(missing.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(missing.GetStatus().Message(), "query data is null");

    for (uint64_t size : {uint64_t{0}, uint64_t{kDim - 1}, uint64_t{kDim + 1}}) {
        auto wrong = PrepareFilteredSearch(Query(kVector, size), SearchOptions{}, kDim,
                                           kBruteforceParallelRangeLog);
        ASSERT_FALSE(wrong.IsOk());
        EXPECT_EQ(wrong.GetStatus().Code(), ErrorCode::InvalidArgument);
        EXPECT_EQ(wrong.GetStatus().Message(), "query data size does not match index dimension");
    }

    // A bad parallel number is reported before a bad query.
    testing::LogCapture capture;
    auto both = PrepareFilteredSearch(Query(nullptr, kDim), Parallel(1001, true), kDim,
                                      kBruteforceParallelRangeLog);
    ASSERT_FALSE(both.IsOk());
    EXPECT_EQ(both.GetStatus().Message(), "ParallelNumber is out of range[1001 vs 1000]");
}

}  // namespace
}  // namespace orvane::api
