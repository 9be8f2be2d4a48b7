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

}  // namespace

ErrorCode RunStepTasks(uint64_t taskCount, coro::Executor& executor,
                       const std::function<void(uint64_t, std::atomic<ErrorCode>&)>& body) {
    if (taskCount == 0) return ErrorCode::InvalidArgument;
    if (taskCount > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
        return ErrorCode::InvalidArgument;
    }
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
            state->latch.CountDown();
        });
        if (!queued) {
            // This task and the ones after it will never run: count them all
            // down so the wait ends when the tasks already queued are done. The
            // refusal is the result, even over a failure recorded earlier: the
            // range was not processed because the executor gave up.
            state->code.store(ErrorCode::Unavailable, std::memory_order_release);
            state->latch.CountDown(static_cast<int>(taskCount - t));
            break;
        }
    }
    state->latch.Await();
    return state->code.load(std::memory_order_acquire);
}

}  // namespace orvane::util::detail
