// BestK<M>: keeps the k best scored rows of a scan under metric M: the lowest
// scores when MetricT<M>::LowerIsBetter, the highest (inner product) otherwise.
// Offer is the hot-path call: it allocates nothing (room for k rows is reserved
// up front) and replaces the worst kept row only by a strictly better one, so
// among equal scores the first offered are kept. Partial selections made by
// several workers over disjoint rows merge into one. TakeBestFirst orders the
// kept rows best first, equal scores by ascending row.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory_resource>
#include <utility>

#include "api/searcher/SearchStats.h"
#include "distance/MetricE.h"
#include "index/common/Heap.h"

namespace orvane::index {

// A row and its score.
using ScoredRow = std::pair<uint64_t, float>;

template <dist::MetricE M>
class BestK {
    static constexpr bool kLowerIsBetter = dist::MetricT<M>::LowerIsBetter;
    // The root of the heap is the worst kept row.
    template <typename V>
    using WorseFirst = std::conditional_t<kLowerIsBetter, std::less<V>, std::greater<V>>;
    using RowHeap = Heap<ScoredRow, KeyValueHeapComparer<uint64_t, float, WorseFirst>>;

  public:
    explicit BestK(uint64_t k,
                   std::pmr::memory_resource* resource = std::pmr::get_default_resource())
        : _heap(k, resource) {
        _heap.Reserve(k);
    }

    uint64_t K() const { return _heap.Limit(); }
    uint64_t Size() const { return _heap.Size(); }
    bool Full() const { return _heap.Full(); }
    // The worst kept score; only meaningful once Size() > 0.
    float WorstScore() const { return _heap.Top().second; }

    // Whether `score` is better than `other` under M.
    static constexpr bool Better(float score, float other) {
        return kLowerIsBetter ? score < other : score > other;
    }

    void Offer(uint64_t row, float score) { _heap.Push({row, score}); }
    // Offers scores[i] for row firstRow + i, i in [0, n).
    void OfferBatch(const float* scores, uint64_t firstRow, uint64_t n) {
        for (uint64_t i = 0; i < n; ++i) Offer(firstRow + i, scores[i]);
    }
    // Offers every row kept by `other`.
    void Merge(const BestK& other) {
        for (const ScoredRow& r : other._heap.Items()) Offer(r.first, r.second);
    }

    // The kept rows best first; the selection is empty afterwards.
    std::pmr::vector<ScoredRow> TakeBestFirst() {
        std::pmr::vector<ScoredRow> rows = _heap.ExtractSorted();
        std::sort(rows.begin(), rows.end(), [](const ScoredRow& a, const ScoredRow& b) {
            if (a.second != b.second) return Better(a.second, b.second);
            return a.first < b.first;
        });
        return rows;
    }

  private:
    RowHeap _heap;
};

// The rows `best` keeps, best first, as a scan's hits over `scored` rows
// (whose row numbers are the ids); the selection is empty afterwards.
template <dist::MetricE M>
api::ScoredHits TakeScoredHits(BestK<M>& best, uint64_t scored) {
    api::ScoredHits hits;
    hits.topk.reserve(best.Size());
    for (const ScoredRow& hit : best.TakeBestFirst()) hits.topk.push_back({hit.first, hit.second});
    hits.stats.distanceCalculateCount = scored;
    return hits;
}

}  // namespace orvane::index
