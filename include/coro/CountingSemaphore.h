// CountingSemaphore: bounds how many coroutine tasks hold a permit at once (for
// example, the number of reads in flight). acquire() suspends the awaiting
// task while no permit is free; release() hands the permit straight to the
// oldest waiter (FIFO, no barging) and resumes it on the worker it left.
//
// Prefer the scoped form, which returns the permit on every path, including
// an exception thrown while it is held:
//
//   SemaphorePermit permit = co_await sem.acquireScoped();
//   ...                      // may throw
//   // released here, or earlier with permit.release()
#pragma once

#include <coroutine>
#include <cstddef>
#include <deque>
#include <limits>
#include <mutex>
#include <utility>

#include "coro/Executor.h"
#include "coro/Lazy.h"
#include "coro/detail/Resume.h"

namespace orvane::coro {

class CountingSemaphore;

// Owns one permit of a CountingSemaphore and returns it when destroyed or
// released. Move-only; an empty permit owns nothing.
class [[nodiscard]] SemaphorePermit {
  public:
    SemaphorePermit() = default;
    // Adopts a permit the caller already took from sem.
    explicit SemaphorePermit(CountingSemaphore* sem) noexcept : _sem(sem) {}
    SemaphorePermit(SemaphorePermit&& other) noexcept : _sem(std::exchange(other._sem, nullptr)) {}
    SemaphorePermit& operator=(SemaphorePermit&& other) noexcept {
        if (this != &other) {
            release();
            _sem = std::exchange(other._sem, nullptr);
        }
        return *this;
    }
    SemaphorePermit(const SemaphorePermit&) = delete;
    SemaphorePermit& operator=(const SemaphorePermit&) = delete;
    ~SemaphorePermit() { release(); }

    bool owns() const { return _sem != nullptr; }
    // Returns the permit now; a second call does nothing.
    void release() noexcept;

  private:
    CountingSemaphore* _sem = nullptr;
};

class CountingSemaphore {
  public:
    static constexpr ptrdiff_t max() { return std::numeric_limits<ptrdiff_t>::max(); }

    // A semaphore without permits could only ever block, so a count below 1
    // (a caller's "no limit given") is raised to 1.
    explicit CountingSemaphore(ptrdiff_t count) : _count(count < 1 ? 1 : count) {}
    CountingSemaphore(const CountingSemaphore&) = delete;
    CountingSemaphore& operator=(const CountingSemaphore&) = delete;

    // Takes a permit, suspending the awaiting task while none is free. The
    // caller must release() it on every path; acquireScoped() does that.
    Lazy<void> acquire();
    // `co_await acquireScoped()` inside a Lazy: takes a permit (suspending
    // while none is free) and yields a SemaphorePermit that returns it. Needs
    // no coroutine frame of its own, so it allocates nothing.
    auto acquireScoped() { return ScopedAcquireOp{this}; }
    // Takes a permit when one is free; never suspends.
    bool tryAcquire();
    // Returns a permit: resumes the oldest waiter, or adds to the free count.
    void release();
    // The number of free permits right now.
    ptrdiff_t available() const;
    // The number of tasks suspended in acquire() right now.
    size_t waiters() const;

  private:
    struct Waiter {
        std::coroutine_handle<> handle;
        detail::ResumePoint at;
    };

    class AcquireAwaiter {
      public:
        AcquireAwaiter(CountingSemaphore* sem, Executor* ex) : _sem(sem), _ex(ex) {}
        bool await_ready() { return _sem->tryAcquire(); }
        bool await_suspend(std::coroutine_handle<> h) {
            return _sem->suspend(h, detail::ResumePoint::Here(_ex));
        }
        void await_resume() const noexcept {}

      protected:
        CountingSemaphore* semaphore() const { return _sem; }

      private:
        CountingSemaphore* _sem;
        Executor* _ex;
    };

    struct AcquireOp {
        CountingSemaphore* sem;
        AcquireAwaiter coAwait(Executor* ex) const { return AcquireAwaiter(sem, ex); }
    };

    class ScopedAcquireAwaiter : public AcquireAwaiter {
      public:
        using AcquireAwaiter::AcquireAwaiter;
        SemaphorePermit await_resume() const noexcept { return SemaphorePermit(semaphore()); }
    };

    struct ScopedAcquireOp {
        CountingSemaphore* sem;
        ScopedAcquireAwaiter coAwait(Executor* ex) const { return ScopedAcquireAwaiter(sem, ex); }
    };

    // Queues the waiter unless a permit became free meanwhile (then takes it
    // and returns false so the task continues).
    bool suspend(std::coroutine_handle<> h, detail::ResumePoint at);

    mutable std::mutex _mu;
    ptrdiff_t _count;
    std::deque<Waiter> _waiters;
};

inline void SemaphorePermit::release() noexcept {
    if (_sem != nullptr) std::exchange(_sem, nullptr)->release();
}

}  // namespace orvane::coro
