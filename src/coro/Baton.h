// Baton: a one-shot event that one thread waits for and any thread posts. On a
// worker thread the wait keeps running the work queued to that worker (see
// WorkerHelper), so a worker may wait for work of its own executor; elsewhere
// it blocks on a condition variable.
//
// Construct it on the thread that will wait. Post at most once. The waiter may
// destroy the baton as soon as Wait returns: Post touches nothing afterwards.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "orvane/core/NoCopyable.h"
#include "coro/WorkerHelper.h"

namespace orvane::coro {

class Baton : public core::NoCopyable, public core::NoMoveable {
  public:
    Baton() : _helper(CurrentWorkerHelper()) {}

    void Post() {
        if (_helper != nullptr) {
            _helper->Signal(_done);
            return;
        }
        // Notified under the lock, so the waiter cannot return (and free the
        // baton) before this call is finished with it.
        std::lock_guard<std::mutex> lock(_mu);
        _done.store(true, std::memory_order_release);
        _cv.notify_one();
    }

    void Wait() {
        if (_helper != nullptr) {
            _helper->HelpUntil(_done);
            return;
        }
        std::unique_lock<std::mutex> lock(_mu);
        _cv.wait(lock, [this] { return _done.load(std::memory_order_acquire); });
    }

    bool Posted() const { return _done.load(std::memory_order_acquire); }

  private:
    WorkerHelper* const _helper;
    std::atomic<bool> _done{false};
    std::mutex _mu;
    std::condition_variable _cv;
};

}  // namespace orvane::coro
