// Reachability of a built DiskANN graph from its entry points, and the repair
// that attaches unreachable nodes to reachable ones. Run on one thread after
// all insertions have finished (no node locks are taken).
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <utility>

#include "index/common/SimpleBitMap.h"
#include "index/diskann/build/BuildMemoryStorage.h"

namespace orvane::index::diskann {

// Breadth-first search from every entry point over the first `count` nodes:
// (every node reached, the bitmap of reached nodes).
std::pair<bool, std::shared_ptr<SimpleBitMap>> CheckConnectivity(
    const BuildMemoryStorage& storage, uint32_t count, std::pmr::memory_resource* resource);

// Attaches the unreachable nodes to reachable ones. A first pass attaches each
// (ascending) to a node met by a fresh breadth-first search: into a free slot
// of its list or, once per visited node, in place of a neighbour counted with
// another in-edge. Further passes, which keep every edge the search reached a
// node through, attach what is still unreachable. Returns whether every node
// is reachable afterwards (false only without an entry point).
bool RepairConnectivity(BuildMemoryStorage& storage, uint32_t count,
                        std::pmr::memory_resource* resource);

}  // namespace orvane::index::diskann
