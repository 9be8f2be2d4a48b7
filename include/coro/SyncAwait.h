// syncAwait: runs a task to completion while the calling thread waits, and
// returns its value (rethrowing the exception it ended with).
//
// Off the executors' workers the caller simply blocks. On a worker (of any
// pool) the caller keeps running the work queued to its own worker while it
// waits, so a task fanned out over the very executor the caller works for
// cannot deadlock on items queued behind the caller.
#pragma once

#include <utility>

#include "coro/Baton.h"
#include "coro/Lazy.h"
#include "coro/Try.h"

namespace orvane::coro {

namespace detail {

template <typename T, typename Task>
Try<T> SyncAwaitTry(Task task) {
    Baton done;
    Try<T> result;
    task.start([&](Try<T> r) {
        result = std::move(r);
        done.Post();
    });
    done.Wait();
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
