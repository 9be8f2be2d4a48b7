// syncAwait: runs a task to completion while the calling thread blocks, and
// returns its value (rethrowing the exception it ended with).
//
// Call it only from threads that are not workers of an executor the task needs:
// a worker blocked here cannot run the task's own steps queued behind it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <utility>

#include "coro/Lazy.h"
#include "coro/Try.h"

namespace orvane::coro {

namespace detail {

template <typename T, typename Task>
Try<T> SyncAwaitTry(Task task) {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    Try<T> result;
    task.start([&](Try<T> r) {
        // Notified under the lock, so the waiter cannot return (and free these
        // locals) before this callback is finished with them.
        std::lock_guard<std::mutex> lock(mu);
        result = std::move(r);
        done = true;
        cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return done; });
    return result;
}

}  // namespace detail

// Runs the task on the calling thread until it first suspends, then waits.
template <typename T>
T syncAwait(Lazy<T> lazy) {
    return detail::SyncAwaitTry<T>(std::move(lazy)).value();
}

// Starts the task on its executor and waits.
template <typename T>
T syncAwait(RescheduleLazy<T> lazy) {
    return detail::SyncAwaitTry<T>(std::move(lazy)).value();
}

}  // namespace orvane::coro
