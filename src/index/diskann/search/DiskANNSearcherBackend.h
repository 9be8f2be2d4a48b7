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
// Filtered searches are described with FilteredSearch.
//
// Thread-safety: after Open, any number of threads may search at once; each
// search checks a context out of the searcher's pool for its duration. Init
// and Open must not race with searches.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>

#include "orvane/core/MemoryResource.h"
#include "orvane/api/RowFilter.h"
#include "coro/Executor.h"
#include "index/diskann/DiskANNOptions.h"
#include "index/diskann/format/DiskANNRecords.h"
#include "index/diskann/graph/DiskANNContext.h"
#include "index/diskann/search/DiskANNContextPool.h"
#include "index/diskann/search/NodeCache.h"
#include "index/diskann/search/QueryScorer.h"
#include "index/diskann/search/RowNodeIndex.h"
#include "index/diskann/search/SearchDiskStorage.h"
#include "api/searcher/SearcherBackend.h"

namespace orvane::index::diskann {

class DiskANNSearcherBackend : public api::SearcherBackend {
  public:
    using Filter = api::RowFilter;

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
    // The `diskann.search.*` keys and the parallel number, once per call
    // (DiskANNOptions.h).
    core::Status ParseSearchParams(const api::SearchOptions& options, bool filtered,
                                   api::KindSearchParams& out) const override;
    // One beam search per row with the call's parsed parameters.
    core::Status SearchBatch(const api::BatchSearchRequest& request,
                             std::span<api::SearchResult> results) override;
    core::Status Attach(api::ISearchExtension& extension) override;
    api::IndexInfo GetMeta() const override;

    // Read access for tests and tools.
    uint32_t CachedNodeCount() const { return _cache.Size(); }
    uint64_t CacheHitCount() const { return _cache.HitCount(); }
    uint64_t CacheCheckCount() const { return _cache.CheckCount(); }
    // Idle search contexts kept by the pool, and the most it keeps.
    size_t ContextCount() const { return _contexts.IdleCount(); }
    size_t MaxIdleContexts() const { return _contexts.MaxIdle(); }

  private:
    // One query of `querySize` floats for its best `topkOption` rows.
    core::Result<api::ScoredHits> DoSearchWithFilter(const float* queryData, uint64_t querySize,
                                                     const Filter& filter,
                                                     const DiskANNSearchParams& params,
                                                     int64_t topkOption);
    core::Status BeamSearch(const float* query, DiskANNContext& ctx);
    api::ScoredHits AssembleTopkResult(const DiskANNContext& ctx, const TopkHeap& heap) const;

    api::dimension_t _dimension;
    DiskANNIndexMeta _meta;
    std::shared_ptr<coro::Executor> _executor;
    core::MemoryResourceConfig _memory;
    std::pmr::memory_resource* _storageResource;
    QueryScorer _scorer;
    SearchDiskStorage _storage;
    RowNodeIndex _nodeOfRow;
    NodeCache _cache;
    uint32_t _cacheNodeCount = 0;  // diskann.search.num_nodes_to_cache
    DiskANNContextPool _contexts;
    bool _opened = false;
};

// The factory the kind table registers.
core::Result<std::unique_ptr<api::SearcherBackend>> CreateDiskANNSearcherBackend(
    api::dimension_t dimension, const api::SearcherOptions& options,
    const core::MemoryResourceConfig& config);

}  // namespace orvane::index::diskann
