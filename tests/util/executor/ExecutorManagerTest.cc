// The manager is a process singleton whose executors are sized on their first
// request, so this binary owns it: the sequence below must see it untouched.
#include "util/ExecutorManager.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "util/parallel/SimpleExecutor.h"

namespace orvane::util {
namespace {

uint32_t ThreadsOf(const std::shared_ptr<coro::Executor>& ex) {
    auto* simple = dynamic_cast<SimpleExecutor*>(ex.get());
    EXPECT_NE(simple, nullptr);
    return simple == nullptr ? 0 : simple->pool().GetThreadNum();
}

TEST(ExecutorManagerTest, ThreadCountIsReadFromTheEnvironmentOnEveryCall) {
    auto& manager = ExecutorManager::Instance();
    EXPECT_EQ(&manager, &ExecutorManager::Instance());

    // Unset: one worker per processor this process may run on.
    cpu_set_t allowed;
    ASSERT_EQ(::sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    const uint32_t hardware = static_cast<uint32_t>(std::max(1, CPU_COUNT(&allowed)));
    EXPECT_EQ(ExecutorManager::DefaultThreadCount(), hardware);
    ::unsetenv("ORVANE_EXECUTOR_THREAD_COUNT");
    auto io = manager.Get(ExecutorPurpose::IO);
    ASSERT_TRUE(io.IsOk());
    EXPECT_EQ(ThreadsOf(io.Value()), hardware);
    EXPECT_EQ(io.Value()->name(), "default");

    // Unusable text falls back to the same default.
    ::setenv("ORVANE_EXECUTOR_THREAD_COUNT", "many", 1);
    auto compute = manager.Get(ExecutorPurpose::Compute);
    ASSERT_TRUE(compute.IsOk());
    EXPECT_EQ(ThreadsOf(compute.Value()), hardware);

    // 4 before the first request of a purpose: 4 workers for it.
    ::setenv("ORVANE_EXECUTOR_THREAD_COUNT", "4", 1);
    auto search = manager.Get(ExecutorPurpose::Search);
    ASSERT_TRUE(search.IsOk());
    EXPECT_EQ(ThreadsOf(search.Value()), 4u);
    auto searchAgain = manager.Get(ExecutorPurpose::Search);
    ASSERT_TRUE(searchAgain.IsOk());
    EXPECT_EQ(searchAgain.Value().get(), search.Value().get());
    auto build = manager.Get(ExecutorPurpose::Build);
    ASSERT_TRUE(build.IsOk());
    EXPECT_NE(build.Value().get(), search.Value().get());
    EXPECT_EQ(ThreadsOf(build.Value()), 4u);

    // The size of an existing executor stays what it was.
    auto ioAgain = manager.Get(ExecutorPurpose::IO);
    ASSERT_TRUE(ioAgain.IsOk());
    EXPECT_EQ(ioAgain.Value().get(), io.Value().get());
    EXPECT_EQ(ThreadsOf(ioAgain.Value()), hardware);

    // 0: every request fails, even for purposes that already exist.
    ::setenv("ORVANE_EXECUTOR_THREAD_COUNT", "0", 1);
    for (auto purpose : {ExecutorPurpose::IO, ExecutorPurpose::Search, ExecutorPurpose::Build,
                         ExecutorPurpose::Compute}) {
        auto failed = manager.Get(purpose);
        ASSERT_FALSE(failed.IsOk());
        EXPECT_EQ(failed.GetStatus().Code(), core::ErrorCode::InvalidArgument);
        EXPECT_EQ(failed.GetStatus().Message(), "Thread count must be > 0");
    }
    ::unsetenv("ORVANE_EXECUTOR_THREAD_COUNT");
    auto back = manager.Get(ExecutorPurpose::Search);
    ASSERT_TRUE(back.IsOk());
    EXPECT_EQ(back.Value().get(), search.Value().get());

    // No executor has started threads yet: nothing was given work.
    for (auto purpose : {ExecutorPurpose::IO, ExecutorPurpose::Search, ExecutorPurpose::Build,
                         ExecutorPurpose::Compute}) {
        auto ex = manager.Get(purpose);
        ASSERT_TRUE(ex.IsOk());
        EXPECT_FALSE(dynamic_cast<SimpleExecutor&>(*ex.Value()).pool().IsStarted());
    }

    // The executors actually run work, starting on the first schedule.
    std::atomic<bool> ran{false};
    std::atomic<bool> done{false};
    ASSERT_TRUE(search.Value()->schedule([&] {
        ran.store(search.Value()->currentThreadInExecutor());
        done.store(true);
    }));
    while (!done.load()) std::this_thread::yield();
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(dynamic_cast<SimpleExecutor&>(*search.Value()).pool().IsStarted());
    EXPECT_FALSE(dynamic_cast<SimpleExecutor&>(*io.Value()).pool().IsStarted());
}

TEST(ExecutorManagerStress, ConcurrentFirstRequestsShareOneExecutor) {
    auto& manager = ExecutorManager::Instance();
    std::vector<std::thread> threads;
    std::vector<coro::Executor*> seen(8, nullptr);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 200; ++k) {
                auto ex = manager.Get(ExecutorPurpose::Build);
                ASSERT_TRUE(ex.IsOk());
                if (seen[t] == nullptr) seen[t] = ex.Value().get();
                EXPECT_EQ(seen[t], ex.Value().get());
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<coro::Executor*>(seen.begin(), seen.end()).size(), 1u);
}

// Under taskset or a cpuset the default follows the processors the process
// may use, not the machine's: more workers than that only take turns.
TEST(ExecutorManagerTest, DefaultThreadCountFollowsTheAffinityMask) {
    cpu_set_t original;
    ASSERT_EQ(::sched_getaffinity(0, sizeof(original), &original), 0);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &original)) cpus.push_back(cpu);
    }
    if (cpus.size() < 2) GTEST_SKIP() << "needs two usable processors";
    for (size_t keep : {size_t{1}, size_t{2}, cpus.size()}) {
        cpu_set_t narrowed;
        CPU_ZERO(&narrowed);
        for (size_t i = 0; i < keep; ++i) CPU_SET(cpus[i], &narrowed);
        ASSERT_EQ(::sched_setaffinity(0, sizeof(narrowed), &narrowed), 0);
        EXPECT_EQ(ExecutorManager::DefaultThreadCount(), keep) << "processors kept: " << keep;
    }
    ASSERT_EQ(::sched_setaffinity(0, sizeof(original), &original), 0);
}

}  // namespace
}  // namespace orvane::util
