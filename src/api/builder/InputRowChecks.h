// InputRowChecks: what the builder facade refuses in the rows a caller inserts,
// before they reach a back end. A vector must be finite and its squared norm
// must fit a float (otherwise every distance to it is infinite and its ranking
// arbitrary); a row id must not be all ones, the id that marks a missing hit in
// padded results; and no row id may appear twice, since one row would then come
// back under another's id. Row numbers in messages count from the first row the
// caller passed.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "orvane/core/Status.h"

namespace orvane::api {

// Refuses a row with a NaN or infinite component ("Vector at row [r] holds a NaN
// or infinite value") or a squared norm above the largest float. `firstRow` is
// the position of data[0] among all rows inserted.
core::Status CheckVectorRows(const float* data, uint64_t rows, uint64_t dim, uint64_t firstRow);

// Refuses the id 2^64 - 1, naming its row.
core::Status CheckRowIds(std::span<const uint64_t> ids, uint64_t firstRow);

// Collects (id, row) pairs over one or several batches and reports an id seen
// twice, naming both rows.
class DuplicateIdCheck {
  public:
    void Add(std::span<const uint64_t> ids, uint64_t firstRow);
    // Sorts what was added; InvalidArgument for the smallest duplicated id.
    core::Status Check();

  private:
    std::vector<std::pair<uint64_t, uint64_t>> _idRows;
};

}  // namespace orvane::api
