// Concurrency stress of the coroutine runtime; run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "api/Status.h"
#include "coro/Collect.h"
#include "coro/CountingSemaphore.h"
#include "coro/Future.h"
#include "coro/Lazy.h"
#include "coro/SyncAwait.h"
#include "util/parallel/SimpleExecutor.h"

namespace orvane::coro {
namespace {

using core::ErrorCode;
using core::Status;

// Keeps the largest value ever stored.
void UpdateMax(std::atomic<int>& max, int value) {
    int seen = max.load();
    while (value > seen && !max.compare_exchange_weak(seen, value)) {
    }
}

struct InFlight {
    std::atomic<int> now{0};
    std::atomic<int> max{0};
};

Lazy<int> Bounded(CountingSemaphore* sem, InFlight* flight, int id) {
    co_await sem->acquire();
    UpdateMax(flight->max, flight->now.fetch_add(1) + 1);
    // Give other tasks the chance to pile up on the semaphore.
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    flight->now.fetch_sub(1);
    sem->release();
    co_return id;
}

TEST(CoroStress, CollectAllUnderSemaphoreNeverExceedsItsCount) {
    util::SimpleExecutor ex(4);
    for (int k : {1, 3}) {
        CountingSemaphore sem(k);
        InFlight flight;
        std::vector<Lazy<int>> tasks;
        for (int i = 0; i < 400; ++i) tasks.push_back(Bounded(&sem, &flight, i));
        auto results = syncAwait(collectAll(std::move(tasks)).via(&ex));
        ASSERT_EQ(results.size(), 400u);
        for (int i = 0; i < 400; ++i) EXPECT_EQ(results[i].value(), i);
        EXPECT_LE(flight.max.load(), k);
        EXPECT_GE(flight.max.load(), 1);
        EXPECT_EQ(sem.available(), k);
        EXPECT_EQ(sem.waiters(), 0u);
    }
}

// A node task in the shape of a search's reads: holds a permit while it works
// and fails now and then by throwing.
Lazy<int> ThrowingHolder(CountingSemaphore* sem, InFlight* flight, int id) {
    SemaphorePermit permit = co_await sem->acquireScoped();
    UpdateMax(flight->max, flight->now.fetch_add(1) + 1);
    std::this_thread::yield();
    flight->now.fetch_sub(1);
    if (id % 3 == 0) throw std::runtime_error("node task failed");
    co_return id;
}

// Exceptions thrown while a permit is held return it: the waiters behind it
// still run and syncAwait returns.
TEST(CoroStress, ThrowingPermitHoldersNeverStrandWaiters) {
    util::SimpleExecutor ex(4);
    for (int k : {1, 2}) {
        CountingSemaphore sem(k);
        InFlight flight;
        std::vector<Lazy<int>> tasks;
        for (int i = 0; i < 300; ++i) tasks.push_back(ThrowingHolder(&sem, &flight, i));
        auto results = syncAwait(collectAll(std::move(tasks)).via(&ex));
        ASSERT_EQ(results.size(), 300u);
        for (int i = 0; i < 300; ++i) {
            EXPECT_EQ(results[i].hasError(), i % 3 == 0);
            if (i % 3 != 0) {
                EXPECT_EQ(results[i].value(), i);
            }
        }
        EXPECT_LE(flight.max.load(), k);
        EXPECT_EQ(sem.available(), k);
        EXPECT_EQ(sem.waiters(), 0u);
    }
}

Lazy<Status> ReadSection(Future<Status> f, std::atomic<int>* wrongWorker,
                         util::SimpleExecutor* ex) {
    const int32_t before = ex->pool().GetCurrentId();
    Status st = co_await std::move(f);
    if (ex->pool().GetCurrentId() != before) wrongWorker->fetch_add(1);
    co_return st;
}

TEST(CoroStress, FuturesCompletedFromOtherThreads) {
    util::SimpleExecutor ex(4);
    constexpr int kReads = 2000;
    std::vector<Promise<Status>> promises(kReads);
    std::vector<Lazy<Status>> tasks;
    std::atomic<int> wrongWorker{0};
    for (auto& p : promises) tasks.push_back(ReadSection(p.getFuture(), &wrongWorker, &ex));

    Promise<std::vector<Try<Status>>> out;
    auto outFuture = out.getFuture();
    collectAll(std::move(tasks)).via(&ex).start([&](Try<std::vector<Try<Status>>> r) {
        out.setValue(std::move(r).value());
    });
    std::vector<std::thread> completers;
    for (int c = 0; c < 4; ++c) {
        completers.emplace_back([&, c] {
            for (int i = c; i < kReads; i += 4) {
                promises[i].setValue(i % 7 == 0 ? Status(ErrorCode::IoError) : Status::Ok());
            }
        });
    }
    for (auto& t : completers) t.join();
    auto results = outFuture.get();
    ASSERT_EQ(results.size(), static_cast<size_t>(kReads));
    for (int i = 0; i < kReads; ++i) {
        EXPECT_EQ(results[i].value().Code(), i % 7 == 0 ? ErrorCode::IoError : ErrorCode::Ok);
    }
    EXPECT_EQ(wrongWorker.load(), 0);
}

// A future completed by a task on another worker. Only that task holds the
// promise: when the pool refuses it (it is stopping), the promise is dropped
// and the future fails instead of hanging.
Future<int> OneLater(util::SimpleExecutor* ex) {
    auto p = std::make_shared<Promise<int>>();
    Future<int> f = p->getFuture();
    ex->schedule([p] { p->setValue(1); });
    return f;
}

Lazy<int> Chain(int depth, util::SimpleExecutor* ex) {
    if (depth == 0) co_return 1;
    if (depth % 4 == 0) {
        // Hop through a future completed on another worker of the pool.
        Future<int> f = OneLater(ex);
        int one = co_await std::move(f);
        co_return one + co_await Chain(depth - 1, ex);
    }
    co_return 1 + co_await Chain(depth - 1, ex);
}

TEST(CoroStress, NestedLazyAwaits) {
    util::SimpleExecutor ex(3);
    std::vector<Lazy<int>> tasks;
    for (int i = 0; i < 64; ++i) tasks.push_back(Chain(40, &ex));
    auto results = syncAwait(collectAll(std::move(tasks)).via(&ex));
    for (auto& r : results) EXPECT_EQ(r.value(), 41);
}

TEST(CoroStress, SyncAwaitFromManyExternalThreads) {
    util::SimpleExecutor ex(4);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                std::vector<Lazy<int>> tasks;
                for (int i = 0; i < 8; ++i) tasks.push_back(Chain(i, &ex));
                auto r = syncAwait(collectAll(std::move(tasks)).via(&ex));
                for (int i = 0; i < 8; ++i) {
                    if (r[i].value() != i + 1) failures++;
                }
                if (syncAwait(Chain(t, &ex).via(&ex)) != t + 1) failures++;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(CoroStress, ExecutorStoppedWithTasksQueued) {
    for (int round = 0; round < 10; ++round) {
        std::atomic<int> finished{0};
        std::atomic<int> failed{0};
        {
            util::SimpleExecutor ex(2);
            for (int i = 0; i < 200; ++i) {
                Chain(6, &ex).via(&ex).start([&](Try<int> t) {
                    if (t.hasError()) {
                        failed++;
                    } else if (t.value() == 7) {
                        finished++;
                    }
                });
            }
            // Destroying the executor stops the pool while tasks are queued;
            // tasks whose resumption is refused continue inline.
        }
        // No task is lost: each either finished or failed with a broken promise.
        EXPECT_EQ(finished.load() + failed.load(), 200);
    }
}

}  // namespace
}  // namespace orvane::coro
