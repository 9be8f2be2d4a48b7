#include "api/searcher/BatchSpreader.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>

namespace orvane::api {
namespace {

// Shared by the caller and its tasks; a task keeps it alive past the call.
struct SpreadState {
    uint64_t n = 0;
    uint64_t sliceRows = 1;
    const SliceFunc* run = nullptr;  // valid while rows remain unclaimed
    std::atomic<uint64_t> next{0};
    // Lowest failed row so far; slices past it are skipped, slices before it
    // still run, so the lowest failing slice is always the one reported.
    std::atomic<uint64_t> errorRow{std::numeric_limits<uint64_t>::max()};
    std::mutex mutex;
    std::condition_variable allDone;
    uint64_t finished = 0;  // rows accounted for, under mutex
    core::Status error;  // of errorRow, under mutex
};

void Drain(SpreadState& state) {
    for (;;) {
        const uint64_t begin = state.next.fetch_add(state.sliceRows, std::memory_order_relaxed);
        if (begin >= state.n) return;
        const uint64_t end = std::min(state.n, begin + state.sliceRows);
        core::Status status;
        if (begin < state.errorRow.load(std::memory_order_relaxed)) {
            status = (*state.run)(begin, end);
        }
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!status.IsOk() && begin < state.errorRow.load(std::memory_order_relaxed)) {
            state.errorRow.store(begin, std::memory_order_relaxed);
            state.error = std::move(status);
        }
        state.finished += end - begin;
        if (state.finished == state.n) state.allDone.notify_all();
    }
}

}  // namespace

core::Status SpreadSlices(uint64_t n, uint64_t sliceRows, uint32_t workers,
                          coro::Executor* executor, const SliceFunc& run) {
    if (n == 0) return core::Status::Ok();
    sliceRows = std::max<uint64_t>(sliceRows, 1);
    const uint64_t slices = (n + sliceRows - 1) / sliceRows;
    if (workers <= 1 || executor == nullptr || slices == 1) return run(0, n);

    auto state = std::make_shared<SpreadState>();
    state->n = n;
    state->sliceRows = sliceRows;
    state->run = &run;
    const uint64_t helpers = std::min<uint64_t>(workers - 1, slices - 1);
    for (uint64_t t = 0; t < helpers; ++t) {
        // A refused task is harmless: the caller claims its rows.
        (void)executor->schedule([state] { Drain(*state); });
    }
    Drain(*state);
    std::unique_lock<std::mutex> lock(state->mutex);
    state->allDone.wait(lock, [&] { return state->finished == state->n; });
    return state->error;
}

}  // namespace orvane::api
