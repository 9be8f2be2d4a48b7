// NearestCentroids: the nearest-centroid search of the k-means assignment step.
//
// Its answer is defined by the reference scan: the batch L2 kernel (the level
// chosen for this process) scores the row against every centroid, and a scan
// from the float maximum with a strict "less than" keeps the lowest index among
// equal distances (index 0 when no distance is below the float maximum).
//
// To be fast it first scores a row with its own arithmetic, whose rounding
// error against the kernel's is bounded: for small dimensions the differences
// to 8 centroids at a time from a transposed centroid layout, for larger ones
// |c|^2 - 2 x.c from one matrix product per block of rows. Only the centroids
// whose fast score lies within that bound of the best one can be the answer;
// when more than one does, those few are scored again with the kernel itself
// and the reference scan runs over them. Where the kernel sums a short row
// exactly as the transposed path does (one float fused multiply-add per
// component, in order), the fast scores are the kernel's and need no re-check. The result therefore
// equals the reference scan's for every row, ties and non-finite values included.
//
//   NearestCentroids search(centroids, dim, resource);
//   std::pmr::vector<float> scratch(search.ScratchFloats(), &resource);
//   search.Assign(rows, count, out, scratch.data());
//
// Construction copies what it needs; Assign is const, allocates nothing, and
// may run concurrently as long as every caller has its own scratch.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "distance/MetricE.h"

namespace orvane::quantizer {

class NearestCentroids {
  public:
    // `centroids` holds k = centroids.size() / dim rows of `dim` (>= 1) floats.
    NearestCentroids(std::span<const float> centroids, dist::dimension_t dim,
                     std::pmr::memory_resource& resource);

    // Floats of scratch one concurrent caller of Assign needs.
    uint64_t ScratchFloats() const { return _scratchFloats; }

    // out[i] = the nearest centroid of row i of `rows` (count rows of dim floats).
    void Assign(const float* rows, uint64_t count, uint32_t* out, float* scratch) const;

    // Rows up to this dimension take the transposed path, larger ones the matrix path.
    static constexpr dist::dimension_t kMaxTransposedDim = 8;

  private:
    void AssignTransposed(const float* rows, uint64_t count, uint32_t* out, float* scores) const;
    // The fast scores of one row against every centroid into `scores` (one per
    // centroid, blocks of 8), and the smallest of them (NaN scores ignored).
    template <dist::dimension_t D>
    float ScoreTransposed(const float* row, float* scores) const;
    // Scores equal to the kernel's bit for bit: one pass, no re-check.
    template <dist::dimension_t D>
    void AssignTransposedExact(const float* rows, uint64_t count, uint32_t* out,
                               float* scores) const;
    // The nearest centroid of one row from its fast scores (also left in
    // `scores`), as Choose would pick it with this relative and absolute margin.
    template <dist::dimension_t D>
    uint32_t NearestTransposed(const float* row, float* scores, float relative,
                               float absolute) const;
    template <dist::dimension_t D>
    void AssignTransposedFixed(const float* rows, uint64_t count, uint32_t* out,
                               float* scores) const;
    void AssignByProduct(const float* rows, uint64_t count, uint32_t* out, float* scratch) const;
    // The nearest centroid of `row` given its fast scores (k floats, the
    // smallest `best`) and the error bound `margin` of those scores.
    uint32_t Choose(const float* row, const float* scores, float best, float margin) const;
    // The reference scan over every centroid (`all`) or those whose score is
    // not above `threshold`.
    uint32_t Recheck(const float* row, const float* scores, float threshold, bool all) const;

    dist::dimension_t _dim;
    uint64_t _k;
    uint64_t _blocks;     // ceil(k / 8)
    uint64_t _blockRows;  // rows per matrix product (matrix path)
    uint64_t _scratchFloats;
    std::pmr::vector<float> _centroids;   // k x dim, as given (for the re-check)
    std::pmr::vector<float> _transposed;  // transposed path: blocks x dim x 8
    std::pmr::vector<float> _norms;       // matrix path: |c|^2 per centroid
    float _maxNorm = 0.0f;                // matrix path: largest |c|
    bool _exactScores = false;            // transposed scores equal the kernel's
};

}  // namespace orvane::quantizer
