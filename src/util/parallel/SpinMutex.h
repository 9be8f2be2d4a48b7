// SpinMutex: a busy-waiting lock for very short critical sections (pushing or
// popping one queue item). It offers lock/unlock so std::unique_lock and
// std::condition_variable_any can use it.
#pragma once

#include <atomic>

#include "orvane/core/NoCopyable.h"

namespace orvane::util {

class SpinMutex : public core::NoCopyable, public core::NoMoveable {
  public:
    SpinMutex() = default;

    void Lock() {
        for (;;) {
            // Test first so waiters spin on a shared cache line without writing.
            if (!_flag.load(std::memory_order_relaxed)) {
                bool expected = false;
                if (_flag.compare_exchange_weak(expected, true, std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
                    return;
                }
            }
            __builtin_ia32_pause();
        }
    }
    bool TryLock() {
        bool expected = false;
        return !_flag.load(std::memory_order_relaxed) &&
               _flag.compare_exchange_strong(expected, true, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void UnLock() { _flag.store(false, std::memory_order_release); }

    // The names the standard lock adapters expect.
    void lock() { Lock(); }
    bool try_lock() { return TryLock(); }
    void unlock() { UnLock(); }

  private:
    std::atomic<bool> _flag{false};
};

}  // namespace orvane::util
