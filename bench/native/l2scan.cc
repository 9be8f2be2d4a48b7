// Reference exact L2 scan for the comparison benchmark, loaded through ctypes.
//
// Deliberately plain: for every query, one pass over the row-major base matrix,
// squared L2 per row with AVX2 fused multiply-adds (four 8-float accumulators),
// and the k best kept in a bounded max-heap. Nothing is precomputed, so the
// figure is what a straightforward vectorised scan over the same bytes gives.
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

inline float HorizontalSum(__m256 v) {
    __m128 lo = _mm256_castps256_ps128(v);
    __m128 hi = _mm256_extractf128_ps(v, 1);
    lo = _mm_add_ps(lo, hi);
    lo = _mm_hadd_ps(lo, lo);
    lo = _mm_hadd_ps(lo, lo);
    return _mm_cvtss_f32(lo);
}

inline float L2Sqr(const float* a, const float* b, size_t d) {
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps(), acc3 = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 32 <= d; i += 32) {
        __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
        __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
        __m256 d2 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16));
        __m256 d3 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24));
        acc0 = _mm256_fmadd_ps(d0, d0, acc0);
        acc1 = _mm256_fmadd_ps(d1, d1, acc1);
        acc2 = _mm256_fmadd_ps(d2, d2, acc2);
        acc3 = _mm256_fmadd_ps(d3, d3, acc3);
    }
    for (; i + 8 <= d; i += 8) {
        __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
        acc0 = _mm256_fmadd_ps(d0, d0, acc0);
    }
    float sum = HorizontalSum(_mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3)));
    for (; i < d; ++i) {
        float t = a[i] - b[i];
        sum += t * t;
    }
    return sum;
}

}  // namespace

extern "C" {

// Writes the k nearest rows of `base` (n x d) to `query`, nearest first, into
// out_dist / out_ids (k entries each; fewer rows than k leave -1 ids).
void l2scan_search(const float* base, uint64_t n, uint64_t d, const float* query, int k,
                   float* out_dist, int64_t* out_ids) {
    std::vector<std::pair<float, int64_t>> heap;
    heap.reserve(static_cast<size_t>(k) + 1);
    for (uint64_t r = 0; r < n; ++r) {
        float dist = L2Sqr(base + r * d, query, d);
        if (heap.size() < static_cast<size_t>(k)) {
            heap.emplace_back(dist, static_cast<int64_t>(r));
            std::push_heap(heap.begin(), heap.end());
        } else if (dist < heap.front().first) {
            std::pop_heap(heap.begin(), heap.end());
            heap.back() = {dist, static_cast<int64_t>(r)};
            std::push_heap(heap.begin(), heap.end());
        }
    }
    std::sort_heap(heap.begin(), heap.end());
    for (int j = 0; j < k; ++j) {
        bool have = static_cast<size_t>(j) < heap.size();
        out_dist[j] = have ? heap[j].first : 0.0f;
        out_ids[j] = have ? heap[j].second : -1;
    }
}

}  // extern "C"
