#include "util/parallel/MultiThreadStepProcess.h"

#include <exception>
#include <limits>
#include <memory>

#include "telemetry/Logger.h"
#include "util/parallel/CountDownLatch.h"

namespace orvane::util::detail {

using core::ErrorCode;

namespace {

// Shared by the waiting caller and every task, so a task finishing last may
// still touch it after the caller has returned.
struct StepState {
    explicit StepState(uint64_t taskCount) : latch(static_cast<int>(taskCount)) {}

    std::atomic<ErrorCode> code{ErrorCode::Ok};
    CountDownLatch latch;
};

// Runs one task's body, turning an escaping exception into Internal.
void RunGuarded(const TaskBody& body, uint64_t t, std::atomic<ErrorCode>& code) {
    try {
        body(t, code);
    } catch (const std::exception& e) {
        ORVANE_LOG_ERROR("Step task throws an exception[%s]", e.what());
        RecordFailure(code, ErrorCode::Internal);
    } catch (...) {
        ORVANE_LOG_ERROR("Step task throws an unknown exception");
        RecordFailure(code, ErrorCode::Internal);
    }
}

}  // namespace

ErrorCode RunStepTasks(uint64_t taskCount, coro::Executor& executor, const TaskBody& body,
                       CallerRole role) {
    if (taskCount == 0) return ErrorCode::InvalidArgument;
    if (taskCount > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
        return ErrorCode::InvalidArgument;
    }
    const uint64_t first = role == CallerRole::kRunsFirstTask ? 1 : 0;
    auto state = std::make_shared<StepState>(taskCount - first);
    for (uint64_t t = first; t < taskCount; ++t) {
        // body outlives every task: this function returns only after the latch opens.
        const bool queued = executor.schedule([state, &body, t] {
            RunGuarded(body, t, state->code);
            state->latch.CountDown();
        });
        if (!queued) {
            // This task and the ones after it will never run: count them all
            // down so the wait ends when the tasks already queued are done.
            RecordFailure(state->code, ErrorCode::Unavailable);
            state->latch.CountDown(static_cast<int>(taskCount - t));
            break;
        }
    }
    if (first == 1 && state->code.load(std::memory_order_acquire) == ErrorCode::Ok) {
        RunGuarded(body, 0, state->code);
    }
    state->latch.Await();
    return state->code.load(std::memory_order_acquire);
}

}  // namespace orvane::util::detail
