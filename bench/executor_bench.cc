// Scheduling costs of the worker pool: raw pool scheduling (round-robin and
// pinned), and a fan-out written with schedule + latch.
#include <benchmark/benchmark.h>

#include <atomic>
#include <vector>

#include "util/parallel/CountDownLatch.h"
#include "util/parallel/SimpleExecutor.h"
#include "util/parallel/SimpleThreadPool.h"

namespace {

using orvane::util::CountDownLatch;
using orvane::util::SimpleExecutor;
using orvane::util::SimpleThreadPool;

constexpr uint32_t kWorkers = 4;

// n trivial tasks scheduled on `worker` (-1: round-robin over all workers).
void SchedulePool(benchmark::State& state, int32_t worker) {
    SimpleThreadPool pool(kWorkers);
    const int n = static_cast<int>(state.range(0));
    std::atomic<int64_t> sink{0};
    for (auto _ : state) {
        CountDownLatch done(n);
        for (int i = 0; i < n; ++i) {
            pool.ScheduleById(
                [&] {
                    sink.fetch_add(1, std::memory_order_relaxed);
                    done.CountDown();
                },
                worker);
        }
        done.Await();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_PoolScheduleRoundRobin(benchmark::State& state) {
    SchedulePool(state, -1);
}
BENCHMARK(BM_PoolScheduleRoundRobin)->Arg(1000)->UseRealTime();

void BM_PoolSchedulePinned(benchmark::State& state) {
    SchedulePool(state, 0);
}
BENCHMARK(BM_PoolSchedulePinned)->Arg(1000)->UseRealTime();

// A fan-out of n trivial tasks scheduled by hand and awaited on a latch.
void BM_FanOutScheduleLatch(benchmark::State& state) {
    SimpleExecutor ex(kWorkers);
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::vector<int> out(n);
        CountDownLatch done(n);
        for (int i = 0; i < n; ++i) {
            ex.schedule([&, i] {
                out[i] = i;
                done.CountDown();
            });
        }
        done.Await();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_FanOutScheduleLatch)->Arg(16)->Arg(1000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
