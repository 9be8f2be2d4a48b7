#include "coro/Lazy.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "coro/Future.h"
#include "coro/SyncAwait.h"
#include "util/parallel/SimpleExecutor.h"

namespace orvane::coro {
namespace {

Lazy<int> Value(int v) {
    co_return v;
}

Lazy<int> Sum(int depth) {
    if (depth == 0) co_return 0;
    int below = co_await Sum(depth - 1);
    co_return below + depth;
}

Lazy<int> Fails() {
    co_await Value(1);
    throw std::runtime_error("step failed");
}

Lazy<std::string> Catches() {
    try {
        co_await Fails();
    } catch (const std::runtime_error& e) {
        co_return std::string("caught ") + e.what();
    }
    co_return "nothing";
}

Lazy<void> Increment(int* counter) {
    ++*counter;
    co_return;
}

Lazy<Executor*> WhereAmI() {
    co_return co_await CurrentExecutor{};
}

Lazy<Executor*> NestedWhereAmI() {
    co_return co_await WhereAmI();
}

TEST(LazyTest, NothingRunsUntilAwaitedOrStarted) {
    int counter = 0;
    {
        Lazy<void> never = Increment(&counter);
        EXPECT_TRUE(never.valid());
    }
    EXPECT_EQ(counter, 0);
    Lazy<void> once = Increment(&counter);
    bool called = false;
    once.start([&](Try<void> t) {
        called = true;
        EXPECT_TRUE(t.hasValue());
    });
    // Without an executor the task runs inline and completes inside start.
    EXPECT_TRUE(called);
    EXPECT_EQ(counter, 1);
    EXPECT_FALSE(once.valid());
}

TEST(LazyTest, NestedAwaitsAndExceptions) {
    EXPECT_EQ(syncAwait(Sum(100)), 5050);
    EXPECT_EQ(syncAwait(Catches()), "caught step failed");
    EXPECT_THROW(syncAwait(Fails()), std::runtime_error);
    int counter = 0;
    syncAwait(Increment(&counter));
    EXPECT_EQ(counter, 1);

    Try<int> result;
    Fails().start([&](Try<int> t) { result = std::move(t); });
    EXPECT_TRUE(result.hasError());
}

TEST(LazyTest, MoveOnlyResults) {
    auto make = []() -> Lazy<std::unique_ptr<int>> { co_return std::make_unique<int>(9); };
    std::unique_ptr<int> p = syncAwait(make());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, 9);
}

TEST(LazyTest, ViaRunsOnTheExecutorAndChildrenInheritIt) {
    util::SimpleExecutor ex(2);
    EXPECT_EQ(syncAwait(WhereAmI()), nullptr);
    EXPECT_EQ(syncAwait(NestedWhereAmI().via(&ex)), &ex);
    auto onWorker = [](util::SimpleExecutor* e) -> Lazy<bool> {
        co_return e->currentThreadInExecutor();
    };
    EXPECT_TRUE(syncAwait(onWorker(&ex).via(&ex)));
    EXPECT_FALSE(syncAwait(onWorker(&ex)));
    EXPECT_EQ(syncAwait(Sum(50).via(&ex)), 1275);
    EXPECT_THROW(syncAwait(Fails().via(&ex)), std::runtime_error);
}

TEST(LazyTest, AwaitingATaskOnAnotherExecutorComesBack) {
    util::SimpleExecutor home(3);
    util::SimpleExecutor away(2);
    auto onAway = [](util::SimpleExecutor* away) -> Lazy<int> {
        co_return away->currentThreadInExecutor() ? 1 : -1;
    };
    auto parent = [](util::SimpleExecutor* home, util::SimpleExecutor* away,
                     decltype(onAway) child) -> Lazy<bool> {
        const int32_t before = home->pool().GetCurrentId();
        int v = co_await child(away).via(away);
        const int32_t after = home->pool().GetCurrentId();
        co_return v == 1 && before >= 0 && before == after;
    };
    for (int round = 0; round < 10; ++round) {
        EXPECT_TRUE(syncAwait(parent(&home, &away, onAway).via(&home)));
    }
}

TEST(LazyTest, RefusingExecutorFailsTheTaskInsteadOfLosingIt) {
    util::SimpleExecutor stopped(1);
    stopped.waitAllTaskFinish();
    EXPECT_THROW(syncAwait(Value(1).via(&stopped)), std::runtime_error);

    util::SimpleExecutor live(1);
    auto parent = [](Executor* stopped) -> Lazy<std::string> {
        try {
            co_await Value(1).via(stopped);
        } catch (const std::runtime_error& e) {
            co_return e.what();
        }
        co_return "ran";
    };
    EXPECT_EQ(syncAwait(parent(&stopped).via(&live)), "Executor refused the task");
}

TEST(LazyTest, StartViaExecutorCallsBackOnAWorker) {
    util::SimpleExecutor ex(2);
    Promise<bool> promise;
    Future<bool> future = promise.getFuture();
    Value(3).via(&ex).start(
        [&](Try<int> t) { promise.setValue(t.value() == 3 && ex.currentThreadInExecutor()); });
    EXPECT_TRUE(future.get());
}

TEST(LazyTest, ThrowingCallbackIsContained) {
    util::SimpleExecutor ex(1);
    Promise<void> after;
    Future<void> afterFuture = after.getFuture();
    Value(1).via(&ex).start([](Try<int>) { throw std::runtime_error("callback bug"); });
    // The worker survives and keeps serving tasks.
    Value(2).via(&ex).start([&](Try<int>) { after.setValue(); });
    EXPECT_NO_THROW(afterFuture.get());
}

}  // namespace
}  // namespace orvane::coro
