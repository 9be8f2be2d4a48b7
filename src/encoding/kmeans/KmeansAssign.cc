#include "encoding/kmeans/KmeansAssign.h"

#include <immintrin.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "distance/Metric.h"
#include "distance/SimdSum.h"
#include "isa/DynamicIsa.h"
#include "util/FixedWidth.h"

namespace orvane::quantizer {

namespace {

using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using RowMap = Eigen::Map<RowMatrix>;
using ConstRowMap = Eigen::Map<const RowMatrix>;

constexpr uint64_t kLanes = 8;
constexpr float kUnitRoundoff = 0x1p-24f;
constexpr float kInf = std::numeric_limits<float>::infinity();
// Fast scores above this (or rows and centroids whose squared norms are) are
// left to the reference scan: the error bounds below assume nothing overflows.
constexpr float kFastLimit = 1e30f;
// Scores of the matrix path for this many floats per block of rows.
constexpr uint64_t kProductScratchFloats = 64 * 1024;

// Relative bound, with a factor 2 to spare, between a transposed-path score
// (differences, squares and sums rounded to float) and the kernel's value:
// both are within (dim + 2) roundings of the exact squared distance.
float TransposedRelativeMargin(dist::dimension_t dim) {
    return 16.0f * static_cast<float>(dim + 4) * kUnitRoundoff;
}

// Absolute slack for results in the subnormal range, where relative bounds fail.
float AbsoluteMargin(dist::dimension_t dim) {
    return static_cast<float>(dim + 4) * 0x1p-126f;
}

float HorizontalMin(__m256 v) {
    __m128 m = _mm_min_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    m = _mm_min_ps(m, _mm_movehl_ps(m, m));
    m = _mm_min_ss(m, _mm_movehdup_ps(m));
    return _mm_cvtss_f32(m);
}

// The fast scores of one row (x: its D components, each broadcast) against
// the 8 centroids of one transposed block t.
template <dist::dimension_t D>
inline __m256 BlockScores(const __m256* x, const float* t) {
    __m256 acc = _mm256_setzero_ps();
    for (dist::dimension_t j = 0; j < D; ++j) {
        const __m256 d = _mm256_sub_ps(x[j], _mm256_loadu_ps(t + j * kLanes));
        acc = _mm256_fmadd_ps(d, d, acc);
    }
    return acc;
}

// Whether the L2 kernel chosen for this process sums rows of fewer than 8
// components as the transposed path does: one float fused multiply-add per
// component in index order, starting from 0 (the AVX2 and AVX-512 levels).
// Decided once, as the kernel's own choice is.
bool KernelSumsInFloatOrder() {
    return isa::ResolvedIsa<dist::MetricBatchDispatcher<dist::MetricE::l2>, const float*,
                            const uint8_t*, uint64_t, dist::dimension_t, uint64_t, float*>() !=
           isa::IsaE::scalar;
}

// |x|^2 in float, 8 lanes at a time (the order does not matter to the bounds).
float SquaredNorm(const float* x, dist::dimension_t dim) {
    __m256 acc = _mm256_setzero_ps();
    dist::dimension_t j = 0;
    for (; j + kLanes <= dim; j += kLanes) {
        const __m256 v = _mm256_loadu_ps(x + j);
        acc = _mm256_fmadd_ps(v, v, acc);
    }
    float sum = dist::HorizontalSum(acc);
    for (; j < dim; ++j) sum = std::fma(x[j], x[j], sum);
    return sum;
}

// Number of the first `count` scores not above `threshold` (NaN excluded), and
// the lowest such index in `first`.
uint64_t CountAtMost(const float* scores, uint64_t count, float threshold, uint32_t& first) {
    const __m256 limit = _mm256_set1_ps(threshold);
    uint64_t total = 0;
    uint64_t firstBlock = count;
    uint64_t c = 0;
    for (; c + kLanes <= count; c += kLanes) {
        const int mask =
            _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(scores + c), limit, _CMP_LE_OQ));
        firstBlock = (mask != 0 && firstBlock == count) ? c : firstBlock;
        total += static_cast<uint64_t>(__builtin_popcount(static_cast<unsigned>(mask)));
    }
    for (; c < count; ++c) {
        const bool hit = scores[c] <= threshold;
        firstBlock = (hit && firstBlock == count) ? c : firstBlock;
        total += hit ? 1 : 0;
    }
    if (total == 1) {
        first = static_cast<uint32_t>(firstBlock);
        while (!(scores[first] <= threshold)) ++first;
    }
    return total;
}

