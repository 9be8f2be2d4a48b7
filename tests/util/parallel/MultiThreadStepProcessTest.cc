#include "util/parallel/MultiThreadStepProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "util/parallel/SimpleExecutor.h"

namespace orvane::util {
namespace {

using core::ErrorCode;

// Records which indices each task visited.
class Visits {
  public:
    explicit Visits(size_t tasks) : _byTask(tasks) {}
    void Add(uint64_t t, uint64_t i) {
        std::lock_guard<std::mutex> lock(_mu);
        _byTask.at(t).push_back(i);
    }
    // A step that records its visit and succeeds.
    auto Step() {
        return [this](uint64_t t, uint64_t i) {
            Add(t, i);
            return ErrorCode::Ok;
        };
    }
    std::vector<uint64_t> Of(size_t t) {
        std::lock_guard<std::mutex> lock(_mu);
        return _byTask.at(t);
    }

  private:
    std::mutex _mu;
    std::vector<std::vector<uint64_t>> _byTask;
};

// Accepts the first `accept` schedules onto a real executor, refuses the rest.
class RefusingExecutor : public coro::Executor {
  public:
    RefusingExecutor(coro::Executor& inner, int accept) : _inner(inner), _accept(accept) {}
    using coro::Executor::schedule;
    bool schedule(Func fn) override {
        if (_accept-- <= 0) return false;
        return _inner.schedule(std::move(fn));
    }

  private:
    coro::Executor& _inner;
    int _accept;
};

TEST(MultiThreadStepProcessTest, StripesTheRangeOverTasks) {
    SimpleExecutor ex(3);
    Visits visits(3);
    EXPECT_EQ(MultiThreadStepProcess(0, 10, 3, ex, visits.Step()), ErrorCode::Ok);
    EXPECT_EQ(visits.Of(0), (std::vector<uint64_t>{0, 3, 6, 9}));
    EXPECT_EQ(visits.Of(1), (std::vector<uint64_t>{1, 4, 7}));
    EXPECT_EQ(visits.Of(2), (std::vector<uint64_t>{2, 5, 8}));
}

TEST(MultiThreadStepProcessTest, OffsetRangeAndMoreTasksThanIndices) {
    SimpleExecutor ex(2);
    Visits visits(5);
    EXPECT_EQ(MultiThreadStepProcess(100, 103, 5, ex, visits.Step()), ErrorCode::Ok);
    EXPECT_EQ(visits.Of(0), std::vector<uint64_t>{100});
    EXPECT_EQ(visits.Of(1), std::vector<uint64_t>{101});
    EXPECT_EQ(visits.Of(2), std::vector<uint64_t>{102});
    EXPECT_TRUE(visits.Of(3).empty());
    EXPECT_TRUE(visits.Of(4).empty());
}

TEST(MultiThreadStepProcessTest, FailingStepStopsItsTaskAndIsReturned) {
    SimpleExecutor ex(3);
    Visits visits(3);
    EXPECT_EQ(MultiThreadStepProcess(0, 10, 3, ex,
                                     [&](uint64_t t, uint64_t i) {
                                         visits.Add(t, i);
                                         return i == 4 ? ErrorCode::Internal : ErrorCode::Ok;
                                     }),
              ErrorCode::Internal);
    EXPECT_EQ(visits.Of(1), (std::vector<uint64_t>{1, 4}));
    // The other tasks may stop early but never skip an index of their stripe.
    const std::vector<uint64_t> full0{0, 3, 6, 9};
    const std::vector<uint64_t> full2{2, 5, 8};
    auto v0 = visits.Of(0);
    auto v2 = visits.Of(2);
    EXPECT_TRUE(std::equal(v0.begin(), v0.end(), full0.begin()));
    EXPECT_TRUE(std::equal(v2.begin(), v2.end(), full2.begin()));
}

TEST(MultiThreadStepProcessTest, ZeroTasksAndEmptyRanges) {
    SimpleExecutor ex(2);
    std::atomic<int> calls{0};
    auto step = [&](uint64_t, uint64_t) {
        calls.fetch_add(1);
        return ErrorCode::Ok;
    };
    EXPECT_EQ(MultiThreadStepProcess(0, 10, 0, ex, step), ErrorCode::InvalidArgument);
    EXPECT_EQ(MultiThreadStepProcess(5, 5, 4, ex, step), ErrorCode::Ok);
    EXPECT_EQ(MultiThreadStepProcess(9, 3, 4, ex, step), ErrorCode::Ok);
    EXPECT_EQ(calls.load(), 0);
}

TEST(MultiThreadStepProcessTest, RangeAtTheTopOfU64DoesNotWrap) {
    SimpleExecutor ex(2);
    const uint64_t top = std::numeric_limits<uint64_t>::max();
    std::mutex mu;
    std::vector<uint64_t> seen;
    EXPECT_EQ(MultiThreadStepProcess(top - 5, top, 4, ex,
                                     [&](uint64_t, uint64_t i) {
                                         std::lock_guard<std::mutex> lock(mu);
                                         seen.push_back(i);
                                         return ErrorCode::Ok;
                                     }),
              ErrorCode::Ok);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<uint64_t>{top - 5, top - 4, top - 3, top - 2, top - 1}));
}

TEST(MultiThreadStepProcessTest, RefusedTaskReturnsUnavailableWithoutHanging) {
    SimpleExecutor ex(2);
    RefusingExecutor refusing(ex, 2);
    Visits visits(4);
    EXPECT_EQ(MultiThreadStepProcess(0, 40, 4, refusing, visits.Step()), ErrorCode::Unavailable);
    EXPECT_TRUE(visits.Of(2).empty());
    EXPECT_TRUE(visits.Of(3).empty());

    SimpleExecutor stopped(1);
    stopped.waitAllTaskFinish();
    std::atomic<int> calls{0};
    EXPECT_EQ(MultiThreadStepProcess(0, 10, 3, stopped,
                                     [&](uint64_t, uint64_t) {
                                         calls.fetch_add(1);
                                         return ErrorCode::Ok;
                                     }),
              ErrorCode::Unavailable);
    EXPECT_EQ(calls.load(), 0);
}

// Runs the first `accept` tasks inline, before schedule returns, and refuses the rest.
class InlineThenRefusingExecutor : public coro::Executor {
  public:
    explicit InlineThenRefusingExecutor(int accept) : _accept(accept) {}
    using coro::Executor::schedule;
    bool schedule(Func fn) override {
        if (_accept-- <= 0) return false;
        fn();
        return true;
    }

  private:
    int _accept;
};

// A refusal wins over a step failure that was recorded before it.
TEST(MultiThreadStepProcessTest, RefusalAfterAFailedTaskReturnsUnavailable) {
    for (ErrorCode failure : {ErrorCode::Internal, ErrorCode::IoError}) {
        InlineThenRefusingExecutor ex(1);
        EXPECT_EQ(MultiThreadStepProcess(0, 10, 3, ex,
                                         [&](uint64_t, uint64_t) { return failure; }),
                  ErrorCode::Unavailable);
    }
}

TEST(MultiThreadStepProcessTest, ThrowingStepBecomesInternal) {
    SimpleExecutor ex(2);
    EXPECT_EQ(MultiThreadStepProcess(0, 6, 2, ex,
                                     [&](uint64_t, uint64_t i) -> ErrorCode {
                                         if (i == 3) throw std::runtime_error("bad row");
                                         return ErrorCode::Ok;
                                     }),
              ErrorCode::Internal);
}

}  // namespace
}  // namespace orvane::util
