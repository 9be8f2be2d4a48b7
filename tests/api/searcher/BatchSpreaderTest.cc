// SpreadSlices: every row runs exactly once, the caller never waits on tasks
// still queued, the lowest failing slice gives the status, and slices shrink
// towards the end of a call so the threads finish together.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "api/searcher/BatchSpreader.h"
#include "util/ExecutorManager.h"

namespace orvane::api {
namespace {

using core::ErrorCode;
using core::Status;

// Keeps every task queued until Release runs them: the calling thread alone
// must finish the call meanwhile.
class HeldExecutor : public coro::Executor {
  public:
    bool schedule(Func fn) override {
        std::lock_guard<std::mutex> lock(_mutex);
        _held.push_back(std::move(fn));
        return true;
    }
    size_t Release() {
        std::vector<Func> held;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            held.swap(_held);
        }
        for (auto& fn : held) fn();
        return held.size();
    }

  private:
    std::mutex _mutex;
    std::vector<Func> _held;
};

TEST(BatchSpreaderTest, CallerFinishesAloneWhileTasksStayQueued) {
    struct Case {
        uint64_t n, slice;
        uint32_t workers;
        size_t tasks;  // queued helpers
    };
    const Case cases[] = {{10, 3, 4, 3}, {10, 3, 1, 0}, {5, 10, 8, 0}, {7, 1, 3, 2}, {0, 1, 4, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.n << " rows, slice " << c.slice << ", workers " << c.workers);
        HeldExecutor executor;
        std::vector<int> runs(c.n, 0);
        Status status = SpreadSlices(c.n, SliceRows{c.slice, c.slice}, c.workers, &executor,
                                     [&](uint64_t begin, uint64_t end) {
                                         for (uint64_t i = begin; i < end; ++i) ++runs[i];
                                         return Status::Ok();
                                     });
        EXPECT_TRUE(status.IsOk());
        EXPECT_EQ(runs, std::vector<int>(c.n, 1));
        // Tasks that start after the call find nothing left and touch nothing.
        EXPECT_EQ(executor.Release(), c.tasks);
        EXPECT_EQ(runs, std::vector<int>(c.n, 1));
    }
}

TEST(BatchSpreaderStressTest, LowestFailingSliceWinsOnARealPool) {
    auto pool = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Search);
    ASSERT_TRUE(pool.IsOk());
    for (int round = 0; round < 50; ++round) {
        std::atomic<uint64_t> rows{0};
        Status status = SpreadSlices(400, SliceRows{7, 7}, 4, pool.Value().get(),
                                     [&](uint64_t begin, uint64_t end) -> Status {
                                         rows += end - begin;
                                         if (begin == 203 || begin == 350) {
                                             return Status(ErrorCode::Internal,
                                                           "slice " + std::to_string(begin));
                                         }
                                         return Status::Ok();
                                     });
        EXPECT_EQ(status.Message(), "slice 203");
        EXPECT_LE(rows.load(), 400u);
    }
}

TEST(BatchSpreaderTest, NextSliceTakesItsShareWithinTheBounds) {
    struct Case {
        uint64_t remaining;
        SliceRows rows;
        uint32_t workers;
        uint64_t want;
    };
    const Case cases[] = {
        {1000, {1, 32}, 2, 32},  // a large remainder: the upper bound
        {100, {1, 32}, 2, 25},   // a quarter for two workers
        {100, {1, 32}, 4, 12},   // an eighth for four
        {3, {1, 32}, 2, 1},      // the end: single rows
        {3, {8, 32}, 2, 3},      // never more than remains
        {10, {4, 4}, 2, 4},      // equal bounds: one size
        {10, {0, 0}, 0, 1},      // bounds and workers below 1 taken as 1
        {50, {20, 5}, 1, 20},    // an upper bound below the lower one is raised to it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.remaining << " left, [" << c.rows.minRows << ", "
                                          << c.rows.maxRows << "], " << c.workers << " workers");
        EXPECT_EQ(NextSliceRows(c.remaining, c.rows, c.workers), c.want);
    }
}

TEST(BatchSpreaderTest, SlicesShrinkTowardsTheEndAndCoverEveryRowOnce) {
    HeldExecutor executor;
    std::vector<std::pair<uint64_t, uint64_t>> slices;
    ASSERT_TRUE(
        SpreadSlices(1000, SliceRows{1, 32}, 2, &executor, [&](uint64_t begin, uint64_t end) {
            slices.emplace_back(begin, end);
            return Status::Ok();
        }).IsOk());
    ASSERT_FALSE(slices.empty());
    uint64_t at = 0;
    for (size_t i = 0; i < slices.size(); ++i) {
        EXPECT_EQ(slices[i].first, at);
        const uint64_t size = slices[i].second - slices[i].first;
        EXPECT_GE(size, 1u);
        EXPECT_LE(size, 32u);
        if (i > 0) {
            EXPECT_LE(size, slices[i - 1].second - slices[i - 1].first);
        }
        at = slices[i].second;
    }
    EXPECT_EQ(at, 1000u);
    EXPECT_EQ(slices.front().second - slices.front().first, 32u);
    // The last rows go one by one, so no thread is left with a long slice.
    EXPECT_EQ(slices.back().second - slices.back().first, 1u);
    executor.Release();
}

TEST(BatchSpreaderTest, WholeIndexKindsGetEqualSlicesInMultiplesOfTheWorkers) {
    struct Case {
        uint64_t n;
        uint32_t workers;
        uint64_t preferred;
        SliceRows want;
    };
    const Case cases[] = {
        {1000, 2, 0, {1, kBatchSliceRows}},  // no preference: shrinking small slices
        {1000, 2, 256, {250, 250}},          // 4 requests of 250, not 256 x 3 + 232
        {1000, 3, 256, {167, 167}},          // 6 requests: two per worker
        {100, 2, 256, {50, 50}},             // fewer rows than one request: one per worker
        {1, 4, 256, {1, 1}},
        {512, 1, 256, {256, 256}},
        {513, 1, 256, {171, 171}},  // 3 requests of at most 256, made equal
        {10, 0, 256, {10, 10}},     // workers below 1 taken as 1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.n << " rows, " << c.workers << " workers, preferred " << c.preferred);
        const SliceRows got = BatchSliceRows(c.n, c.workers, c.preferred);
        EXPECT_EQ(got.minRows, c.want.minRows);
        EXPECT_EQ(got.maxRows, c.want.maxRows);
    }
}

TEST(BatchSpreaderStressTest, ShrinkingSlicesRunEveryRowOnceOnARealPool) {
    auto pool = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Search);
    ASSERT_TRUE(pool.IsOk());
    for (int round = 0; round < 50; ++round) {
        std::vector<std::atomic<int>> runs(997);
        Status status = SpreadSlices(997, SliceRows{1, 32}, 3, pool.Value().get(),
                                     [&](uint64_t begin, uint64_t end) {
                                         for (uint64_t i = begin; i < end; ++i) ++runs[i];
                                         return Status::Ok();
                                     });
        ASSERT_TRUE(status.IsOk());
        for (size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(runs[i].load(), 1) << "row " << i;
    }
}

}  // namespace
}  // namespace orvane::api
