#include "util/parallel/MultiThreadStepProcess.h"

#include <exception>
#include <memory>

#include "coro/Baton.h"
#include "telemetry/Logger.h"

namespace orvane::util::detail {

using core::ErrorCode;

namespace {

// Shared by the waiting caller and every task, so a task finishing last may
// still touch it after the caller has returned. Built on the caller's thread,
// so the baton lets a caller on a worker run its queued items while it waits.
struct StepState {
    explicit StepState(uint64_t taskCount) : remaining(taskCount) {}

    // Counts n tasks as finished; the last one wakes the caller.
    void Finish(uint64_t n) {
        if (remaining.fetch_sub(n, std::memory_order_acq_rel) == n) done.Post();
    }

    std::atomic<ErrorCode> code{ErrorCode::Ok};
    std::atomic<uint64_t> remaining;
    coro::Baton done;
};

}  // namespace

ErrorCode RunStepTasks(uint64_t taskCount, coro::Executor& executor,
                       const std::function<void(uint64_t, std::atomic<ErrorCode>&)>& body) {
    if (taskCount == 0) return ErrorCode::InvalidArgument;
    auto state = std::make_shared<StepState>(taskCount);
    for (uint64_t t = 0; t < taskCount; ++t) {
        // body outlives every task: this function returns only after the latch opens.
        const bool queued = executor.schedule([state, &body, t] {
            try {
                body(t, state->code);
            } catch (const std::exception& e) {
                ORVANE_LOG_ERROR("Step task throws an exception[%s]", e.what());
                RecordFailure(state->code, ErrorCode::Internal);
            } catch (...) {
                ORVANE_LOG_ERROR("Step task throws an unknown exception");
                RecordFailure(state->code, ErrorCode::Internal);
            }
            state->Finish(1);
        });
        if (!queued) {
            // This task and the ones after it will never run: count them all
            // down so the wait ends when the tasks already queued are done. The
            // refusal is the result, even over a failure recorded earlier: the
            // range was not processed because the executor gave up.
            state->code.store(ErrorCode::Unavailable, std::memory_order_release);
            state->Finish(taskCount - t);
            break;
        }
    }
    state->done.Wait();
    return state->code.load(std::memory_order_acquire);
}

}  // namespace orvane::util::detail
