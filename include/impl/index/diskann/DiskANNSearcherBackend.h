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
#include "coro/Executor.h"
#include "impl/index/diskann/DiskANNRecords.h"
#include "impl/index/diskann/DiskANNSearchContext.h"
#include "impl/index/diskann/DistanceCalcutor.h"
#include "impl/index/diskann/SearchDiskStorage.h"
#include "impl/quantizer/QuantizerEvaluatorBase.h"
#include "impl/searcher/SearcherBackend.h"

namespace orvane::index::diskann {

class DiskANNSearcherBackend : public api::SearcherBackend {
  public:
    using Filter = std::function<bool(uint64_t)>;

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
    // Runs SearchWithFilter with a test of `filter` as the row filter.
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
    core::Status ProcessDiskBatch(const api::Query& query, const Filter& filter,
                                  DiskANNSearchContext& ctx);
    core::Status ExpandOneNode(const api::Query& query, const Filter& filter, uint32_t id,
                               const GraphNode& node, DiskANNSearchContext& ctx);
    api::SearchResult AssembleTopkResult(DiskANNSearchContext& ctx) const;

    api::dimension_t _dimension;
    DiskANNIndexMeta _meta;
    DistanceCalcutor _calculator;
    std::unique_ptr<quantizer::QuantizerEvaluatorBase> _quantizerEvaluator;
    std::unique_ptr<quantizer::QuantizerEvaluatorBase> _diskQuantizerEvaluator;
    std::shared_ptr<coro::Executor> _executor;
    core::MemoryResourceConfig _memory;
    std::pmr::memory_resource* _storageResource;
    SearchDiskStorage _storage;
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
