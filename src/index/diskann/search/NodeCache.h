// NodeCache: the node records a DiskANN searcher keeps in memory, those of the
// nodes nearest the entry points (which every search reads first), chosen
// breadth first from the entry points, at most a tenth of the nodes. It also
// counts, over all searches, how many beam nodes were looked up and found.
//
// Thread-safety: loaded by Open on one thread; afterwards Find is const and
// the counters are atomic, so any number of searches may use it at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <unordered_map>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"
#include "index/diskann/format/GraphNode.h"
#include "index/diskann/search/SearchDiskStorage.h"

namespace orvane::index::diskann {

class NodeCache : public core::NoCopyable {
  public:
    // Reads up to min(requested, count / 10) records of `storage`, level by
    // level from its entry points.
    core::Status Load(const SearchDiskStorage& storage, uint32_t requested, uint32_t count);

    // The cached record of node id, or null.
    const GraphNode* Find(uint32_t id) const {
        const auto it = _slots.find(id);
        return it == _slots.end() ? nullptr : &_holder.nodes[it->second];
    }
    // Adds one beam's lookups and hits to the counters.
    void Count(uint64_t checks, uint64_t hits) {
        _checkCount.fetch_add(checks, std::memory_order_relaxed);
        _hitCount.fetch_add(hits, std::memory_order_relaxed);
    }

    uint32_t Size() const { return _size; }
    uint64_t HitCount() const { return _hitCount.load(std::memory_order_relaxed); }
    uint64_t CheckCount() const { return _checkCount.load(std::memory_order_relaxed); }

  private:
    GraphNodeHolder _holder;
    std::unordered_map<uint32_t, uint32_t> _slots;  // node id -> slot in _holder
    uint32_t _size = 0;
    std::atomic<uint64_t> _hitCount{0};
    std::atomic<uint64_t> _checkCount{0};
};

}  // namespace orvane::index::diskann
