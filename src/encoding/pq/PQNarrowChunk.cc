#include "encoding/pq/PQNarrowChunk.h"

#include <immintrin.h>

#include <algorithm>
#include <iterator>
#include <limits>

#include "util/FixedWidth.h"

namespace orvane::dist::encode_space {

namespace {

constexpr uint32_t kLanes = 8;
constexpr uint32_t kBlocks = NarrowChunk::kMaxCentroids / kLanes;

float HorizontalMin(__m256 v) {
    __m128 m = _mm_min_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    m = _mm_min_ps(m, _mm_movehl_ps(m, m));
    m = _mm_min_ss(m, _mm_movehdup_ps(m));
    return _mm_cvtss_f32(m);
}

}  // namespace

void NarrowChunk::Load(const float* centroids, uint32_t count, uint32_t width, const float* norms) {
    _width = width;
    count = std::min(count, kMaxCentroids);
    std::fill(std::begin(_transposed), std::end(_transposed), 0.0f);
    std::fill(std::begin(_norms), std::end(_norms), std::numeric_limits<float>::quiet_NaN());
    for (uint32_t c = 0; c < count; ++c) {
        for (uint32_t j = 0; j < width; ++j) {
            _transposed[((c / kLanes) * width + j) * kLanes + c % kLanes] =
                centroids[c * width + j];
        }
        _norms[c] = norms[c];
    }
}

void NarrowChunk::Nearest(const float* x, uint64_t rows, uint64_t rowStride, uint8_t* out,
                          uint64_t outStride) const {
    util::WithFixedWidth<kMaxWidth>(_width, [&](auto width) {
        NearestFixed<decltype(width)::value>(x, rows, rowStride, out, outStride);
    });
}

template <uint32_t W>
void NarrowChunk::NearestFixed(const float* x, uint64_t rows, uint64_t rowStride, uint8_t* out,
                               uint64_t outStride) const {
    const __m256 minusTwo = _mm256_set1_ps(-2.0f);
    const __m256 step = _mm256_set1_ps(static_cast<float>(kLanes));
    const __m256 infinity = _mm256_set1_ps(std::numeric_limits<float>::infinity());
    for (uint64_t r = 0; r < rows; ++r) {
        const float* row = x + r * rowStride;
        __m256 xs[W];
        float xNorm = 0.0f;
        for (uint32_t j = 0; j < W; ++j) {
            xs[j] = _mm256_set1_ps(row[j]);
            xNorm += row[j] * row[j];
        }
        const __m256 xn = _mm256_set1_ps(xNorm);
        // Per lane, a scan from the float maximum with strict "less than"
        // (NaN never wins); min keeps `best` on equality as that test does.
        __m256 best = _mm256_set1_ps(std::numeric_limits<float>::max());
        __m256 bestIndex = _mm256_setzero_ps();
        __m256 index = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
        const float* t = _transposed;
        for (uint32_t b = 0; b < kBlocks; ++b, t += W * kLanes) {
            __m256 dot = _mm256_mul_ps(xs[0], _mm256_loadu_ps(t));
            for (uint32_t j = 1; j < W; ++j) {
                dot = _mm256_fmadd_ps(xs[j], _mm256_loadu_ps(t + j * kLanes), dot);
            }
            const __m256 sum = _mm256_add_ps(xn, _mm256_loadu_ps(_norms + b * kLanes));
            const __m256 d = _mm256_fmadd_ps(minusTwo, dot, sum);  // 2 x.c is exact
            const __m256 less = _mm256_cmp_ps(d, best, _CMP_LT_OQ);
            best = _mm256_min_ps(d, best);
            bestIndex = _mm256_or_ps(_mm256_and_ps(less, index), _mm256_andnot_ps(less, bestIndex));
            index = _mm256_add_ps(index, step);
        }
        // The lowest index among the lanes holding the smallest score.
        const float lowest = HorizontalMin(best);
        const __m256 atLowest = _mm256_cmp_ps(best, _mm256_set1_ps(lowest), _CMP_EQ_OQ);
        const __m256 candidates =
            _mm256_or_ps(_mm256_and_ps(atLowest, bestIndex), _mm256_andnot_ps(atLowest, infinity));
        out[r * outStride] = static_cast<uint8_t>(HorizontalMin(candidates));
    }
}

}  // namespace orvane::dist::encode_space
