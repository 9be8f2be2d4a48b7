// DiskANNSearcherBackend: the searcher back end of the "diskann" kind. Open
// loads the small sections (meta, ids, entry points, the in-memory encoding
// with all codes) and keeps a reader on the node records; it caches the
// records of the nodes nearest the entry points, breadth first, up to a tenth
// of the nodes. A search is a beam search: candidates are ranked by the
// in-memory encoding; each round takes the beamWidth nearest unexpanded ones,
// expands the cached ones at once and reads the others together (up to the
// search's parallel number in flight), scores each read node exactly for the
// result list and queues its unvisited neighbours as candidates. The rounds
// end when the candidates run out, when the nearest is worse than the worst
// kept result, or when the read budget is spent.
//
// Reads that can complete at once (memory map, page cache) are served on the
// calling thread; only reads that must wait are handed to the IO machinery,
// and the calling thread waits for them. Every read of a search has finished
// when the search returns, so closing the file afterwards is safe.
//
// Filtered searches keep their hits (see DiskANNFilteredSearch.cc):
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
// Thread-safety: after Open, any number of threads may search at once, each
// with its own context. Init and Open must not race with searches.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <unordered_map>

#include "api/MemoryResource.h"
#include "api/RowFilter.h"
#include "coro/Executor.h"
#include "impl/index/diskann/format/DiskANNRecords.h"
#include "impl/index/diskann/search/DiskANNSearchContext.h"
#include "impl/index/diskann/graph/DistanceCalcutor.h"
#include "impl/index/diskann/search/RowNodeIndex.h"
#include "impl/index/diskann/search/SearchDiskStorage.h"
#include "impl/quantizer/QuantizerEvaluatorBase.h"
#include "impl/searcher/SearcherBackend.h"

namespace orvane::index::diskann {

class DiskANNSearcherBackend : public api::SearcherBackend {
  public:
    using Filter = api::RowFilter;

    // The largest accepted search.parallel_number.
    static constexpr uint32_t kMaxParallelNumber = 1000;

    DiskANNSearcherBackend(api::dimension_t dimension, std::shared_ptr<coro::Executor> executor,
                           const core::MemoryResourceConfig& config);
    ~DiskANNSearcherBackend() override;

    core::Status Init(const api::SearcherOptions& options);
    core::Status Open(io::InputStream& stream) override;
    core::Result<api::SearchResult> Search(const api::Query& query,
                                           const api::SearchOptions& options,
                                           std::pmr::memory_resource& resource) override;
    core::Result<api::SearchResult> SearchWithFilter(const api::Query& query, Filter filter,
                                                     const api::SearchOptions& options,
                                                     std::pmr::memory_resource& resource);
    // Runs SearchWithFilter with `filter` (a list keeps its count).
    core::Result<api::SearchResult> SearchFiltered(const api::Query& query,
                                                   const api::RowFilter& filter,
                                                   const api::SearchOptions& options,
                                                   std::pmr::memory_resource& resource) override;
    core::Status Attach(api::ISearchExtension& extension) override;
    api::IndexInfo GetMeta() const override;

    // Read access for tests and tools.
    uint32_t CachedNodeCount() const { return _cacheNodeCount; }
    uint64_t CacheHitCount() const { return _cacheHitCount.load(std::memory_order_relaxed); }
    uint64_t CacheCheckCount() const { return _cacheCheckCount.load(std::memory_order_relaxed); }
    size_t ContextCount() const { return _contextManager.Size(); }

  private:
    core::Status LoadEncoder(io::InputStream& stream, const DiskANNIndexMeta& meta);
    core::Status LoadDiskEncoder(io::InputStream& stream);
    core::Status LoadCacheBFS();
    // Reads and parses ids[j] into slot firstSlot + j of holder, at most
    // `parallel` reads at a time; `requests` is scratch of at least that size.
    core::Status ReadNodes(std::span<const uint32_t> ids, GraphNodeHolder& holder,
                           uint32_t firstSlot, uint32_t parallel,
                           std::span<io::InputStream::SectionReader::ReadRequest> requests) const;
    core::Result<api::SearchResult> DoSearchWithFilter(const api::Query& query,
                                                       const Filter& filter, uint32_t parallel,
                                                       const api::SearchOptions& options);
    core::Status PrepareQueryForBeamSearch(const api::Query& query, DiskANNSearchContext& ctx);
    core::Status BeamSearch(const api::Query& query, const Filter& filter,
                            DiskANNSearchContext& ctx);
    // Queues the entry points, scored by the in-memory codes of the query
    // prepared in ctx.
    core::Status SeedCandidates(DiskANNSearchContext& ctx);
    // Beam rounds until the candidates run out, the nearest candidate is
    // worse than the worst kept node, or ctx._IOLimit reads are done.
    core::Status RunBeamRounds(const api::Query& query, const Filter& filter,
                               DiskANNSearchContext& ctx);
    void LogSearchSummary(const DiskANNSearchContext& ctx, int64_t totalNanos) const;
    // The filtered strategies described above; results go to _admittedHeap.
    core::Status FilteredSearch(const api::Query& query, const Filter& filter, uint32_t ioLimit,
                                DiskANNSearchContext& ctx);
    core::Status FilteredGraphSearch(const api::Query& query, const Filter& filter, double fraction,
                                     uint32_t maxReads, DiskANNSearchContext& ctx);
    // The admitted nodes into ctx._directNodes, the others counted as filtered.
    void CollectAdmittedNodes(const Filter& filter, DiskANNSearchContext& ctx) const;
    // Ranks ctx._directNodes by the in-memory codes, then re-ranks the best
    // `rerank` of them exactly into ctx._admittedHeap.
    core::Status ScoreNodesDirectly(const api::Query& query, uint32_t rerank,
                                    DiskANNSearchContext& ctx);
    // The exact distance of node `id` (lower is better).
    core::Status ExactDistance(const api::Query& query, uint32_t id, const GraphNode& node,
                               DiskANNSearchContext& ctx, float& distance) const;
    core::Status ProcessDiskBatch(const api::Query& query, const Filter& filter,
                                  DiskANNSearchContext& ctx);
    core::Status ExpandOneNode(const api::Query& query, const Filter& filter, uint32_t id,
                               const GraphNode& node, DiskANNSearchContext& ctx);
    api::SearchResult AssembleTopkResult(DiskANNSearchContext& ctx, const TopkHeap& heap) const;

    api::dimension_t _dimension;
    DiskANNIndexMeta _meta;
    DistanceCalcutor _calculator;
    std::unique_ptr<quantizer::QuantizerEvaluatorBase> _quantizerEvaluator;
    std::unique_ptr<quantizer::QuantizerEvaluatorBase> _diskQuantizerEvaluator;
    std::shared_ptr<coro::Executor> _executor;
    core::MemoryResourceConfig _memory;
    std::pmr::memory_resource* _storageResource;
    SearchDiskStorage _storage;
    RowNodeIndex _nodeOfRow;
    GraphNodeHolder _cachedGraphNode;
    std::unordered_map<uint32_t, uint32_t> _nodeCache;
    uint32_t _cacheNodeCount = 0;
    std::atomic<uint64_t> _cacheHitCount{0};
    std::atomic<uint64_t> _cacheCheckCount{0};
    SearchContextManager<DiskANNSearchContext> _contextManager;
    bool _opened = false;
};

// The factory the kind table registers.
core::Result<std::unique_ptr<api::SearcherBackend>> CreateDiskANNSearcherBackend(
    api::dimension_t dimension, const api::SearcherOptions& options,
    const core::MemoryResourceConfig& config);

}  // namespace orvane::index::diskann
