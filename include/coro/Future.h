// Promise<T> / Future<T>: a one-shot value handed from a producer (any thread,
// typically a completion callback) to one consumer. The consumer either blocks
// in Future::get() (only off the executors' workers) or, inside a Lazy,
// suspends with `co_await std::move(future)` and is resumed on the worker it
// left once the value is set.
//
// A promise destroyed without a value completes its future with an exception
// (std::runtime_error), so a waiter never hangs on a lost producer.
#pragma once

#include <condition_variable>
#include <coroutine>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "coro/Executor.h"
#include "coro/Try.h"
#include "coro/detail/Resume.h"

namespace orvane::coro {

namespace detail {

// The state shared by one promise and its future.
template <typename T>
class FutureState {
  public:
    // Stores the result unless one is already there; wakes a blocked getter and
    // resumes a suspended coroutine. False when a result was already set.
    bool setResult(Try<T>&& result) {
        std::coroutine_handle<> waiter;
        ResumePoint where;
        {
            std::lock_guard<std::mutex> lock(_mu);
            if (_result.available()) return false;
            _result = std::move(result);
            waiter = std::exchange(_waiter, nullptr);
            where = _where;
            _cv.notify_all();
        }
        if (waiter) ResumeAt(where, waiter);
        return true;
    }

    bool hasResult() {
        std::lock_guard<std::mutex> lock(_mu);
        return _result.available();
    }

    Try<T> wait() {
        std::unique_lock<std::mutex> lock(_mu);
        _cv.wait(lock, [this] { return _result.available(); });
        return std::move(_result);
    }

    // Registers a suspended coroutine; false when the result is already there
    // (the coroutine then continues without suspending).
    bool suspend(std::coroutine_handle<> h, ResumePoint where) {
        std::lock_guard<std::mutex> lock(_mu);
        if (_result.available()) return false;
        _waiter = h;
        _where = where;
        return true;
    }

    Try<T> take() {
        std::lock_guard<std::mutex> lock(_mu);
        return std::move(_result);
    }

  private:
    std::mutex _mu;
    std::condition_variable _cv;
    Try<T> _result;
    std::coroutine_handle<> _waiter;
    ResumePoint _where;
};

}  // namespace detail

template <typename T>
class Future;

// Awaiter of a future inside a coroutine; resumes on the awaiting worker.
template <typename T>
class FutureAwaiter {
  public:
    FutureAwaiter(std::shared_ptr<detail::FutureState<T>> state, Executor* ex)
        : _state(std::move(state)), _ex(ex) {}

    bool await_ready() const { return _state->hasResult(); }
    bool await_suspend(std::coroutine_handle<> h) {
        return _state->suspend(h, detail::ResumePoint::Here(_ex));
    }
    T await_resume() { return _state->take().value(); }

  private:
    std::shared_ptr<detail::FutureState<T>> _state;
    Executor* _ex;
};

// The consuming end. Move-only; its result can be taken once.
template <typename T>
class Future {
  public:
    Future() = default;
    Future(Future&&) noexcept = default;
    Future& operator=(Future&&) noexcept = default;
    Future(const Future&) = delete;
    Future& operator=(const Future&) = delete;

    // False for a default-constructed or moved-from future.
    bool valid() const { return static_cast<bool>(_state); }
    // True once the promise has delivered a value or an exception.
    bool hasResult() const { return _state && _state->hasResult(); }

    // Blocks until the result is there and returns it (rethrowing a held
    // exception). Must not be called on a worker whose progress the producer
    // depends on.
    T get() { return getTry().value(); }
    Try<T> getTry() {
        if (!_state) return Try<T>(std::make_exception_ptr(std::logic_error("Future is invalid")));
        auto state = std::move(_state);
        return state->wait();
    }

    // Used by Lazy when a future is awaited: resumes on the worker of `ex`.
    FutureAwaiter<T> coAwait(Executor* ex) && {
        if (!_state) {
            auto broken = std::make_shared<detail::FutureState<T>>();
            broken->setResult(std::make_exception_ptr(std::logic_error("Future is invalid")));
            return FutureAwaiter<T>(std::move(broken), ex);
        }
        return FutureAwaiter<T>(std::move(_state), ex);
    }
    // Awaited outside a Lazy: resumes on the thread that sets the value.
    FutureAwaiter<T> operator co_await() && { return std::move(*this).coAwait(nullptr); }

  private:
    template <typename>
    friend class Promise;
    explicit Future(std::shared_ptr<detail::FutureState<T>> state) : _state(std::move(state)) {}

    std::shared_ptr<detail::FutureState<T>> _state;
};

// The producing end. Move-only; set exactly once (later sets are ignored and
// return false) from any thread.
template <typename T>
class Promise {
  public:
    Promise() : _state(std::make_shared<detail::FutureState<T>>()) {}
    Promise(Promise&&) noexcept = default;
    Promise& operator=(Promise&& other) noexcept {
        if (this != &other) {
            abandon();
            _state = std::move(other._state);
            _futureTaken = other._futureTaken;
        }
        return *this;
    }
    Promise(const Promise&) = delete;
    Promise& operator=(const Promise&) = delete;
    ~Promise() { abandon(); }

    // The future of this promise; only the first call returns a valid one.
    Future<T> getFuture() {
        if (!_state || _futureTaken) return Future<T>();
        _futureTaken = true;
        return Future<T>(_state);
    }

    template <typename U = T>
    requires(!std::is_void_v<U>) bool setValue(U value) {
        return _state && _state->setResult(Try<T>(std::move(value)));
    }
    bool setValue() requires std::is_void_v<T> {
        return _state && _state->setResult(Try<void>::Done());
    }
    bool setException(std::exception_ptr error) {
        return _state && _state->setResult(Try<T>(std::move(error)));
    }

  private:
    void abandon() {
        if (_state) {
            _state->setResult(Try<T>(
                std::make_exception_ptr(std::runtime_error("Promise destroyed without a value"))));
            _state.reset();
        }
    }

    std::shared_ptr<detail::FutureState<T>> _state;
    bool _futureTaken = false;
};

}  // namespace orvane::coro
