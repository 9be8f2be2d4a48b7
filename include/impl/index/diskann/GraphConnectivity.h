// Reachability of a built DiskANN graph from its entry points, and the repair
// that attaches unreachable nodes to reachable ones. Run on one thread after
// all insertions have finished (no node locks are taken).
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <utility>

#include "impl/index/common/SimpleBitMap.h"
#include "impl/index/diskann/BuildMemoryStorage.h"

namespace orvane::index::diskann {

// Breadth-first search from every entry point over the first `count` nodes:
// (every node reached, the bitmap of reached nodes).
std::pair<bool, std::shared_ptr<SimpleBitMap>> CheckConnectivity(
    const BuildMemoryStorage& storage, uint32_t count, std::pmr::memory_resource* resource);

// Attaches each unreachable node (ascending) to a node met by a fresh
// breadth-first search: into a free slot of its list or, once per visited
// node, in place of a neighbour that has another in-edge. Nodes attached are
// not expanded further. Returns whether every unreachable node was attached.
bool RepairConnectivity(BuildMemoryStorage& storage, uint32_t count,
                        std::pmr::memory_resource* resource);

}  // namespace orvane::index::diskann
