#include "coro/Collect.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <vector>

#include "coro/Future.h"
#include "coro/SyncAwait.h"
#include "util/parallel/SimpleExecutor.h"

namespace orvane::coro {
namespace {

Lazy<int> Square(int v) {
    if (v < 0) throw std::invalid_argument("negative");
    co_return v* v;
}

Lazy<int> WaitFor(Future<int> f) {
    co_return co_await std::move(f);
}

std::vector<Lazy<int>> Squares(const std::vector<int>& in) {
    std::vector<Lazy<int>> tasks;
    for (int v : in) tasks.push_back(Square(v));
    return tasks;
}

TEST(CollectTest, ResultsInInputOrderWithErrorsInPlace) {
    util::SimpleExecutor ex(3);
    for (Executor* where : {static_cast<Executor*>(nullptr), static_cast<Executor*>(&ex)}) {
        auto lazy = collectAll(Squares({1, 2, -3, 4}));
        std::vector<Try<int>> r =
            where == nullptr ? syncAwait(std::move(lazy)) : syncAwait(std::move(lazy).via(where));
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[0].value(), 1);
        EXPECT_EQ(r[1].value(), 4);
        EXPECT_TRUE(r[2].hasError());
        EXPECT_THROW(r[2].value(), std::invalid_argument);
        EXPECT_EQ(r[3].value(), 16);
    }
}

TEST(CollectTest, EmptyInput) {
    util::SimpleExecutor ex(1);
    EXPECT_TRUE(syncAwait(collectAll(std::vector<Lazy<int>>())).empty());
    EXPECT_TRUE(syncAwait(collectAll(std::vector<Lazy<int>>()).via(&ex)).empty());
}

TEST(CollectTest, ChildrenRunConcurrentlyAndCompleteInAnyOrder) {
    util::SimpleExecutor ex(2);
    std::vector<Promise<int>> promises(6);
    std::vector<Lazy<int>> tasks;
    for (auto& p : promises) tasks.push_back(WaitFor(p.getFuture()));
    Promise<std::vector<Try<int>>> out;
    Future<std::vector<Try<int>>> outFuture = out.getFuture();
    collectAll(std::move(tasks)).via(&ex).start([&](Try<std::vector<Try<int>>> r) {
        out.setValue(std::move(r).value());
    });
    // Every child is suspended at once; complete them back to front.
    for (int i = 5; i >= 0; --i) promises[i].setValue(i * 10);
    std::vector<Try<int>> r = outFuture.get();
    ASSERT_EQ(r.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(r[i].value(), i * 10);
}

TEST(CollectTest, ChildrenSpreadOverWorkersAndParentReturnsHome) {
    util::SimpleExecutor ex(4);
    auto child = [](util::SimpleExecutor* e) -> Lazy<int32_t> {
        co_return e->pool().GetCurrentId();
    };
    auto parent = [](util::SimpleExecutor* e, decltype(child) c) -> Lazy<bool> {
        const int32_t home = e->pool().GetCurrentId();
        std::vector<Lazy<int32_t>> tasks;
        for (int i = 0; i < 8; ++i) tasks.push_back(c(e));
        auto r = co_await collectAll(std::move(tasks));
        std::set<int32_t> workers;
        for (auto& t : r) workers.insert(t.value());
        co_return home == e->pool().GetCurrentId() && workers.size() > 1 && !workers.count(-1);
    };
    EXPECT_TRUE(syncAwait(parent(&ex, child).via(&ex)));
}

TEST(CollectTest, VoidTasks) {
    util::SimpleExecutor ex(2);
    std::atomic<int> count{0};
    auto bump = [](std::atomic<int>* c) -> Lazy<void> {
        c->fetch_add(1);
        co_return;
    };
    std::vector<Lazy<void>> tasks;
    for (int i = 0; i < 5; ++i) tasks.push_back(bump(&count));
    auto r = syncAwait(collectAll(std::move(tasks)).via(&ex));
    EXPECT_EQ(r.size(), 5u);
    for (auto& t : r) EXPECT_TRUE(t.hasValue());
    EXPECT_EQ(count.load(), 5);
}

}  // namespace
}  // namespace orvane::coro
