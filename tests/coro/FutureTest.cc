#include "coro/Future.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "api/Status.h"
#include "coro/Lazy.h"
#include "coro/SyncAwait.h"
#include "util/parallel/SimpleExecutor.h"

namespace orvane::coro {
namespace {

using core::ErrorCode;
using core::Status;

TEST(FutureTest, GetBlocksUntilAnotherThreadSets) {
    Promise<Status> promise;
    Future<Status> future = promise.getFuture();
    EXPECT_TRUE(future.valid());
    EXPECT_FALSE(future.hasResult());
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(promise.setValue(Status(ErrorCode::IoError, "read failed")));
    });
    Status st = future.get();
    producer.join();
    EXPECT_EQ(st.Code(), ErrorCode::IoError);
    EXPECT_EQ(st.Message(), "read failed");
    EXPECT_FALSE(future.valid());  // the result is taken once
}

TEST(FutureTest, SetOnceAndOnlyOneFuture) {
    Promise<int> promise;
    Future<int> first = promise.getFuture();
    Future<int> second = promise.getFuture();
    EXPECT_FALSE(second.valid());
    EXPECT_TRUE(promise.setValue(1));
    EXPECT_FALSE(promise.setValue(2));
    EXPECT_FALSE(promise.setException(std::make_exception_ptr(std::runtime_error("late"))));
    EXPECT_TRUE(first.hasResult());
    EXPECT_EQ(first.get(), 1);
    EXPECT_THROW(second.get(), std::logic_error);
}

TEST(FutureTest, ExceptionAndBrokenPromise) {
    Promise<int> failing;
    Future<int> f1 = failing.getFuture();
    failing.setException(std::make_exception_ptr(std::runtime_error("device gone")));
    EXPECT_THROW(f1.get(), std::runtime_error);

    Future<int> f2;
    {
        Promise<int> abandoned;
        f2 = abandoned.getFuture();
    }
    Try<int> t = f2.getTry();
    ASSERT_TRUE(t.hasError());
    EXPECT_THROW(t.value(), std::runtime_error);

    // Move-assigning over a promise abandons the old one.
    Promise<int> p;
    Future<int> f3 = p.getFuture();
    p = Promise<int>();
    EXPECT_TRUE(f3.hasResult());
    EXPECT_THROW(f3.get(), std::runtime_error);
}

TEST(FutureTest, VoidPromise) {
    Promise<void> promise;
    Future<void> future = promise.getFuture();
    EXPECT_TRUE(promise.setValue());
    EXPECT_NO_THROW(future.get());
}

Lazy<int> AwaitFuture(Future<int> future) {
    co_return co_await std::move(future) * 2;
}

TEST(FutureTest, AwaitedInsideALazy) {
    // Already set: no suspension.
    Promise<int> ready;
    Future<int> readyFuture = ready.getFuture();
    ready.setValue(21);
    EXPECT_EQ(syncAwait(AwaitFuture(std::move(readyFuture))), 42);

    // Set later from another thread while the task runs on an executor.
    util::SimpleExecutor ex(4);
    Promise<int> later;
    Future<int> laterFuture = later.getFuture();
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        later.setValue(5);
    });
    EXPECT_EQ(syncAwait(AwaitFuture(std::move(laterFuture)).via(&ex)), 10);
    producer.join();

    // An exception set on the promise surfaces in the awaiting task.
    Promise<int> failing;
    Future<int> failingFuture = failing.getFuture();
    failing.setException(std::make_exception_ptr(std::invalid_argument("no")));
    EXPECT_THROW(syncAwait(AwaitFuture(std::move(failingFuture)).via(&ex)), std::invalid_argument);

    // An invalid future fails instead of hanging.
    EXPECT_THROW(syncAwait(AwaitFuture(Future<int>())), std::logic_error);
}

TEST(FutureTest, ResumesOnTheWorkerItLeft) {
    util::SimpleExecutor ex(4);
    for (int round = 0; round < 20; ++round) {
        Promise<Status> promise;
        Future<Status> future = promise.getFuture();
        auto task = [](util::SimpleExecutor* ex, Future<Status> f) -> Lazy<bool> {
            const int32_t before = ex->pool().GetCurrentId();
            Status st = co_await std::move(f);
            const int32_t after = ex->pool().GetCurrentId();
            co_return before >= 0 && before == after&& st.IsOk();
        };
        std::thread producer([&] { promise.setValue(Status::Ok()); });
        EXPECT_TRUE(syncAwait(task(&ex, std::move(future)).via(&ex)));
        producer.join();
    }
}

}  // namespace
}  // namespace orvane::coro
