// Heap: a binary heap of key-value pairs with an optional size limit, ordered by a
// comparer on the values. With KeyValueHeapComparer<K, V, std::less> the root is
// the pair with the largest value (a max-heap); with std::greater the smallest.
//
// While the heap holds fewer than `Limit()` pairs, Push adds the pair. When it is
// full, Push replaces the root only if the comparer ranks the new pair strictly
// below the root (for a max-heap: the root's value is strictly greater) and sifts
// it down; otherwise the pair is dropped. A heap limited to k pairs therefore
// keeps the k lowest-ranked pairs it was offered, the first offered winning ties.
//
// The container draws its memory from a polymorphic resource (the process default
// when none is given) and allocates only when it grows past its reserved size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <span>
#include <utility>
#include <vector>

namespace orvane::index {

// Orders key-value pairs by their values with Compare<V>.
template <typename K, typename V, template <typename> class Compare>
struct KeyValueHeapComparer {
    bool operator()(const std::pair<K, V>& a, const std::pair<K, V>& b) const {
        return Compare<V>{}(a.second, b.second);
    }
};

template <typename T, typename Comparer>
class Heap {
  public:
    static constexpr size_t kUnlimited = std::numeric_limits<size_t>::max();

    explicit Heap(std::pmr::memory_resource* resource = std::pmr::get_default_resource())
        : _container(resource) {}
    explicit Heap(size_t limit,
                  std::pmr::memory_resource* resource = std::pmr::get_default_resource())
        : _limit(limit), _container(resource) {}

    size_t Size() const { return _container.size(); }
    bool Empty() const { return _container.empty(); }
    size_t Limit() const { return _limit; }
    bool Full() const { return _container.size() >= _limit; }
    // The root; the heap must not be empty.
    const T& Top() const { return _container.front(); }

    // Adds `value` under the rules above; returns whether the heap now holds it.
    bool Push(const T& value) {
        if (_container.size() < _limit) {
            _container.push_back(value);
            std::push_heap(_container.begin(), _container.end(), _cmp);
            return true;
        }
        if (_container.empty() || !_cmp(value, _container.front())) return false;
        // Moving the root to the back, overwriting it and pushing it again would
        // sift up; replacing in place and sifting down is the cheaper half.
        _container.front() = value;
        SiftDown(0);
        return true;
    }

    // Removes the root; the heap must not be empty.
    void Pop() {
        std::pop_heap(_container.begin(), _container.end(), _cmp);
        _container.pop_back();
    }

    // Sets the limit and removes roots until the heap fits into it.
    void SetLimit(size_t limit) {
        _limit = limit;
        while (_container.size() > _limit) Pop();
    }

    void Reserve(size_t n) { _container.reserve(n); }
    void Clear() { _container.clear(); }

    // The pairs in heap order (not sorted).
    std::span<const T> Items() const { return _container; }

    // Sorts the pairs so that the comparer's lowest comes first, hands them out
    // and leaves the heap empty (with its limit unchanged).
    std::pmr::vector<T> ExtractSorted() {
        std::sort_heap(_container.begin(), _container.end(), _cmp);
        std::pmr::vector<T> out(_container.get_allocator());
        out.swap(_container);
        return out;
    }

  private:
    void SiftDown(size_t i) {
        const size_t n = _container.size();
        T value = std::move(_container[i]);
        for (;;) {
            size_t child = 2 * i + 1;
            if (child >= n) break;
            if (child + 1 < n && _cmp(_container[child], _container[child + 1])) ++child;
            if (!_cmp(value, _container[child])) break;
            _container[i] = std::move(_container[child]);
            i = child;
        }
        _container[i] = std::move(value);
    }

    size_t _limit = kUnlimited;
    std::pmr::vector<T> _container;
    [[no_unique_address]] Comparer _cmp;
};

// A bounded max-heap of (node, distance): the root is the farthest pair kept, so
// with limit k it holds the k nearest pairs offered.
using TopkHeap = Heap<std::pair<uint32_t, float>, KeyValueHeapComparer<uint32_t, float, std::less>>;
// A min-heap of (node, distance) whose root is the nearest candidate; it is used
// without a limit and so is never full.
using CandidateHeap =
    Heap<std::pair<uint32_t, float>, KeyValueHeapComparer<uint32_t, float, std::greater>>;

}  // namespace orvane::index
