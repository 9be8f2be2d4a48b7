// CountingSemaphore: bounds how many coroutine tasks hold a permit at once (for
// example, the number of reads in flight). acquire() suspends the awaiting
// task while no permit is free; release() hands the permit straight to the
// oldest waiter (FIFO, no barging) and resumes it on the worker it left.
#pragma once

#include <coroutine>
#include <cstddef>
#include <deque>
#include <limits>
#include <mutex>

#include "coro/Executor.h"
#include "coro/Lazy.h"
#include "coro/detail/Resume.h"

namespace orvane::coro {

class CountingSemaphore {
  public:
    static constexpr ptrdiff_t max() { return std::numeric_limits<ptrdiff_t>::max(); }

    // A negative count is treated as 0.
    explicit CountingSemaphore(ptrdiff_t count) : _count(count < 0 ? 0 : count) {}
    CountingSemaphore(const CountingSemaphore&) = delete;
    CountingSemaphore& operator=(const CountingSemaphore&) = delete;

    // Takes a permit, suspending the awaiting task while none is free.
    Lazy<void> acquire();
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

      private:
        CountingSemaphore* _sem;
        Executor* _ex;
    };

    struct AcquireOp {
        CountingSemaphore* sem;
        AcquireAwaiter coAwait(Executor* ex) const { return AcquireAwaiter(sem, ex); }
    };

    // Queues the waiter unless a permit became free meanwhile (then takes it
    // and returns false so the task continues).
    bool suspend(std::coroutine_handle<> h, detail::ResumePoint at);

    mutable std::mutex _mu;
    ptrdiff_t _count;
    std::deque<Waiter> _waiters;
};

}  // namespace orvane::coro
