// collectAll: runs a vector of tasks concurrently and collects every result,
// each wrapped in a Try, in input order. Inside a task running on an executor
// the children are queued on that executor (so they spread over its workers)
// and the collecting task resumes on the worker it left; without an executor
// the children start inline one after another and run until they suspend.
#pragma once

#include <atomic>
#include <coroutine>
#include <memory>
#include <utility>
#include <vector>

#include "coro/Lazy.h"
#include "coro/Try.h"
#include "coro/detail/Resume.h"

namespace orvane::coro {

namespace detail {

template <typename T>
class CollectAllAwaiter {
  public:
    CollectAllAwaiter(std::vector<Lazy<T>> tasks, Executor* ex)
        : _tasks(std::move(tasks)), _ex(ex) {}

    bool await_ready() const noexcept { return _tasks.empty(); }

    bool await_suspend(std::coroutine_handle<> parent) {
        auto state = std::make_shared<State>();
        state->results.resize(_tasks.size());
        // One count per child plus one held while the children are launched, so
        // a child finishing early cannot resume the parent mid-launch.
        state->remaining.store(_tasks.size() + 1, std::memory_order_relaxed);
        state->parent = parent;
        state->at = ResumePoint::Here(_ex);
        _state = state;
        std::vector<Lazy<T>> tasks = std::move(_tasks);
        for (size_t i = 0; i < tasks.size(); ++i) {
            auto done = [state, i](Try<T> result) {
                state->results[i] = std::move(result);
                state->arrive();
            };
            if (_ex != nullptr) {
                std::move(tasks[i]).via(_ex).start(std::move(done));
            } else {
                std::move(tasks[i]).start(std::move(done));
            }
        }
        // The parent may already be running elsewhere after this: `this` is not
        // touched again here.
        return !state->arriveLast();
    }

    std::vector<Try<T>> await_resume() {
        if (!_state) return {};
        return std::move(_state->results);
    }

  private:
    struct State {
        std::vector<Try<T>> results;
        std::atomic<size_t> remaining{0};
        std::coroutine_handle<> parent;
        ResumePoint at;

        // Counts one arrival; true when it was the last one.
        bool arriveLast() { return remaining.fetch_sub(1, std::memory_order_acq_rel) == 1; }
        void arrive() {
            if (arriveLast()) ResumeAt(at, parent);
        }
    };

    std::vector<Lazy<T>> _tasks;
    Executor* _ex;
    std::shared_ptr<State> _state;
};

}  // namespace detail

template <typename T>
Lazy<std::vector<Try<T>>> collectAll(std::vector<Lazy<T>> tasks) {
    Executor* ex = co_await CurrentExecutor{};
    co_return co_await detail::CollectAllAwaiter<T>(std::move(tasks), ex);
}

}  // namespace orvane::coro
