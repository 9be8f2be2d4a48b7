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
    SliceRows rows;
    uint32_t workers = 1;
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

SliceRows Sane(SliceRows rows) {
    rows.minRows = std::max<uint64_t>(rows.minRows, 1);
    rows.maxRows = std::max(rows.maxRows, rows.minRows);
    return rows;
}

// Claims the next slice: false once every row is claimed.
bool Claim(SpreadState& state, uint64_t& begin, uint64_t& end) {
    uint64_t at = state.next.load(std::memory_order_relaxed);
    for (;;) {
        if (at >= state.n) return false;
        const uint64_t size = NextSliceRows(state.n - at, state.rows, state.workers);
        if (state.next.compare_exchange_weak(at, at + size, std::memory_order_relaxed)) {
            begin = at;
            end = at + size;
            return true;
        }
    }
}

void Drain(SpreadState& state) {
    uint64_t begin = 0;
    uint64_t end = 0;
    while (Claim(state, begin, end)) {
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

uint64_t NextSliceRows(uint64_t remaining, SliceRows rows, uint32_t workers) {
    rows = Sane(rows);
    const uint64_t share = remaining / (2 * uint64_t{std::max<uint32_t>(workers, 1)});
    return std::min(remaining, std::clamp(share, rows.minRows, rows.maxRows));
}

SliceRows BatchSliceRows(uint64_t n, uint32_t workers, uint64_t preferred) {
    if (preferred == 0) return SliceRows{1, kBatchSliceRows};
    workers = std::max<uint32_t>(workers, 1);
    const uint64_t requests = (n + preferred - 1) / preferred;
    const uint64_t slices = (requests + workers - 1) / workers * workers;
    const uint64_t rows = std::max<uint64_t>((n + slices - 1) / slices, 1);
    return SliceRows{rows, rows};
}

core::Status SpreadSlices(uint64_t n, SliceRows rows, uint32_t workers, coro::Executor* executor,
                          const SliceFunc& run) {
    if (n == 0) return core::Status::Ok();
    rows = Sane(rows);
    // At most this many slices: every slice but the last has minRows or more.
    const uint64_t slices = (n + rows.minRows - 1) / rows.minRows;
    if (workers <= 1 || executor == nullptr || slices == 1) return run(0, n);

    auto state = std::make_shared<SpreadState>();
    state->n = n;
    state->rows = rows;
    state->workers = workers;
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
