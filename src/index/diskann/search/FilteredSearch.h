// FilteredSearch: a DiskANN query restricted by a row filter. It keeps its
// hits in the context's admitted heap and chooses how to find them:
//   - An allowed-id list of c rows is scored directly when that is cheaper
//     than a graph walk that would find enough of them: when c <= L' * R,
//     where R is the graph degree and L' the widened list below (a walk over
//     L' nodes scores about L' * R neighbour codes). The admitted nodes are
//     ranked by the in-memory codes and the best min(L, io budget) of them
//     re-ranked exactly from their records, as the graph path does.
//   - Otherwise the graph is walked as an unfiltered search does (rejected
//     nodes still steer it), with the list widened to
//     L' = max(L, 2 * topk / s) for an admitted fraction s, so that about
//     2 * topk admitted nodes lie among the L' nearest; the admitted nodes
//     expanded form the result. A list gives s = c / count up front.
//   - A predicate has no count: the walk starts at L, as an unfiltered one
//     (so it also serves a filter that rejects everything by walking the
//     graph through the rejected nodes), estimates s from the nodes it
//     expanded, and widens the list (at least doubling) until topk admitted
//     hits are found with a list as wide as the estimate asks for.
//   - A walk that would have to grow past count / R nodes (then it scores
//     more codes than the index holds), or that admitted nothing, stops and
//     scores the admitted rows directly (a predicate is then asked about
//     every row).
//   A caller's `diskann.search.io_limit` caps the node reads of every path
//   (a fallback after a walk re-ranks with the reads left, at least topk); a
//   walk that spends it returns what it has found.
//
// Thread-safety: one object per query; the index parts it reads are shared
// read-only by all queries.
#pragma once

#include <cstdint>

#include "orvane/api/RowFilter.h"
#include "orvane/core/Status.h"
#include "index/diskann/graph/DiskANNContext.h"
#include "index/diskann/search/NodeCache.h"
#include "index/diskann/search/QueryScorer.h"
#include "index/diskann/search/RowNodeIndex.h"
#include "index/diskann/search/SearchDiskStorage.h"

namespace orvane::index::diskann {

class FilteredSearch {
  public:
    FilteredSearch(const SearchDiskStorage& storage, const RowNodeIndex& rows, NodeCache& cache,
                   const QueryScorer& scorer)
        : _storage(storage),
          _rows(rows),
          _cache(cache),
          _scorer(scorer),
          _count(static_cast<uint32_t>(storage.ids.size())) {}

    // Answers the query at `query` (the storage's dimension) into
    // ctx._admittedHeap; ctx is prepared by UpdateContext.
    core::Status Run(const float* query, const api::RowFilter& filter, uint32_t ioLimit,
                     DiskANNContext& ctx);

  private:
    core::Status GraphWalk(const float* query, const api::RowFilter& filter, double fraction,
                           uint32_t maxReads, DiskANNContext& ctx);
    // The admitted nodes into ctx._directNodes, the others counted as filtered.
    void CollectAdmittedNodes(const api::RowFilter& filter, DiskANNContext& ctx) const;
    // Ranks ctx._directNodes by the in-memory codes, then re-ranks the best
    // `rerank` of them exactly into ctx._admittedHeap.
    core::Status ScoreNodesDirectly(const float* query, uint32_t rerank, DiskANNContext& ctx);

    const SearchDiskStorage& _storage;
    const RowNodeIndex& _rows;
    NodeCache& _cache;
    const QueryScorer& _scorer;
    const uint32_t _count;
    const uint8_t* _records = nullptr;  // the query's RecordView data, set by Run
};

}  // namespace orvane::index::diskann
