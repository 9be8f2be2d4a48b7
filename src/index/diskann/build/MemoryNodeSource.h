// MemoryNodeSource: the GraphSearch source of an insertion into the graph
// being built. Nodes are the rows of the in-memory storage; a candidate's
// distance is the exact node-to-node distance to the node being inserted, so
// scored candidates are results as well. A neighbour list is copied out under
// its node's lock, since other workers extend lists concurrently.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "orvane/core/Status.h"
#include "index/diskann/build/BuildMemoryStorage.h"
#include "index/diskann/build/NodeLockPool.h"
#include "index/diskann/graph/DiskANNContext.h"
#include "index/diskann/graph/DistanceCalcutor.h"

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

    core::Status Score(std::span<const uint64_t> ids, std::span<float> out, DiskANNContext&) const {
        for (size_t j = 0; j < ids.size(); ++j) {
            if (j + 2 < ids.size()) __builtin_prefetch(_storage.Vector(ids[j + 2]));
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

    void EndRound(DiskANNContext&) const {}

  private:
    const BuildMemoryStorage& _storage;
    const DistanceCalcutor& _calculator;
    const uint64_t _dimension;
    NodeLockPool& _locks;
    const std::span<const float> _base;
};

}  // namespace orvane::index::diskann