// Whether row i of `rows` (D floats each) has the bytes of row i - 1: the
// same input gets the same nearest centroid, and short sub-vectors repeat
// often (a PQ chunk of pixels at the image border is mostly zeros).
template <dist::dimension_t D>
bool SameAsPrevious(const float* rows, uint64_t i) {
    return i > 0 && std::memcmp(rows + i * D, rows + (i - 1) * D, D * sizeof(float)) == 0;
}

}  // namespace

NearestCentroids::NearestCentroids(std::span<const float> centroids, dist::dimension_t dim,
                                   std::pmr::memory_resource& resource)
    : _dim(dim),
      _k(dim == 0 ? 0 : centroids.size() / dim),
      _blocks((_k + kLanes - 1) / kLanes),
      _blockRows(1),
      _scratchFloats(0),
      _centroids(centroids.begin(), centroids.begin() + _k * dim, &resource),
      _transposed(&resource),
      _norms(&resource) {
    if (_k == 0) return;
    _exactScores = _dim < kLanes && KernelSumsInFloatOrder();
    if (_dim <= kMaxTransposedDim) {
        // Block b holds centroids 8b .. 8b+7, component j of each at [b][j][lane];
        // missing centroids of the last block are NaN, which no score beats.
        _transposed.assign(_blocks * _dim * kLanes, std::numeric_limits<float>::quiet_NaN());
        for (uint64_t c = 0; c < _k; ++c) {
            for (dist::dimension_t j = 0; j < _dim; ++j) {
                _transposed[((c / kLanes) * _dim + j) * kLanes + c % kLanes] =
                    _centroids[c * _dim + j];
            }
        }
        _scratchFloats = _blocks * kLanes;
        return;
    }
    _norms.resize(_k);
    float maxSquared = 0.0f;
    for (uint64_t c = 0; c < _k; ++c) {
        const float* row = _centroids.data() + c * _dim;
        float sum = 0.0f;
        for (dist::dimension_t j = 0; j < _dim; ++j) sum += row[j] * row[j];
        _norms[c] = sum;
        // NaN must reach _maxNorm so that the fast path is switched off.
        maxSquared = (sum > maxSquared || std::isnan(sum)) ? sum : maxSquared;
    }
    _maxNorm = std::sqrt(maxSquared);
    _blockRows = std::max<uint64_t>(16, kProductScratchFloats / _k);
    _scratchFloats = _blockRows * _k;
}

void NearestCentroids::Assign(const float* rows, uint64_t count, uint32_t* out,
                              float* scratch) const {
    if (_k == 0) {
        std::fill(out, out + count, 0u);
        return;
    }
    if (_dim <= kMaxTransposedDim) {
        AssignTransposed(rows, count, out, scratch);
    } else {
        AssignByProduct(rows, count, out, scratch);
    }
}

void NearestCentroids::AssignTransposed(const float* rows, uint64_t count, uint32_t* out,
                                        float* scores) const {
    if (_exactScores) {
        // Exact scores need fewer components than lanes.
        return util::WithFixedWidth<static_cast<uint32_t>(kLanes - 1)>(_dim, [&](auto width) {
            AssignTransposedExact<decltype(width)::value>(rows, count, out, scores);
        });
    }
    util::WithFixedWidth<kMaxTransposedDim>(_dim, [&](auto width) {
        AssignTransposedFixed<decltype(width)::value>(rows, count, out, scores);
    });
}

template <dist::dimension_t D>
float NearestCentroids::ScoreTransposed(const float* row, float* scores) const {
    __m256 x[D];
    for (dist::dimension_t j = 0; j < D; ++j) x[j] = _mm256_set1_ps(row[j]);
    __m256 best = _mm256_set1_ps(kInf);
    const float* t = _transposed.data();
    for (uint64_t b = 0; b < _blocks; ++b, t += D * kLanes) {
        const __m256 acc = BlockScores<D>(x, t);
        _mm256_storeu_ps(scores + b * kLanes, acc);
        best = _mm256_min_ps(acc, best);  // a NaN score leaves `best` as it is
    }
    return HorizontalMin(best);
}

