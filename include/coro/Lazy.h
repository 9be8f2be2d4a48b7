// Lazy<T>: a coroutine task that does nothing until it is awaited or started.
// A Lazy remembers the executor it runs on; every awaitable of this runtime
// (another Lazy, a Future, the semaphore) records the current worker when the
// task suspends and resumes the task there (inline when the event happens on
// that very worker). A Lazy without an executor resumes on whichever thread
// completes what it awaited.
//
//   Lazy<int> Child();
//   Lazy<int> Parent() { int v = co_await Child(); co_return v + 1; }
//   std::move(lazy).via(executor)   -> RescheduleLazy<T>, starts on executor
//   std::move(lazy).start(cb)       -> runs now, cb(Try<T>) at the end
//
// An exception leaving the coroutine body is captured into the Try result;
// awaiting a failed Lazy rethrows it in the awaiting coroutine.
#pragma once

#include <coroutine>
#include <exception>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "coro/Executor.h"
#include "coro/Try.h"
#include "coro/detail/Resume.h"
#include "telemetry/Logger.h"

namespace orvane::coro {

template <typename T>
class Lazy;
template <typename T>
class RescheduleLazy;

// `co_await CurrentExecutor{}` inside a Lazy yields the executor it runs on
// (null when it has none), without suspending.
struct CurrentExecutor {
    struct Awaiter {
        Executor* ex;
        bool await_ready() const noexcept { return true; }
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        Executor* await_resume() const noexcept { return ex; }
    };
    Awaiter coAwait(Executor* ex) const { return Awaiter{ex}; }
};

namespace detail {

// Awaitables that want to know the awaiting task's executor expose
// coAwait(Executor*) returning the real awaiter.
template <typename A>
concept ExecutorAwareAwaitable = requires(A&& a, Executor* ex) {
    std::forward<A>(a).coAwait(ex);
};

class LazyPromiseBase {
  public:
    std::suspend_always initial_suspend() noexcept { return {}; }

    // Hands control back to whoever awaited this task: by symmetric transfer on
    // the same thread, or through the awaiting task's executor when it asked
    // for that (it awaited a task running on another executor).
    struct FinalAwaiter {
        bool await_ready() const noexcept { return false; }
        template <typename P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            LazyPromiseBase& p = h.promise();
            if (!p._continuation) return std::noop_coroutine();
            if (!p._resumeViaExecutor) return p._continuation;
            // Copied out first: resuming the continuation may destroy this frame.
            const ResumePoint at = p._resumeAt;
            const std::coroutine_handle<> cont = p._continuation;
            ResumeAt(at, cont);
            return std::noop_coroutine();
        }
        void await_resume() const noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }

    template <typename A>
    decltype(auto) await_transform(A&& awaitable) {
        if constexpr (ExecutorAwareAwaitable<A>) {
            return std::forward<A>(awaitable).coAwait(_executor);
        } else {
            return std::forward<A>(awaitable);
        }
    }

    Executor* _executor = nullptr;
    std::coroutine_handle<> _continuation;
    bool _resumeViaExecutor = false;
    ResumePoint _resumeAt;
};

template <typename T>
class LazyPromise : public LazyPromiseBase {
  public:
    Lazy<T> get_return_object() noexcept;
    template <typename U>
    requires std::is_convertible_v<U&&, T>
    void return_value(U&& value) { _result.setValue(T(std::forward<U>(value))); }
    void unhandled_exception() noexcept { _result.setException(std::current_exception()); }

    Try<T> _result;
};

template <>
class LazyPromise<void> : public LazyPromiseBase {
  public:
    Lazy<void> get_return_object() noexcept;
    void return_void() noexcept { _result.setValue(); }
    void unhandled_exception() noexcept { _result.setException(std::current_exception()); }

    Try<void> _result;
};

template <typename T>
using LazyHandle = std::coroutine_handle<LazyPromise<T>>;

// Owns a child frame while a parent awaits it on the parent's executor.
template <typename T>
class LazyAwaiter {
  public:
    explicit LazyAwaiter(LazyHandle<T> child) : _child(child) {}
    LazyAwaiter(LazyAwaiter&& other) noexcept : _child(std::exchange(other._child, nullptr)) {}
    LazyAwaiter(const LazyAwaiter&) = delete;
    ~LazyAwaiter() {
        if (_child) _child.destroy();
    }

    bool await_ready() const noexcept { return !_child; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> parent) noexcept {
        _child.promise()._continuation = parent;
        return _child;
    }
    T await_resume() {
        if (!_child) throw std::logic_error("Awaited an empty Lazy");
        return std::move(_child.promise()._result).value();
    }

  private:
    LazyHandle<T> _child;
};

// Awaits a task bound to another executor: starts it there and resumes the
// parent on its own worker afterwards.
template <typename T>
class RescheduleAwaiter {
  public:
    RescheduleAwaiter(LazyHandle<T> child, Executor* parentEx)
        : _child(child), _parentEx(parentEx) {}
    RescheduleAwaiter(RescheduleAwaiter&& other) noexcept
        : _child(std::exchange(other._child, nullptr)), _parentEx(other._parentEx) {}
    RescheduleAwaiter(const RescheduleAwaiter&) = delete;
    ~RescheduleAwaiter() {
        if (_child) _child.destroy();
    }

