#include "util/parallel/SimpleExecutor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "util/parallel/CountDownLatch.h"

namespace orvane::util {
namespace {

using core::ErrorCode;
using coro::Executor;
using coro::ScheduleOptions;

constexpr uintptr_t kAllOnes = ~static_cast<uintptr_t>(0);

// Runs fn on worker `id` of the executor's pool and waits for it.
template <typename F>
void RunOnWorker(SimpleExecutor& ex, int32_t id, F fn) {
    CountDownLatch done(1);
    ASSERT_EQ(ex.pool().ScheduleById(
                  [&] {
                      fn();
                      done.CountDown();
                  },
                  id),
              ErrorCode::Ok);
    done.Await();
}

TEST(SimpleExecutorTest, IdentityInsideAndOutsideThePool) {
    SimpleExecutor ex(4);
    EXPECT_EQ(ex.name(), "default");
    EXPECT_FALSE(ex.currentThreadInExecutor());
    EXPECT_EQ(ex.currentContextId(), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ex.checkout()), kAllOnes);
    EXPECT_EQ(ex.stat().pendingTaskCount, 0u);
    EXPECT_EQ(ex.getIOExecutor(), nullptr);

    RunOnWorker(ex, 2, [&] {
        EXPECT_TRUE(ex.currentThreadInExecutor());
        EXPECT_EQ(ex.currentContextId(), 2u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(ex.checkout()),
                  uintptr_t{2} | SimpleExecutor::kContextTag);
    });
    SimpleExecutor other(1);
    RunOnWorker(other, 0, [&] {
        EXPECT_FALSE(ex.currentThreadInExecutor());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(ex.checkout()), kAllOnes);
    });
}

TEST(SimpleExecutorTest, ScheduleRunsOnAWorker) {
    SimpleExecutor ex(2);
    CountDownLatch done(1);
    std::atomic<bool> inside{false};
    EXPECT_TRUE(ex.schedule([&] {
        inside.store(ex.currentThreadInExecutor());
        done.CountDown();
    }));
    done.Await();
    EXPECT_TRUE(inside.load());
    EXPECT_FALSE(ex.schedule(Executor::Func()));
}

TEST(SimpleExecutorTest, PromptCheckinOnTheSameWorkerRunsInline) {
    SimpleExecutor ex(4);
    RunOnWorker(ex, 2, [&] {
        Executor::Context ctx = ex.checkout();
        bool ran = false;
        std::thread::id runner;
        EXPECT_TRUE(ex.checkin(
            [&] {
                ran = true;
                runner = std::this_thread::get_id();
            },
            ctx, ScheduleOptions{true}));
        EXPECT_TRUE(ran);
        EXPECT_EQ(runner, std::this_thread::get_id());
    });
}

TEST(SimpleExecutorTest, CheckinWithoutPromptOrElsewhereIsQueuedOnThatWorker) {
    SimpleExecutor ex(4);
    Executor::Context ctx = nullptr;
    std::atomic<bool> ran{false};
    std::atomic<int32_t> ranOn{-5};
    CountDownLatch done(1);
    RunOnWorker(ex, 2, [&] {
        ctx = ex.checkout();
        EXPECT_TRUE(ex.checkin(
            [&] {
                ranOn.store(ex.pool().GetCurrentId());
                ran.store(true);
                done.CountDown();
            },
            ctx, ScheduleOptions{false}));
        // Queued behind the running item on this very worker.
        EXPECT_FALSE(ran.load());
    });
    done.Await();
    EXPECT_EQ(ranOn.load(), 2);

    // From outside the pool, prompt does not run it inline: it goes to worker 2.
    CountDownLatch done2(1);
    std::atomic<int32_t> ranOn2{-5};
    EXPECT_TRUE(ex.checkin(
        [&] {
            ranOn2.store(ex.pool().GetCurrentId());
            done2.CountDown();
        },
        ctx));
    done2.Await();
    EXPECT_EQ(ranOn2.load(), 2);
}

TEST(SimpleExecutorTest, NullAndAllOnesContextsGoToAnyWorker) {
    SimpleExecutor ex(3);
    CountDownLatch done(2);
    std::atomic<int> inside{0};
    auto fn = [&] {
        if (ex.currentThreadInExecutor()) inside.fetch_add(1);
        done.CountDown();
    };
    EXPECT_TRUE(ex.checkin(fn, Executor::NULLCTX));
    EXPECT_TRUE(ex.checkin(fn, ex.checkout()));  // off the pool: all ones
    done.Await();
    EXPECT_EQ(inside.load(), 2);
}

TEST(SimpleExecutorTest, DestructorStopsASharedPool) {
    std::shared_ptr<SimpleThreadPool> pool = CreateSimpleThreadPool(2);
    std::atomic<int> ran{0};
    {
        SimpleExecutor ex(pool);
        for (int k = 0; k < 20; ++k) EXPECT_TRUE(ex.schedule([&] { ran.fetch_add(1); }));
    }
    EXPECT_EQ(ran.load(), 20);
    EXPECT_EQ(pool->Schedule([] {}), ErrorCode::Unavailable);
}

TEST(SimpleExecutorTest, StoppedExecutorRefusesScheduleAndCheckin) {
    SimpleExecutor ex(2);
    ex.waitAllTaskFinish();
    EXPECT_FALSE(ex.schedule([] {}));
    EXPECT_FALSE(ex.checkin([] {}, Executor::NULLCTX));
    auto ctx = reinterpret_cast<Executor::Context>(uintptr_t{1} | SimpleExecutor::kContextTag);
    EXPECT_FALSE(ex.checkin([] {}, ctx));
}

}  // namespace
}  // namespace orvane::util
