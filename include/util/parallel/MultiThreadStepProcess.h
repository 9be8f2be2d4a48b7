// MultiThreadStepProcess: fans the index range [begin, end) out over `taskCount`
// tasks on an executor. Task t visits begin + t, begin + t + T, ... and calls
// step(t, i); the task index lets the step use per-task scratch space. The
// first failing step's code is returned and makes every task stop early.
//
// The calling thread only waits; on a worker of a pool it runs the items
// queued to its own worker meanwhile, so it may be called from a worker of the
// same executor.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>

#include "api/ErrorCode.h"
#include "coro/Executor.h"

namespace orvane::util {

namespace detail {

// Schedules taskCount copies of body (called with the task index and the
// shared error code) and waits for all of them. Handles the latch, refusals by
// the executor (Unavailable; the tasks never scheduled are not waited for) and
// exceptions escaping a task (Internal).
core::ErrorCode RunStepTasks(
    uint64_t taskCount, coro::Executor& executor,
    const std::function<void(uint64_t, std::atomic<core::ErrorCode>&)>& body);

// Records `code` as the shared result unless an earlier failure was recorded.
inline void RecordFailure(std::atomic<core::ErrorCode>& shared, core::ErrorCode code) {
    core::ErrorCode expected = core::ErrorCode::Ok;
    shared.compare_exchange_strong(expected, code, std::memory_order_acq_rel);
}

}  // namespace detail

// step: callable (uint64_t task, uint64_t i) -> core::ErrorCode. InvalidArgument
// when taskCount is 0; Unavailable when the executor refuses a task.
template <typename Step>
core::ErrorCode MultiThreadStepProcess(uint64_t begin, uint64_t end, uint64_t taskCount,
                                       coro::Executor& executor, Step&& step) {
    if (taskCount == 0) return core::ErrorCode::InvalidArgument;
    return detail::RunStepTasks(
        taskCount, executor,
        [&step, begin, end, taskCount](uint64_t t, std::atomic<core::ErrorCode>& code) {
            if (begin >= end || end - begin <= t) return;
            for (uint64_t i = begin + t;;) {
                if (code.load(std::memory_order_acquire) != core::ErrorCode::Ok) return;
                const core::ErrorCode rc = step(t, i);
                if (rc != core::ErrorCode::Ok) {
                    detail::RecordFailure(code, rc);
                    return;
                }
                if (end - i <= taskCount) return;  // the next index would pass end
                i += taskCount;
            }
        });
}

}  // namespace orvane::util
