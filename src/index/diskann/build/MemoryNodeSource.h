// MemoryNodeSource: the GraphSearch source of an insertion into the graph
// being built. Nodes are the rows of the in-memory storage; a candidate's
// distance is the exact node-to-node distance to the node being inserted, so
// scored candidates are results as well. A neighbour list is copied out under
// its node's lock, since other workers extend lists concurrently.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <span>

#include "index/diskann/build/BuildMemoryStorage.h"
#include "index/diskann/build/NodeLockPool.h"
#include "index/diskann/graph/DiskANNContext.h"
#include "index/diskann/graph/DistanceCalcutor.h"
#include "orvane/core/Status.h"

namespace orvane::index::diskann {

class MemoryNodeSource {
  public:
    static constexpr bool kScoredAreResults = true;

    MemoryNodeSource(const BuildMemoryStorage& storage, const DistanceCalcutor& calculator,
                     uint64_t dimension, NodeLockPool& locks, node_id_t base)
        : _storage(storage),
          _calculator(calculator),
          _dimension(dimension),
          _locks(locks),
          _base(_storage.Vector(base), dimension) {}

    bool BoundsCandidates() const { return true; }
    bool MayContinue(const DiskANNContext&) const { return true; }

    // The rows are far apart in memory and each is read once: while row j is
    // scored, the whole of row j + 2 is fetched into the second-level cache,
    // so that the kernel does not wait on memory for every line. The
    // first-level cache cannot hold the misses of a whole row in flight: a
    // row asked for there stalls the prefetching thread until lines arrive
    // (about a fifth of a build's time), one asked for in the second level
    // does not. Two rows ahead measured faster than one or three.
    core::Status Score(std::span<const uint64_t> ids, std::span<float> out, DiskANNContext&) const {
        const size_t n = ids.size();
        for (size_t j = 0; j < std::min<size_t>(n, kRowsAhead); ++j) PrefetchRow(ids[j]);
        for (size_t j = 0; j < n; ++j) {
            if (j + kRowsAhead < n) PrefetchRow(ids[j + kRowsAhead]);
            out[j] = _calculator.Distance(_base, {_storage.Vector(ids[j]), _dimension});
        }
        return core::Status::Ok();
    }

    core::Status Fetch(DiskANNContext&) const { return core::Status::Ok(); }
    core::Status Visit(size_t, uint32_t, DiskANNContext&) const { return core::Status::Ok(); }

    std::span<const uint32_t> Neighbors(size_t, uint32_t id, DiskANNContext& ctx) const {
        std::lock_guard<std::mutex> lock(_locks.Of(id));
        const auto list = _storage.Neighbors(id);
        ctx._neighborList.assign(list.begin(), list.end());
        return ctx._neighborList;
    }

    // Prefetching the next node's neighbour list measured no faster here.
    void Anticipate(uint32_t, DiskANNContext&) const {}
    void EndRound(DiskANNContext&) const {}

  private:
    static constexpr size_t kRowsAhead = 2;

    void PrefetchRow(uint64_t id) const {
        const char* row = reinterpret_cast<const char*>(_storage.Vector(id));
        const uint64_t bytes = _dimension * sizeof(float);
        // Read access, second-level cache (prefetcht1).
        for (uint64_t offset = 0; offset < bytes; offset += 64)
            __builtin_prefetch(row + offset, 0, 2);
    }

    const BuildMemoryStorage& _storage;
    const DistanceCalcutor& _calculator;
    const uint64_t _dimension;
    NodeLockPool& _locks;
    const std::span<const float> _base;
};

}  // namespace orvane::index::diskann
