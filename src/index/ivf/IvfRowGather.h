// GatherRows: rearranges the rows an opened evaluator stores so that the scan
// of one IVF list reads one contiguous range (IvfSearcherBackend.h):
// afterwards row i holds what row order[i] held, in every per-row array the
// evaluator keeps (encoding/RowArrays.h). `order` must have Count() entries,
// each below Count(); otherwise InvalidArgument and nothing changes.
// FailedPrecondition before Open. Runs once per open, not while other threads
// score; the copies it makes come from `scratch`.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>

#include "encoding/QuantizerEvaluatorBase.h"
#include "orvane/core/Status.h"

namespace orvane::index::ivf {

core::Status GatherRows(quantizer::QuantizerEvaluatorBase& evaluator,
                        std::span<const uint64_t> order, std::pmr::memory_resource& scratch);

}  // namespace orvane::index::ivf
