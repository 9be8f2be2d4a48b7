// SpreadSlices: every row runs exactly once, the caller never waits on tasks
// still queued, and the lowest failing slice gives the status.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
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
        Status status =
            SpreadSlices(c.n, c.slice, c.workers, &executor, [&](uint64_t begin, uint64_t end) {
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
        Status status = SpreadSlices(
            400, 7, 4, pool.Value().get(), [&](uint64_t begin, uint64_t end) -> Status {
                rows += end - begin;
                if (begin == 203 || begin == 350) {
                    return Status(ErrorCode::Internal, "slice " + std::to_string(begin));
                }
                return Status::Ok();
            });
        EXPECT_EQ(status.Message(), "slice 203");
        EXPECT_LE(rows.load(), 400u);
    }
}

}  // namespace
}  // namespace orvane::api
