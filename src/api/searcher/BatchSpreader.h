// BatchSpreader: runs the slices of one search call on the calling thread and
// on up to `workers - 1` tasks of an executor.
//
// The rows 0..n-1 are claimed in slices of `sliceRows` from a shared counter,
// so a fast thread takes more slices and the caller alone finishes the call
// when the executor's workers are busy elsewhere. The caller waits only for
// slices that another thread has claimed and is running; a task that starts
// after every row was claimed returns without touching the call, so no thread
// ever waits on work still queued to a pool. The lowest failing slice gives
// the call's status; once a slice failed, slices past it are skipped.
#pragma once

#include <cstdint>
#include <functional>

#include "orvane/core/Status.h"
#include "coro/Executor.h"

namespace orvane::api {

// Runs rows [begin, end) on the calling thread.
using SliceFunc = std::function<core::Status(uint64_t begin, uint64_t end)>;

// `workers` counts the calling thread; 1 (or a null executor) runs every
// slice on the caller.
core::Status SpreadSlices(uint64_t n, uint64_t sliceRows, uint32_t workers,
                          coro::Executor* executor, const SliceFunc& run);

}  // namespace orvane::api
