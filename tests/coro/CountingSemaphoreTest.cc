#include "coro/CountingSemaphore.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <vector>

#include "coro/Collect.h"
#include "coro/SyncAwait.h"
#include "util/parallel/SimpleExecutor.h"

namespace orvane::coro {
namespace {

TEST(CountingSemaphoreTest, CountsPermits) {
    CountingSemaphore sem(2);
    EXPECT_EQ(sem.available(), 2);
    EXPECT_TRUE(sem.tryAcquire());
    syncAwait(sem.acquire());
    EXPECT_EQ(sem.available(), 0);
    EXPECT_FALSE(sem.tryAcquire());
    sem.release();
    sem.release();
    EXPECT_EQ(sem.available(), 2);
}

// No count builds a semaphore that can only block: below 1 means 1.
TEST(CountingSemaphoreTest, CountBelowOneMeansOnePermit) {
    for (ptrdiff_t count : {ptrdiff_t{0}, ptrdiff_t{-3}}) {
        CountingSemaphore sem(count);
        EXPECT_EQ(sem.available(), 1);
        syncAwait(sem.acquire());
        EXPECT_FALSE(sem.tryAcquire());
        sem.release();
        EXPECT_EQ(sem.available(), 1);
    }
}

TEST(CountingSemaphoreTest, ScopedPermitReturnsOnEveryPath) {
    CountingSemaphore sem(2);
    auto body = [](CountingSemaphore* s, int mode) -> Lazy<int> {
        SemaphorePermit permit = co_await s->acquireScoped();
        if (!permit.owns()) co_return -1;
        if (mode == 1) throw std::runtime_error("failed while holding a permit");
        if (mode == 2) permit.release();  // early release; the destructor adds nothing
        co_return s->available();
    };
    EXPECT_EQ(syncAwait(body(&sem, 0)), 1);
    EXPECT_EQ(sem.available(), 2);
    EXPECT_THROW(syncAwait(body(&sem, 1)), std::runtime_error);
    EXPECT_EQ(sem.available(), 2);
    EXPECT_EQ(syncAwait(body(&sem, 2)), 2);
    EXPECT_EQ(sem.available(), 2);
    // Moving a permit hands over ownership; one release in total.
    SemaphorePermit a(sem.tryAcquire() ? &sem : nullptr);
    SemaphorePermit b = std::move(a);
    EXPECT_FALSE(a.owns());
    EXPECT_TRUE(b.owns());
    b = SemaphorePermit();
    EXPECT_EQ(sem.available(), 2);
}

// A chain of waiters without an executor is resumed one after another, not
// nested one stack frame per waiter: 100,000 of them overflow no stack.
TEST(CountingSemaphoreTest, LongReleaseChainRunsInConstantStack) {
    constexpr int kWaiters = 100'000;
    CountingSemaphore sem(1);
    ASSERT_TRUE(sem.tryAcquire());
    int done = 0;
    auto waiter = [](CountingSemaphore* s, int* done) -> Lazy<void> {
        SemaphorePermit permit = co_await s->acquireScoped();
        ++*done;
    };
    for (int i = 0; i < kWaiters; ++i) waiter(&sem, &done).start([](Try<void>) {});
    EXPECT_EQ(sem.waiters(), static_cast<size_t>(kWaiters));
    sem.release();
    EXPECT_EQ(done, kWaiters);
    EXPECT_EQ(sem.waiters(), 0u);
    EXPECT_EQ(sem.available(), 1);
    EXPECT_GT(CountingSemaphore::max(), 1'000'000'000);
}

// Waiters without an executor are resumed inline by release, oldest first.
TEST(CountingSemaphoreTest, WaitersResumeInArrivalOrder) {
    CountingSemaphore sem(1);
    ASSERT_TRUE(sem.tryAcquire());
    std::vector<int> order;
    auto waiter = [](CountingSemaphore* s, std::vector<int>* order, int id) -> Lazy<void> {
        co_await s->acquire();
        order->push_back(id);
    };
    for (int id = 0; id < 3; ++id) waiter(&sem, &order, id).start([](Try<void>) {});
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(sem.waiters(), 3u);
    sem.release();
    EXPECT_EQ(order, std::vector<int>{0});
    sem.release();
    sem.release();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    // The permits went to the waiters, not back to the count.
    EXPECT_EQ(sem.available(), 0);
    sem.release();
    EXPECT_EQ(sem.available(), 1);
}

TEST(CountingSemaphoreTest, WaiterResumesOnItsWorker) {
    util::SimpleExecutor ex(4);
    CountingSemaphore sem(1);
    ASSERT_TRUE(sem.tryAcquire());
    auto task = [](util::SimpleExecutor* e, CountingSemaphore* s) -> Lazy<bool> {
        const int32_t before = e->pool().GetCurrentId();
        co_await s->acquire();
        co_return before >= 0 && before == e->pool().GetCurrentId();
    };
    std::thread releaser([&] {
        // Release only once the task is waiting, so it really suspends.
        while (sem.waiters() == 0) std::this_thread::yield();
        sem.release();
    });
    EXPECT_TRUE(syncAwait(task(&ex, &sem).via(&ex)));
    releaser.join();
}

}  // namespace
}  // namespace orvane::coro
