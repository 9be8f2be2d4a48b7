#include "coro/CountingSemaphore.h"

#include <gtest/gtest.h>

#include <mutex>
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
    CountingSemaphore negative(-3);
    EXPECT_EQ(negative.available(), 0);
    EXPECT_GT(CountingSemaphore::max(), 1'000'000'000);
}

// Waiters without an executor are resumed inline by release, oldest first.
TEST(CountingSemaphoreTest, WaitersResumeInArrivalOrder) {
    CountingSemaphore sem(0);
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
    CountingSemaphore sem(0);
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
