#include "util/parallel/SimpleThreadPool.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
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

// A starter that lets `allowed` threads start and refuses the rest the way
// std::thread does when the system is out of threads.
SimpleThreadPool::ThreadStarter LimitedStarter(int allowed, std::atomic<int>* calls) {
    return [allowed, calls](std::function<void()> body) {
        if (calls->fetch_add(1) >= allowed) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(body));
    };
}

TEST(SimpleThreadPoolTest, WorkersStartOnFirstUse) {
    std::atomic<int> calls{0};
    { SimpleThreadPool unused(4, LimitedStarter(4, &calls)); }
    EXPECT_EQ(calls.load(), 0);  // never used: never started
    SimpleThreadPool pool(4, LimitedStarter(4, &calls));
    EXPECT_EQ(calls.load(), 0);
    CountDownLatch done(1);
    EXPECT_EQ(pool.Schedule([&] { done.CountDown(); }), ErrorCode::Ok);
    done.Await();
    EXPECT_EQ(calls.load(), 4);
    EXPECT_TRUE(pool.Start().IsOk());
    EXPECT_EQ(calls.load(), 4);
}

// A pool whose threads cannot all start says so and refuses work; the workers
// it had started are stopped, so neither scheduling nor destruction hangs.
TEST(SimpleThreadPoolTest, ThreadsThatCannotStartFailWithAClearStatus) {
    for (int allowed : {0, 2}) {
        LogCapture logs;
        std::atomic<int> calls{0};
        SimpleThreadPool pool(4, LimitedStarter(allowed, &calls));
        EXPECT_EQ(pool.Schedule([] {}), ErrorCode::Unavailable);
        const core::Status status = pool.Start();
        EXPECT_EQ(status.Code(), ErrorCode::Unavailable);
        EXPECT_NE(status.Message().find("Failed to start worker thread [" +
                                        std::to_string(allowed) + "] of [4]: "),
                  std::string::npos)
            << status.Message();
        EXPECT_EQ(pool.ScheduleById([] {}, 0), ErrorCode::Unavailable);
        // The failure sticks: no further attempts to create threads.
        EXPECT_EQ(calls.load(), allowed + 1);
        EXPECT_EQ(logs.Count(LogLevel::Error, "SimpleThreadPool[" + PoolMessage("%p", &pool) +
                                                  "]: " + status.Message()),
                  1u);
    }
}

// A process limited to its current number of threads: the pool cannot start,
// and its users get Unavailable instead of hanging (run in a child process).
TEST(SimpleThreadPoolTest, ProcessThreadLimitGivesUnavailable) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // root is exempt from the limit, so the child drops to an unprivileged user.
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        const struct rlimit limit { 1, 1 };
        if (::setrlimit(RLIMIT_NPROC, &limit) != 0) ::_exit(4);
        SimpleThreadPool pool(4);
        const bool refused = pool.Schedule([] {}) == ErrorCode::Unavailable &&
                             pool.Start().Code() == ErrorCode::Unavailable;
        ::_exit(refused ? 0 : 1);
    }
    int status = 0;
    // Bounded wait: a hanging child is killed and reported.
    for (int waited = 0; ::waitpid(child, &status, WNOHANG) == 0; ++waited) {
        if (waited == 6000) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            FAIL() << "the child hung";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(WIFEXITED(status));
    const int code = WEXITSTATUS(status);
    if (code == 3 || code == 4) GTEST_SKIP() << "cannot lower the thread limit here";
    EXPECT_EQ(code, 0);
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
