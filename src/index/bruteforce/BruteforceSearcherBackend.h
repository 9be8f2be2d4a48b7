// BruteforceSearcherBackend: the searcher of the `bruteforce` kind. Open loads
// the quantizer evaluator and the row ids; a search scores the query against
// every row the filter admits and keeps the best `search.topk`: exact for
// rawf32, best first (ascending for metrics where lower is better, descending
// for inner product).
//
// A search with `search.parallel_number` = P splits the rows into at most P
// consecutive chunks of ceil(n / P) rows. The calling thread scans the first
// chunk itself while the others run as tasks of the Search executor, then
// waits for them on a latch. Every task scores its rows block by block with
// one evaluator batch call per block and keeps its own best k; the caller
// merges them. All scratch memory is taken from the search's memory resource
// on the calling thread before the tasks start, so a per-query arena may
// serve it and the scan allocates nothing per row.
//
// After Open, searches may run concurrently; a filter runs on up to P threads
// at once, which is why P >= 2 needs `search.thread_safe_filter`.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <vector>

#include "orvane/core/MemoryResource.h"
#include "coro/Executor.h"
#include "encoding/QuantizerEvaluatorBase.h"
#include "orvane/api/RowFilter.h"
#include "api/searcher/SearcherBackend.h"

namespace orvane::index {

class BruteforceSearcherBackend : public api::SearcherBackend {
  public:
    using Filter = api::RowFilter;

    // Searches fan out on `executor` (the process's Search executor when
    // created by the factory).
    BruteforceSearcherBackend(api::dimension_t dimension, std::shared_ptr<coro::Executor> executor,
                              const core::MemoryResourceConfig& resources);
    ~BruteforceSearcherBackend() override;

    core::Status Open(io::InputStream& stream) override;
    // The parallel number, once per call (BruteforceOptions.h).
    core::Status ParseSearchParams(const api::SearchOptions& options, bool filtered,
                                   api::KindSearchParams& out) const override;
    core::Result<api::SearchResult> Search(const api::Query& query,
                                           const api::SearchOptions& options,
                                           std::pmr::memory_resource& resource) override;
    // Runs SearchWithFilter with `filter` (a list keeps its count).
    core::Result<api::SearchResult> SearchFiltered(const api::Query& query,
                                                   const api::RowFilter& filter,
                                                   const api::SearchOptions& options,
                                                   std::pmr::memory_resource& resource) override;
    // Over rawf32 rows a request of several queries is scored by blocked
    // matrix products (BruteforceBatchScan.h), with the results of one search
    // per query; otherwise one search per query.
    core::Status SearchBatch(const api::BatchSearchRequest& request,
                             std::span<api::SearchResult> results) override;
    // Slices of many queries let one read of the base serve them all.
    uint64_t PreferredSliceRows() const override;
    core::Status Attach(api::ISearchExtension& extension) override;
    api::IndexInfo GetMeta() const override;

    // The extension's entry: checks the filter's thread safety, the parallel
    // number and the query, then scans.
    core::Result<api::SearchResult> SearchWithFilter(const api::Query& query, Filter filter,
                                                     const api::SearchOptions& options,
                                                     std::pmr::memory_resource& resource);
    // The scan over `parallel` chunks; an empty filter admits every row
    // without being called.
    core::Result<api::SearchResult> DoSearchWithFilter(const api::Query& query,
                                                       const Filter& filter, uint32_t parallel,
                                                       const api::SearchOptions& options,
                                                       std::pmr::memory_resource& resource);

  private:
    // One query's scan for its best `k` rows over `parallel` chunks.
    core::Result<api::ScoredHits> ScanOne(const float* query, const Filter& filter,
                                          uint32_t parallel, uint64_t k,
                                          std::pmr::memory_resource& resource);

    api::dimension_t _dimension;
    uint64_t _count = 0;
    core::MemoryResourceConfig _resources;
    std::pmr::memory_resource& _storageResource;
    std::pmr::memory_resource& _instantResource;
    std::unique_ptr<quantizer::QuantizerEvaluatorBase> _quantizerEvaluator;
    std::shared_ptr<coro::Executor> _executor;
    std::pmr::vector<uint64_t> _vectorIds;
};

}  // namespace orvane::index
