#include "coro/CountingSemaphore.h"

#include <utility>

namespace orvane::coro {

Lazy<void> CountingSemaphore::acquire() {
    co_await AcquireOp{this};
}

bool CountingSemaphore::tryAcquire() {
    std::lock_guard<std::mutex> lock(_mu);
    if (_count <= 0) return false;
    --_count;
    return true;
}

bool CountingSemaphore::suspend(std::coroutine_handle<> h, detail::ResumePoint at) {
    std::lock_guard<std::mutex> lock(_mu);
    if (_count > 0) {
        --_count;
        return false;
    }
    _waiters.push_back(Waiter{h, at});
    return true;
}

void CountingSemaphore::release() {
    Waiter waiter;
    {
        std::lock_guard<std::mutex> lock(_mu);
        if (_waiters.empty()) {
            if (_count < max()) ++_count;
            return;
        }
        waiter = std::move(_waiters.front());
        _waiters.pop_front();
    }
    // Queued rather than run inline, so a releasing task is not held up by the
    // waiter it wakes and long release chains do not nest on one stack.
    detail::ResumeAt(waiter.at, waiter.handle, /*prompt=*/false);
}

ptrdiff_t CountingSemaphore::available() const {
    std::lock_guard<std::mutex> lock(_mu);
    return _count;
}

size_t CountingSemaphore::waiters() const {
    std::lock_guard<std::mutex> lock(_mu);
    return _waiters.size();
}

}  // namespace orvane::coro