template <dist::dimension_t D>
void NearestCentroids::AssignTransposedExact(const float* rows, uint64_t count, uint32_t* out,
                                             float* scores) const {
    static_assert(D < kLanes);
    for (uint64_t i = 0; i < count; ++i) {
        if (SameAsPrevious<D>(rows, i)) {
            out[i] = out[i - 1];
            continue;
        }
        // The scores are the kernel's, so the reference scan's answer is the
        // first score equal to the smallest, or 0 when none is below the maximum.
        const float lowest = ScoreTransposed<D>(rows + i * D, scores);
        uint32_t index = 0;
        if (lowest < std::numeric_limits<float>::max()) {
            const __m256 target = _mm256_set1_ps(lowest);
            for (uint64_t b = 0;; ++b) {
                const int mask = _mm256_movemask_ps(
                    _mm256_cmp_ps(_mm256_loadu_ps(scores + b * kLanes), target, _CMP_EQ_OQ));
                if (mask != 0) {
                    index = static_cast<uint32_t>(b * kLanes + __builtin_ctz(mask));
                    break;
                }
            }
        }
        out[i] = index;
    }
}

template <dist::dimension_t D>
uint32_t NearestCentroids::NearestTransposed(const float* row, float* scores, float relative,
                                             float absolute) const {
    __m256 x[D];
    for (dist::dimension_t j = 0; j < D; ++j) x[j] = _mm256_set1_ps(row[j]);
    // Per lane (centroids lane, lane + 8, ...): the smallest score, the block
    // it is in and the second smallest, so that whether one centroid alone lies
    // within the margin is known without a second pass over the scores. A NaN
    // score changes none of them: the minimum and maximum return their second
    // operand when one is NaN, and an unordered comparison is false.
    __m256 best = _mm256_set1_ps(kInf);
    __m256 second = best;
    // Block numbers as floats (exact far beyond any k): this file is built
    // for AVX and FMA, which have no 256-bit integer additions.
    __m256 bestBlock = _mm256_setzero_ps();
    __m256 block = _mm256_setzero_ps();
    const __m256 one = _mm256_set1_ps(1.0f);
    const float* t = _transposed.data();
    for (uint64_t b = 0; b < _blocks; ++b, t += D * kLanes) {
        const __m256 acc = BlockScores<D>(x, t);
        _mm256_storeu_ps(scores + b * kLanes, acc);
        const __m256 lower = _mm256_cmp_ps(acc, best, _CMP_LT_OQ);
        second = _mm256_min_ps(_mm256_max_ps(best, acc), second);
        best = _mm256_min_ps(acc, best);
        bestBlock = _mm256_or_ps(_mm256_and_ps(lower, block), _mm256_andnot_ps(lower, bestBlock));
        block = _mm256_add_ps(block, one);
    }
    const float lowest = HorizontalMin(best);
    // No finite score: the bounds say nothing, so every centroid is rescored.
    if (!(lowest <= kFastLimit)) return Recheck(row, scores, kInf, true);
    const float threshold = lowest + (lowest * relative + absolute);
    const __m256 limit = _mm256_set1_ps(threshold);
    const int within = _mm256_movemask_ps(_mm256_cmp_ps(best, limit, _CMP_LE_OQ));
    const int secondWithin = _mm256_movemask_ps(_mm256_cmp_ps(second, limit, _CMP_LE_OQ));
    if (__builtin_popcount(static_cast<unsigned>(within)) == 1 && secondWithin == 0) {
        alignas(32) float blocks[kLanes];
        _mm256_store_ps(blocks, bestBlock);
        const int lane = __builtin_ctz(static_cast<unsigned>(within));
        return static_cast<uint32_t>(blocks[lane]) * static_cast<uint32_t>(kLanes) +
               static_cast<uint32_t>(lane);
    }
    return Recheck(row, scores, threshold, false);
}

