// DiskANNContext: the scratch of one graph search, allocated once and reset
// (keeping its memory) for each search. The builder resets it per inserted
// node, the searcher per query. It holds the visit map over all nodes, the
// bounded result heap (the ef nearest found), the candidate heap, the beam of
// the current round and the neighbour batch being scored, plus what only one
// side uses: the prune lists of an insertion, and the read buffers, prepared
// queries and filtered-search lists of a query.
//
// One context is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <vector>

#include "orvane/core/NoCopyable.h"
#include "index/common/Heap.h"
#include "index/common/SimpleBitMap.h"
#include "index/diskann/format/DiskANNRecords.h"
#include "index/diskann/format/GraphNode.h"
#include "index/diskann/graph/PruneNode.h"
#include "encoding/QuantizerEvaluatorBase.h"
#include "io/InputStream.h"

namespace orvane::index::diskann {

// Counters of one search.
struct DiskANNStats {
    uint32_t compareCount = 0;        // candidate distances computed
    uint32_t filteredCount = 0;       // nodes the filter rejected
    uint32_t IOCount = 0;             // node records read from the file
    uint32_t hopsCount = 0;           // beam rounds
    int64_t readBeamDuration = 0;     // nanoseconds selecting and reading beams
    int64_t processBeamDuration = 0;  // nanoseconds expanding their nodes
};

class DiskANNContext : public core::NoCopyable {
  public:
    explicit DiskANNContext(std::pmr::memory_resource* resource);

    // Sizes the context for insertions into a graph of `count` nodes that
    // keep the `ef` nearest (beams of one node); then Clear before each.
    void PrepareForBuild(node_id_t count, uint32_t ef);
    // Empties heaps, visit map and lists, keeping their memory.
    void Clear();
    // Prepares the context for a query keeping the ef nearest of `count`
    // nodes with beams of beamWidth nodes of nodeSize bytes each; empties
    // heaps, lists, visit map and counters.
    void UpdateContext(uint32_t topk, uint32_t ef, node_id_t count, uint32_t beamWidth,
                       uint64_t nodeSize, uint64_t neighborCount);

    // The graph search.
    uint32_t _parallelNum = 1;
    uint32_t _topk = 0;
    uint32_t _ef = 0;
    node_id_t _count = 0;
    uint32_t _beamWidth = 1;
    SimpleBitMap _visitMap;
    TopkHeap _topkHeap;
    CandidateHeap _candidateHeap;
    std::pmr::vector<uint32_t> _beam;          // this round's nodes, in expansion order
    std::pmr::vector<const GraphNode*> _beamNodes;  // their records (searches over records)
    std::pmr::vector<uint32_t> _neighborList;  // a node's list copied out under its lock
    std::pmr::vector<uint64_t> _evalIds;       // a node's unvisited neighbours
    std::pmr::vector<float> _evalOut;          // their distances
    DiskANNStats _stats;

    // Insertion: the candidates being pruned and a new node's kept neighbours.
    std::pmr::vector<PruneNode> _pruneList;
    std::pmr::vector<PruneNode> _keptList;

    // Queries: the read budget, the beam split into cached and read nodes,
    // the read buffers and the prepared queries.
    uint32_t _IOLimit = 0;
    std::pmr::vector<uint32_t> _diskReadNodeIds;
    GraphNodeHolder _diskReadNodes;
    std::pmr::vector<uint32_t> _cachedNodeIds;
    std::pmr::vector<const GraphNode*> _cachedNodes;
    std::pmr::vector<io::InputStream::SectionReader::ReadRequest> _readRequests;
    std::unique_ptr<quantizer::PreparedBase> _preparedQuery;
    std::unique_ptr<quantizer::PreparedBase> _preparedQueryForDiskQuantizer;
    // Filtered queries: the admitted nodes kept as results (the top-k heap
    // then steers the walk over all nodes), the admitted nodes expanded, the
    // nodes to score directly and the records re-ranked in a chunk.
    TopkHeap _admittedHeap;
    uint32_t _admittedCount = 0;
    std::pmr::vector<uint32_t> _directNodes;
    std::pmr::vector<uint32_t> _rerankIds;
    GraphNodeHolder _rerankNodes;
};

}  // namespace orvane::index::diskann
