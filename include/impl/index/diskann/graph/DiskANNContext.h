// DiskANNContext: the per-thread scratch of a graph search, allocated once and
// cleared per search: the visit map over all nodes, the bounded result heap
// (the ef nearest found), the candidate heap, and the lists a step fills.
// One context is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <vector>

#include "api/NoCopyable.h"
#include "impl/index/common/Heap.h"
#include "impl/index/common/SimpleBitMap.h"
#include "impl/index/diskann/format/DiskANNRecords.h"
#include "impl/index/diskann/build/GraphPruning.h"

namespace orvane::index::diskann {

class DiskANNContext : public core::NoCopyable {
  public:
    // A context for searches over `count` nodes keeping the `ef` nearest.
    DiskANNContext(node_id_t count, uint32_t ef, std::pmr::memory_resource* resource);

    // Empties heaps, visit map and lists, keeping their memory.
    void Clear();

    uint32_t _parallelNum = 1;
    uint32_t _topk = 0;
    uint32_t _ef = 0;
    node_id_t _count = 0;
    SimpleBitMap _visitMap;
    TopkHeap _topkHeap;
    CandidateHeap _candidateHeap;
    std::pmr::vector<uint32_t> _neighborList;  // a node's list copied out under its lock
    std::pmr::vector<uint32_t> _evalList;      // its unvisited members, to be scored
    std::pmr::vector<PruneNode> _pruneList;    // candidates being pruned
    std::pmr::vector<PruneNode> _keptList;     // a new node's kept neighbours
};

}  // namespace orvane::index::diskann
