// CountDownLatch: lets one or more threads wait until a number of events have
// happened (for example, until every task of a fan-out has finished).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "orvane/core/NoCopyable.h"

namespace orvane::util {

class CountDownLatch : public core::NoCopyable, public core::NoMoveable {
  public:
    explicit CountDownLatch(int count) : _count(count) {}

    // Decrements by n (default 1); wakes all waiters once the count reaches 0 or below.
    void CountDown(int n = 1) {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_count.fetch_sub(n, std::memory_order_acq_rel) - n <= 0) _cond.notify_all();
    }
    // Blocks until the count is 0 or below.
    void Await() {
        std::unique_lock<std::mutex> lock(_mutex);
        _cond.wait(lock, [this] { return _count.load(std::memory_order_acquire) <= 0; });
    }
    int GetCount() const { return _count.load(std::memory_order_acquire); }

  private:
    std::mutex _mutex;
    std::condition_variable _cond;
    std::atomic<int> _count;
};

}  // namespace orvane::util
