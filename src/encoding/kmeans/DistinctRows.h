// DistinctRows: the distinct rows of a k-means training set of short rows, so
// that the assignment step scores each distinct row once per epoch.
//
// Short rows repeat a lot: a PQ chunk of two pixels takes one of at most 65536
// values, and over Fashion-MNIST only about a quarter of a chunk's rows are
// distinct (a chunk at the image border holds a handful of values). The nearest
// centroid of a row depends on its bytes alone, so assigning the distinct rows
// and copying each answer to the rows equal to it gives exactly the assignments
// of scoring every row. Rows are equal when their bytes are: -0.0 and 0.0 are
// distinct rows, a NaN equals a NaN of the same bits.
//
//   DistinctRows distinct(data, dim, resource);
//   if (distinct.Pays()) {
//       UpdateIndexes(distinct.Rows(), perDistinct, centroids, dim, ...);
//       distinct.Spread(perDistinct, indexes);
//   }
//
// Built once per k-means run, on the calling thread; const afterwards.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "distance/MetricE.h"

namespace orvane::quantizer {

class DistinctRows {
  public:
    // Rows of at most this many components are deduplicated; longer ones
    // rarely repeat and cost more to hash than they save.
    static constexpr dist::dimension_t kMaxDim = 8;

    // Finds the distinct rows of `data` (rows of `dim` floats). Gives up,
    // leaving Pays() false, for longer rows, fewer than two rows, or when more
    // than kMaxShare of the rows are distinct.
    DistinctRows(std::span<const float> data, dist::dimension_t dim,
                 std::pmr::memory_resource& resource);

    // Whether the distinct rows were kept (then Count() < the number of rows).
    bool Pays() const { return _pays; }
    uint64_t Count() const { return _rows.size() / (_dim == 0 ? 1 : _dim); }
    // The distinct rows in order of first occurrence, Count() x dim floats.
    std::span<const float> Rows() const { return _rows; }

    // indexes[i] = perDistinct[the distinct row equal to row i], for every row.
    void Spread(std::span<const uint32_t> perDistinct, std::span<uint32_t> indexes) const;

    // Largest share of distinct rows for which deduplication is kept.
    static constexpr double kMaxShare = 0.9;

  private:
    dist::dimension_t _dim;
    bool _pays = false;
    std::pmr::vector<float> _rows;      // distinct rows
    std::pmr::vector<uint32_t> _which;  // per row: its distinct row
};

}  // namespace orvane::quantizer
