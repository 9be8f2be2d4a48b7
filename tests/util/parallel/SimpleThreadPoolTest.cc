#include "util/parallel/SimpleThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "testing/LogCapture.h"
#include "util/parallel/CountDownLatch.h"

namespace orvane::util {
namespace {

using core::ErrorCode;
using telemetry::LogLevel;
using testing::LogCapture;

const char* kZeroWarn = "ThreadNum can not be zero, we will reset it to one.";

std::string PoolMessage(const char* format, const SimpleThreadPool* pool) {
    char buf[128];
    std::snprintf(buf, sizeof(buf), format, static_cast<const void*>(pool));
    return buf;
}

// Blocks worker `id` of `pool` until Release() so that items queue up behind it.
class WorkerGate {
  public:
    WorkerGate(SimpleThreadPool& pool, int32_t id) {
        // The latch is shared with the blocked item, which may still be inside
        // Await after the gate is gone.
        auto released = _released;
        EXPECT_EQ(pool.ScheduleById([released] { released->Await(); }, id), ErrorCode::Ok);
    }
    ~WorkerGate() { Release(); }
    void Release() {
        if (_released->GetCount() > 0) _released->CountDown();
    }

  private:
    std::shared_ptr<CountDownLatch> _released = std::make_shared<CountDownLatch>(1);
};

TEST(SimpleThreadPoolTest, ZeroThreadsRunsOneWorkerAndWarns) {
    LogCapture logs;
    {
        auto pool = CreateSimpleThreadPool(0);
        EXPECT_EQ(pool->GetThreadNum(), 1u);
        CountDownLatch done(1);
        EXPECT_EQ(pool->Schedule([&] { done.CountDown(); }), ErrorCode::Ok);
        done.Await();
    }
    EXPECT_EQ(logs.Count(LogLevel::Warn, kZeroWarn), 1u);
    SimpleThreadPool direct(0);
    EXPECT_EQ(direct.GetThreadNum(), 1u);
    EXPECT_EQ(logs.Count(LogLevel::Warn, kZeroWarn), 2u);
}

TEST(SimpleThreadPoolTest, PoolIdsAreDistinctAndNonZero) {
    SimpleThreadPool a(1);
    SimpleThreadPool b(1);
    EXPECT_NE(a.GetPoolId(), 0u);
    EXPECT_NE(a.GetPoolId(), b.GetPoolId());
}

TEST(SimpleThreadPoolTest, ScheduleByIdRejectsBadArguments) {
    LogCapture logs;
    SimpleThreadPool pool(3);
    EXPECT_EQ(pool.ScheduleById([] {}, 3), ErrorCode::InvalidArgument);
    EXPECT_EQ(pool.ScheduleById([] {}, -2), ErrorCode::InvalidArgument);
    EXPECT_EQ(pool.ScheduleById([] {}, INT32_MIN), ErrorCode::InvalidArgument);
    EXPECT_EQ(logs.Count(LogLevel::Error, "Fn can not be nullptr."), 0u);
    EXPECT_EQ(pool.ScheduleById(std::function<void()>(), 0), ErrorCode::InvalidArgument);
    EXPECT_EQ(pool.Schedule(nullptr), ErrorCode::InvalidArgument);
    EXPECT_EQ(logs.Count(LogLevel::Error, "Fn can not be nullptr."), 2u);
    CountDownLatch done(2);
    EXPECT_EQ(pool.ScheduleById([&] { done.CountDown(); }, 2), ErrorCode::Ok);
    EXPECT_EQ(pool.ScheduleById([&] { done.CountDown(); }, -1), ErrorCode::Ok);
    done.Await();
}

TEST(SimpleThreadPoolTest, ItemsOnOneWorkerRunInOrderOnThatWorker) {
    SimpleThreadPool pool(4);
    std::vector<int> order;
    std::vector<int32_t> ids;
    std::thread::id workerThread;
    std::mutex mu;
    {
        WorkerGate gate(pool, 0);
        for (int k = 0; k < 10; ++k) {
            ASSERT_EQ(pool.ScheduleById(
                          [&, k] {
                              std::lock_guard<std::mutex> lock(mu);
                              if (k == 0) workerThread = std::this_thread::get_id();
                              EXPECT_EQ(std::this_thread::get_id(), workerThread);
                              order.push_back(k);
                              ids.push_back(pool.GetCurrentId());
                          },
                          0),
                      ErrorCode::Ok);
        }
    }
    pool.WaitStop();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(ids, std::vector<int32_t>(10, 0));
    EXPECT_EQ(pool.GetCurrentId(), -1);
}

TEST(SimpleThreadPoolTest, RoundRobinAndForeignPoolIdentity) {
    SimpleThreadPool pool(4);
    SimpleThreadPool other(2);
    std::vector<int32_t> seen(8, -5);
    std::vector<int32_t> foreign(8, -5);
    CountDownLatch done(8);
    for (int k = 0; k < 8; ++k) {
        ASSERT_EQ(pool.Schedule([&, k] {
            seen[k] = pool.GetCurrentId();
            foreign[k] = other.GetCurrentId();
            done.CountDown();
        }),
                  ErrorCode::Ok);
    }
    done.Await();
    EXPECT_EQ(seen, (std::vector<int32_t>{0, 1, 2, 3, 0, 1, 2, 3}));
    EXPECT_EQ(foreign, std::vector<int32_t>(8, -1));
    EXPECT_EQ(GetCurrent().first, -1);
    EXPECT_EQ(GetCurrent().second, 0u);
}

TEST(SimpleThreadPoolTest, WaitStopRunsQueuedItemsThenRefuses) {
    LogCapture logs;
    SimpleThreadPool pool(2);
    std::atomic<int> ran{0};
    {
        WorkerGate gate0(pool, 0);
        WorkerGate gate1(pool, 1);
        for (int k = 0; k < 50; ++k) {
            ASSERT_EQ(pool.Schedule([&] { ran.fetch_add(1); }), ErrorCode::Ok);
        }
        EXPECT_EQ(ran.load(), 0);
    }
    pool.WaitStop();
    EXPECT_EQ(ran.load(), 50);
    EXPECT_EQ(pool.Schedule([&] { ran.fetch_add(1); }), ErrorCode::Unavailable);
    EXPECT_EQ(pool.ScheduleById([&] { ran.fetch_add(1); }, 1), ErrorCode::Unavailable);
    const std::string stopping = PoolMessage("SimpleThreadPool[%p] is stopping.", &pool);
    const std::string stopped = PoolMessage("SimpleThreadPool[%p] is stopped.", &pool);
    EXPECT_EQ(logs.Count(LogLevel::Info, stopping), 1u);
    EXPECT_EQ(logs.Count(LogLevel::Info, stopped), 1u);
    const size_t before = logs.Records().size();
    pool.WaitStop();
    EXPECT_EQ(logs.Records().size(), before);
    EXPECT_EQ(ran.load(), 50);
}

TEST(SimpleThreadPoolTest, ThrowingTaskDoesNotStopItsWorker) {
    LogCapture logs;
    SimpleThreadPool pool(1);
    CountDownLatch done(1);
    ASSERT_EQ(pool.ScheduleById([] { throw std::runtime_error("broken step"); }, 0), ErrorCode::Ok);
    ASSERT_EQ(pool.ScheduleById([] { throw 42; }, 0), ErrorCode::Ok);
    ASSERT_EQ(pool.ScheduleById([&] { done.CountDown(); }, 0), ErrorCode::Ok);
    done.Await();
    pool.WaitStop();
    EXPECT_EQ(
        logs.Count(LogLevel::Error, "Task in simple thread pool throws an exception[broken step]"),
        1u);
    EXPECT_EQ(logs.Count(LogLevel::Error, "Schedule failed: unknown exception"), 1u);
}

TEST(SimpleThreadPoolTest, DestructorFinishesQueuedWork) {
    std::atomic<int> ran{0};
    {
        SimpleThreadPool pool(3);
        for (int k = 0; k < 30; ++k) {
            ASSERT_EQ(pool.Schedule([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                ran.fetch_add(1);
            }),
                      ErrorCode::Ok);
        }
    }
    EXPECT_EQ(ran.load(), 30);
}

TEST(SpinMutexTest, TryLockFailsWhileHeld) {
    SpinMutex mu;
    EXPECT_TRUE(mu.TryLock());
    EXPECT_FALSE(mu.TryLock());
    mu.UnLock();
    {
        std::lock_guard<SpinMutex> lock(mu);
        EXPECT_FALSE(mu.try_lock());
    }
    EXPECT_TRUE(mu.try_lock());
    mu.unlock();
}

TEST(CountDownLatchTest, OpensAtZeroOrBelow) {
    CountDownLatch latch(2);
    std::atomic<bool> passed{false};
    std::thread waiter([&] {
        latch.Await();
        passed.store(true);
    });
    latch.CountDown();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(passed.load());
    latch.CountDown(5);
    waiter.join();
    EXPECT_TRUE(passed.load());
    EXPECT_EQ(latch.GetCount(), -4);
    latch.Await();  // already open: returns at once

    CountDownLatch zero(0);
    zero.Await();
}

}  // namespace
}  // namespace orvane::util
