// BatchSpreader: runs the slices of one search call on the calling thread and
// on up to `workers - 1` tasks of an executor.
//
// The rows 0..n-1 are claimed in slices from a shared cursor, so a fast
// thread takes more slices and the caller alone finishes the call when the
// executor's workers are busy elsewhere. A slice takes its share of the rows
// still unclaimed (remaining / (2 x workers)) within [minRows, maxRows]: early
// slices are large, so a kind's per-slice costs are paid rarely, and the last
// ones shrink towards minRows, so the threads run out of work at nearly the
// same moment instead of one thread finishing a large slice alone. Equal
// bounds give slices of one size. The caller waits only for slices that
// another thread has claimed and is running; a task that starts after every
// row was claimed returns without touching the call, so no thread ever waits
// on work still queued to a pool. The lowest failing slice gives the call's
// status; once a slice failed, slices past it are skipped.
#pragma once

#include <cstdint>
#include <functional>

#include "orvane/core/Status.h"
#include "coro/Executor.h"

namespace orvane::api {

// Runs rows [begin, end) on the calling thread.
using SliceFunc = std::function<core::Status(uint64_t begin, uint64_t end)>;

// Bounds of one slice's row count; both are taken as at least 1 and maxRows
// as at least minRows.
struct SliceRows {
    uint64_t minRows = 1;
    uint64_t maxRows = 1;
};

// The rows the next slice takes when `remaining` rows are unclaimed.
uint64_t NextSliceRows(uint64_t remaining, SliceRows rows, uint32_t workers);

// Rows a worker of a search call claims at most when its kind has no
// preference: enough to read a kind's options once for many queries, few
// enough to keep the workers evenly loaded.
inline constexpr uint64_t kBatchSliceRows = 32;

// The slice bounds of a search call of `n` queries on `workers` threads.
// `preferred` is the kind's SearcherBackend::PreferredSliceRows: 0 gives
// slices of 1..kBatchSliceRows rows that shrink towards the end; a kind that
// reads its whole index once per request gets as few requests of at most
// `preferred` rows as it allows, equal in size and a multiple of the workers
// in number, so every worker does the same work.
SliceRows BatchSliceRows(uint64_t n, uint32_t workers, uint64_t preferred);

// `workers` counts the calling thread; 1 (or a null executor) runs every
// slice on the caller.
core::Status SpreadSlices(uint64_t n, SliceRows rows, uint32_t workers, coro::Executor* executor,
                          const SliceFunc& run);

}  // namespace orvane::api