    bool await_ready() const noexcept { return !_child; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> parent) {
        auto& p = _child.promise();
        p._continuation = parent;
        if (p._executor == nullptr) return _child;  // bound to nothing: run inline
        if (_parentEx != nullptr) {
            p._resumeViaExecutor = true;
            p._resumeAt = ResumePoint::Here(_parentEx);
        }
        const LazyHandle<T> child = _child;
        // Once queued, the child may finish and resume the parent (and so
        // destroy this awaiter) on another thread: nothing here is touched after.
        if (p._executor->schedule([child] { child.resume(); })) return std::noop_coroutine();
        _refused = true;  // nothing will run the child: resume the parent now
        return parent;
    }
    T await_resume() {
        if (!_child) throw std::logic_error("Awaited an empty Lazy");
        if (_refused) throw std::runtime_error("Executor refused the task");
        return std::move(_child.promise()._result).value();
    }

  private:
    LazyHandle<T> _child;
    Executor* _parentEx;
    bool _refused = false;
};

// A self-destroying coroutine that drives a Lazy to completion and hands its
// result to a callback.
struct DetachedTask {
    struct promise_type {
        DetachedTask get_return_object() noexcept { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
};

template <typename T>
class LaunchAwaiter {
  public:
    explicit LaunchAwaiter(LazyHandle<T> child) : _child(child) {}

    bool await_ready() const noexcept { return !_child; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> launcher) {
        auto& p = _child.promise();
        p._continuation = launcher;
        Executor* ex = p._executor;
        if (ex == nullptr) return _child;  // run inline until it first suspends
        const LazyHandle<T> child = _child;
        if (ex->schedule([child] { child.resume(); })) return std::noop_coroutine();
        _refused = true;
        return launcher;
    }
    Try<T> await_resume() {
        if (!_child)
            return Try<T>(std::make_exception_ptr(std::logic_error("Started an empty Lazy")));
        if (_refused) {
            return Try<T>(std::make_exception_ptr(std::runtime_error("Executor refused the task")));
        }
        return std::move(_child.promise()._result);
    }

  private:
    LazyHandle<T> _child;
    bool _refused = false;
};

template <typename T, typename F>
DetachedTask Launch(Lazy<T> lazy, F callback) {
    Try<T> result = co_await LaunchAwaiter<T>(lazy._coro);
    try {
        callback(std::move(result));
    } catch (const std::exception& e) {
        ORVANE_LOG_ERROR("Lazy completion callback throws an exception[%s]", e.what());
    } catch (...) {
        ORVANE_LOG_ERROR("Lazy completion callback throws an unknown exception");
    }
}

}  // namespace detail

template <typename T = void>
class [[nodiscard]] Lazy {
  public:
    using promise_type = detail::LazyPromise<T>;
    using ValueType = T;

    Lazy() = default;
    Lazy(Lazy&& other) noexcept : _coro(std::exchange(other._coro, nullptr)) {}
    Lazy& operator=(Lazy&& other) noexcept {
        if (this != &other) {
            reset();
            _coro = std::exchange(other._coro, nullptr);
        }
        return *this;
    }
    Lazy(const Lazy&) = delete;
    Lazy& operator=(const Lazy&) = delete;
    ~Lazy() { reset(); }

    // False for a default-constructed or consumed task.
    bool valid() const { return static_cast<bool>(_coro); }

    // Binds the task to ex: it will start there and resume there.
    RescheduleLazy<T> via(Executor* ex) && {
        if (_coro) _coro.promise()._executor = ex;
        return RescheduleLazy<T>(std::move(*this));
    }

    // Runs the task now on the calling thread (until it first suspends) and
    // calls callback(Try<T>) when it ends. Consumes the task.
    template <typename F>
    void start(F&& callback) {
        detail::Launch(std::move(*this), std::forward<F>(callback));
    }

    // Used by an awaiting Lazy: the child runs on the parent's executor.
    detail::LazyAwaiter<T> coAwait(Executor* ex) && {
        if (_coro) _coro.promise()._executor = ex;
        return detail::LazyAwaiter<T>(std::exchange(_coro, nullptr));
    }

  private:
    friend class detail::LazyPromise<T>;
    friend class RescheduleLazy<T>;
    template <typename U, typename F>
    friend detail::DetachedTask detail::Launch(Lazy<U>, F);

    explicit Lazy(detail::LazyHandle<T> coro) : _coro(coro) {}
    void reset() {
        if (_coro) _coro.destroy();
        _coro = nullptr;
    }

    detail::LazyHandle<T> _coro;
};

// A Lazy bound to an executor: started or awaited, it begins on that executor.
template <typename T = void>
class [[nodiscard]] RescheduleLazy {
  public:
    RescheduleLazy() = default;
    RescheduleLazy(RescheduleLazy&&) noexcept = default;
    RescheduleLazy& operator=(RescheduleLazy&&) noexcept = default;

    bool valid() const { return _lazy.valid(); }
    Executor* executor() const { return _lazy._coro ? _lazy._coro.promise()._executor : nullptr; }

    // Queues the task on its executor; callback(Try<T>) runs where it ends.
    // When the executor refuses, the callback gets a std::runtime_error at once.
    template <typename F>
    void start(F&& callback) {
        _lazy.start(std::forward<F>(callback));
    }

    // Used by an awaiting Lazy: the child runs on its own executor and the
    // parent resumes on the worker it left.
    detail::RescheduleAwaiter<T> coAwait(Executor* parentEx) && {
        return detail::RescheduleAwaiter<T>(std::exchange(_lazy._coro, nullptr), parentEx);
    }

  private:
    friend class Lazy<T>;
    explicit RescheduleLazy(Lazy<T>&& lazy) : _lazy(std::move(lazy)) {}

    Lazy<T> _lazy;
};

namespace detail {

template <typename T>
Lazy<T> LazyPromise<T>::get_return_object() noexcept {
    return Lazy<T>(LazyHandle<T>::from_promise(*this));
}

inline Lazy<void> LazyPromise<void>::get_return_object() noexcept {
    return Lazy<void>(LazyHandle<void>::from_promise(*this));
}

}  // namespace detail
}  // namespace orvane::coro