template <dist::dimension_t D>
void NearestCentroids::AssignTransposedFixed(const float* rows, uint64_t count, uint32_t* out,
                                             float* scores) const {
    static_assert(D <= kMaxTransposedDim);
    const float relative = TransposedRelativeMargin(D);
    const float absolute = AbsoluteMargin(D);
    for (uint64_t i = 0; i < count; ++i) {
        if (SameAsPrevious<D>(rows, i)) {
            out[i] = out[i - 1];
            continue;
        }
        out[i] = NearestTransposed<D>(rows + i * D, scores, relative, absolute);
    }
}

void NearestCentroids::AssignByProduct(const float* rows, uint64_t count, uint32_t* out,
                                       float* scratch) const {
    const ConstRowMap centroids(_centroids.data(), static_cast<Eigen::Index>(_k), _dim);
    // |x|^2 + |c|^2 - 2 x.c with every product and sum rounded to float is
    // within (dim + 2) roundings of (|x| + |c|)^2 of the exact distance, and so
    // is the kernel's value; the margin is twice their sum, with a factor 2 to spare.
    const float relative = 8.0f * static_cast<float>(_dim + 8) * kUnitRoundoff;
    const float normSlack = 1.0f + 1e-3f + static_cast<float>(_dim + 2) * kUnitRoundoff;
    const float absolute = AbsoluteMargin(_dim);
    const bool centroidsFinite = _maxNorm <= std::sqrt(kFastLimit);
    for (uint64_t begin = 0; begin < count; begin += _blockRows) {
        const auto n = static_cast<Eigen::Index>(std::min(_blockRows, count - begin));
        const float* block = rows + begin * _dim;
        RowMap scores(scratch, n, static_cast<Eigen::Index>(_k));
        scores.noalias() = ConstRowMap(block, n, _dim) * centroids.transpose();
        for (Eigen::Index r = 0; r < n; ++r) {
            const float* row = block + r * _dim;
            float* s = scratch + r * _k;
            const float xx = SquaredNorm(row, _dim);
            if (!centroidsFinite || !(xx <= kFastLimit)) {
                out[begin + r] = Recheck(row, s, kInf, true);
                continue;
            }
            __m256 best = _mm256_set1_ps(kInf);
            const __m256 minusTwo = _mm256_set1_ps(-2.0f);
            uint64_t c = 0;
            for (; c + kLanes <= _k; c += kLanes) {
                const __m256 v = _mm256_fmadd_ps(minusTwo, _mm256_loadu_ps(s + c),
                                                 _mm256_loadu_ps(_norms.data() + c));
                _mm256_storeu_ps(s + c, v);
                best = _mm256_min_ps(v, best);
            }
            float lowest = HorizontalMin(best);
            for (; c < _k; ++c) {
                s[c] = std::fma(-2.0f, s[c], _norms[c]);
                lowest = s[c] < lowest ? s[c] : lowest;
            }
            const float reach = (std::sqrt(xx) + _maxNorm) * normSlack;
            out[begin + r] = Choose(row, s, lowest, relative * reach * reach + absolute);
        }
    }
}

uint32_t NearestCentroids::Choose(const float* row, const float* scores, float best,
                                  float margin) const {
    // No finite score (a row or centroids with huge or non-finite values): the
    // bounds say nothing, so every centroid is scored by the kernel.
    if (!(best <= kFastLimit)) return Recheck(row, scores, kInf, true);
    const float threshold = best + margin;
    uint32_t first = 0;
    if (CountAtMost(scores, _k, threshold, first) == 1) return first;
    return Recheck(row, scores, threshold, false);
}

uint32_t NearestCentroids::Recheck(const float* row, const float* scores, float threshold,
                                   bool all) const {
    float best = std::numeric_limits<float>::max();
    uint32_t bestIndex = 0;
    float distance = 0.0f;
    for (uint64_t c = 0; c < _k; ++c) {
        if (!all && !(scores[c] <= threshold)) continue;
        dist::TagInvoke(dist::BatchEvalTag{}, dist::MetricT<dist::MetricE::l2>{}, row,
                        _centroids.data() + c * _dim, _dim, 1, &distance);
        if (distance < best) {
            best = distance;
            bestIndex = static_cast<uint32_t>(c);
            if (best == 0.0f) break;  // squared distances are never negative
        }
    }
    return bestIndex;
}

}  // namespace orvane::quantizer
