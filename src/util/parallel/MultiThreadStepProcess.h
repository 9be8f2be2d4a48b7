// MultiThreadStepProcess: fans the index range [begin, end) out over `taskCount`
// tasks on an executor. Task t visits begin + t, begin + t + T, ... and calls
// step(t, i); the task index lets the step use per-task scratch space. The
// first failing step's code is returned and makes every task stop early.
//
// The calling thread only waits, unless RunTasksWithCaller lets it run the
// first task itself; on a worker of a pool it runs the items queued to its own
// worker meanwhile, so it may be called from a worker of the same executor.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>

#include "orvane/core/ErrorCode.h"
#include "coro/Executor.h"

namespace orvane::util {

// A task body: called with the task index and the shared error code, which it
// may read to stop early and sets through detail::RecordFailure.
using TaskBody = std::function<void(uint64_t, std::atomic<core::ErrorCode>&)>;

// Who runs task 0 of a fan-out.
enum class CallerRole {
    kWaits,          // every task goes to the executor; the caller only waits
    kRunsFirstTask,  // tasks 1.. go to the executor, the caller runs task 0
};

namespace detail {

// Runs taskCount copies of body and waits for all of them. Handles
// refusals by the executor (Unavailable; the tasks never scheduled are not
// waited for, and the caller then skips its own task) and exceptions escaping
// a task (Internal).
core::ErrorCode RunStepTasks(uint64_t taskCount, coro::Executor& executor, const TaskBody& body,
                             CallerRole role = CallerRole::kWaits);

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

// Runs body for tasks 0 .. taskCount-1: tasks 1.. on the executor and task 0 on
// the calling thread, then waits (never by polling) for the others.
// A single task therefore never leaves the calling thread. Returns the first
// failure: a body's, Unavailable when the executor refuses a task, Internal
// for an escaping exception, InvalidArgument when taskCount is 0.
inline core::ErrorCode RunTasksWithCaller(uint64_t taskCount, coro::Executor& executor,
                                          const TaskBody& body) {
    return detail::RunStepTasks(taskCount, executor, body, CallerRole::kRunsFirstTask);
}

}  // namespace orvane::util
