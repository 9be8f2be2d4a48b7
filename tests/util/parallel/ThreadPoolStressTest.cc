// Concurrency stress of the pool and its helpers; run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include "util/parallel/CountDownLatch.h"
#include "util/parallel/MultiThreadStepProcess.h"
#include "util/parallel/SimpleExecutor.h"
#include "util/parallel/SimpleThreadPool.h"
#include "util/parallel/SpinMutex.h"

namespace orvane::util {
namespace {

using core::ErrorCode;

TEST(ThreadPoolStress, ThousandsOfTasksFromManyProducers) {
    SimpleThreadPool pool(4);
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 5000;
    std::atomic<int64_t> sum{0};
    CountDownLatch done(kProducers * kPerProducer);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int k = 0; k < kPerProducer; ++k) {
                const int32_t target = (k % 3 == 0) ? (k % 4) : -1;
                ASSERT_EQ(pool.ScheduleById(
                              [&, k] {
                                  sum.fetch_add(k, std::memory_order_relaxed);
                                  done.CountDown();
                              },
                              target),
                          ErrorCode::Ok);
            }
            (void)p;
        });
    }
    for (auto& t : producers) t.join();
    done.Await();
    const int64_t perProducer = int64_t{kPerProducer} * (kPerProducer - 1) / 2;
    EXPECT_EQ(sum.load(), perProducer * kProducers);
}

TEST(ThreadPoolStress, PingPongNeverLosesAWakeup) {
    // One item at a time, each queued while its worker is going to sleep or
    // just waking from the previous one: the window in which a wake-up could be
    // lost. A lost one leaves the item queued and the wait below times out.
    SimpleThreadPool pool(2);
    for (int k = 0; k < 20000; ++k) {
        std::promise<void> ran;
        std::future<void> done = ran.get_future();
        ASSERT_EQ(pool.ScheduleById([&ran] { ran.set_value(); }, k % 2), ErrorCode::Ok);
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready) << k;
    }
}

TEST(ThreadPoolStress, StopWhileProducersKeepScheduling) {
    for (int round = 0; round < 20; ++round) {
        auto pool = CreateSimpleThreadPool(3);
        std::atomic<int> accepted{0};
        std::atomic<int> ran{0};
        std::atomic<bool> go{true};
        std::vector<std::thread> producers;
        for (int p = 0; p < 3; ++p) {
            producers.emplace_back([&] {
                while (go.load()) {
                    if (pool->Schedule([&] { ran.fetch_add(1); }) == ErrorCode::Ok) {
                        accepted.fetch_add(1);
                    } else {
                        break;
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pool->WaitStop();
        go.store(false);
        for (auto& t : producers) t.join();
        // Everything accepted before the stop has run; nothing was queued behind
        // an end marker.
        EXPECT_EQ(ran.load(), accepted.load());
        EXPECT_EQ(pool->Schedule([] {}), ErrorCode::Unavailable);
    }
}

TEST(ThreadPoolStress, ConcurrentWaitStopCallsAreSafe) {
    for (int round = 0; round < 20; ++round) {
        SimpleThreadPool pool(2);
        std::atomic<int> ran{0};
        for (int k = 0; k < 100; ++k) ASSERT_EQ(pool.Schedule([&] { ran++; }), ErrorCode::Ok);
        std::thread a([&] { pool.WaitStop(); });
        std::thread b([&] { pool.WaitStop(); });
        a.join();
        b.join();
        pool.WaitStop();
        // A losing WaitStop returns at once; the winner ran everything before joining.
        EXPECT_EQ(ran.load(), 100);
    }
}

TEST(ThreadPoolStress, SpinMutexGuardsACounter) {
    SpinMutex mu;
    int64_t counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int k = 0; k < 20000; ++k) {
                std::lock_guard<SpinMutex> lock(mu);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
}

TEST(ThreadPoolStress, StepProcessFromSeveralCallersAtOnce) {
    SimpleExecutor ex(4);
    std::vector<std::thread> callers;
    std::atomic<int> failures{0};
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < 20; ++round) {
                std::vector<uint8_t> hit(1000, 0);
                const uint64_t failAt = (c == 0 && round % 2 == 0) ? 500 : UINT64_MAX;
                const ErrorCode rc =
                    MultiThreadStepProcess(0, hit.size(), 7, ex, [&](uint64_t, uint64_t i) {
                        if (i == failAt) {
                            return ErrorCode::IoError;
                        }
                        hit[i] += 1;
                        return ErrorCode::Ok;
                    });
                if (failAt != UINT64_MAX) {
                    if (rc != ErrorCode::IoError) failures++;
                    continue;
                }
                if (rc != ErrorCode::Ok) failures++;
                for (uint8_t h : hit) {
                    if (h != 1) failures++;
                }
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace orvane::util
