// GraphInserter: inserts nodes into the DiskANN graph being built. A node's
// neighbours are the result of a graph search from the entry point over the
// nodes inserted so far, pruned by slack-factor occlusion to at most
// neighborCount; each kept edge is mirrored into the neighbour's list, which
// is pruned again when it overflows, from the distances the storage keeps
// beside the lists (computed again only where unknown). The entry point is the node nearest the
// centroid of the vectors appended by the first insertion.
//
// Thread-safety: AddNode runs concurrently on the build workers, each with its
// own context. A node's list, size and pruning position are read and written
// only under its mutex of the lock pool; the entry point is chosen once under
// its own mutex. Configure must not race with AddNode.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "orvane/core/NoCopyable.h"
#include "index/diskann/build/BuildMemoryStorage.h"
#include "index/diskann/build/NodeLockPool.h"
#include "index/diskann/graph/DiskANNContext.h"
#include "index/diskann/graph/DistanceCalcutor.h"

namespace orvane::index::diskann {

class GraphInserter : public core::NoCopyable, public core::NoMoveable {
  public:
    struct Params {
        uint64_t dimension = 0;
        uint64_t neighborCount = 0;
        float slackPruningFactor = 1.0f;
    };

    GraphInserter(BuildMemoryStorage& storage, const DistanceCalcutor& calculator)
        : _storage(storage), _calculator(calculator) {}

    void Configure(const Params& params) { _params = params; }

    // Inserts node id; `appended` nodes have their vectors in the storage.
    void AddNode(node_id_t id, node_id_t appended, DiskANNContext& ctx);

  private:
    const std::vector<uint32_t>& GetAndSetEntryPoint(node_id_t appended);
    template <typename List>
    void PruneNeighbor(List& list) const;
    // Writes the pruned list as node's row and its distances; the caller holds
    // the node's mutex.
    template <typename List>
    void WriteRow(node_id_t node, const List& list);
    // Adds the edge neighbor -> id; the caller holds the neighbour's mutex.
    void ReverseUpdateNeigbors(const PruneNode& neighbor, node_id_t id, DiskANNContext& ctx);
    float Node2NodeDistance(node_id_t a, node_id_t b) const {
        return _calculator.Distance({_storage.Vector(a), _params.dimension},
                                    {_storage.Vector(b), _params.dimension});
    }

    BuildMemoryStorage& _storage;
    const DistanceCalcutor& _calculator;
    Params _params;
    std::mutex _entryPointLock;
    NodeLockPool _locks;
};

}  // namespace orvane::index::diskann
