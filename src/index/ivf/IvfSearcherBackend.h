// IvfSearcherBackend: answers queries over an ivf index file. Open reads the
// six sections of IvfIndexMeta.h, refuses any file whose records disagree with
// each other (Corruption) and loads the quantizer codes. A query is compared
// with every centroid, the `search.nprobe` nearest lists are scanned, and the
// best `search.topk` rows are kept.
//
// The file stores codes in insertion order, so one list's rows are scattered.
// Open therefore rearranges the evaluator's rows list by list
// (IvfRowGather.h): list j then owns the contiguous rows [_listStart[j],
// _listStart[j + 1]), scanned in one batch-kernel pass, and row i of that range
// is the list's i-th row position, whose id is _lists[j].ids[i]. The file
// format is unchanged.
//
// Filtered searches (SearchFiltered, and the search-with-filter extension,
// which Attach accepts) return min(topk, admitted rows) hits whenever the
// lists they reach hold that many; see IvfFilteredSearch.cc:
//   - An allowed-id list of c ids is scored directly when that is cheaper than
//     the scan: when 2 * c <= the rows a scan is expected to read,
//     max(P, 2 * topk * count / c) (at most count), P being the rows of the
//     nprobe nearest lists. Each id is found through the row locator built at Open
//     (IvfRowLocator.h, 4 bytes a row) and its rows are scored: the result is
//     the exact filtered top-k under the index's encoding, whatever nprobe.
//   - Otherwise the nprobe nearest lists are scanned, each row's id tested
//     before it is scored (a list's ids are first marked in a bitmap over the
//     rows when the locator is a dense table); while fewer than 2 * topk
//     admitted rows have been scored, further lists are scanned in order of
//     their centroid's distance until that many are or every list is scanned
//     (the first topk admitted rows of far lists are rarely the nearest).
//     Once every list is scanned the result is the exact filtered top-k.
//   - A predicate has no count, so it always takes the scan: it is asked about
//     every row of the lists scanned, on the calling thread only (a predicate
//     that admits nothing is asked about every row of the index).
// A filtered search reads `search.topk` and `search.nprobe` as Search does
// and runs the checks every filtering kind runs first (FilterSearchFront.h).
//
// Open is called once; after it the searcher is read-only and Search may run
// on several threads at once, each call drawing its scratch from the resource
// it is given. A failed Open leaves the searcher unopened.
#pragma once

#include <memory>
#include <memory_resource>
#include <span>
#include <utility>
#include <vector>

#include "api/searcher/SearcherBackend.h"
#include "distance/MetricE.h"
#include "encoding/EncodingE.h"
#include "encoding/QuantizerEvaluatorBase.h"
#include "index/ivf/IvfIndexMeta.h"
#include "index/ivf/IvfOptions.h"
#include "index/ivf/IvfRowLocator.h"
#include "orvane/api/RowFilter.h"
#include "orvane/core/MemoryResource.h"

namespace orvane::index::ivf {

// One list: its row positions and, in step, its row ids.
struct ListView {
    std::span<const uint64_t> rowIds;
    std::span<const uint64_t> ids;
};

class IvfSearcherBackend : public api::SearcherBackend {
  public:
    IvfSearcherBackend(dist::dimension_t dimension, const core::MemoryResourceConfig& resources);
    ~IvfSearcherBackend() override;

    core::Status Open(io::InputStream& stream) override;
    // `search.nprobe`, once per call (IvfOptions.h).
    core::Status ParseSearchParams(const api::SearchOptions& options, bool filtered,
                                   api::KindSearchParams& out) const override;
    core::Result<api::SearchResult> Search(const api::Query& query,
                                           const api::SearchOptions& options,
                                           std::pmr::memory_resource& resource) override;
    // The call's rows with its parsed parameters. Over rawf32 and sq8 rows
    // a block of queries is scanned list by list (IvfBatchSearch.cc): each
    // list probed by several queries of the block is read from memory once
    // for all of them instead of once per query. The hits are those of
    // searching the rows one by one.
    core::Status SearchBatch(const api::BatchSearchRequest& request,
                             std::span<api::SearchResult> results) override;
    // Blocks of kBatchQueryBlock rows when lists are scanned for a block.
    uint64_t PreferredSliceRows() const override;
    // Answers one query through `filter` (see the strategy above).
    core::Result<api::SearchResult> SearchFiltered(const api::Query& query,
                                                   const api::RowFilter& filter,
                                                   const api::SearchOptions& options,
                                                   std::pmr::memory_resource& resource) override;
    // Installs SearchFiltered into a search-with-filter extension; refuses
    // every other extension.
    core::Status Attach(api::ISearchExtension& extension) override;
    api::IndexInfo GetMeta() const override;

  private:
    // The kind's search keys of one call.
    // A filtered batch: the options are read and checked once for the call,
    // then every row scans with them.
    core::Status SearchBatchFiltered(const api::BatchSearchRequest& request,
                                     std::span<api::SearchResult> results);
    struct SearchParams {
        uint32_t topk = 0;
        uint32_t nprobe = 0;
    };
    core::Result<SearchParams> ReadSearchParams(const api::SearchOptions& options) const;
    // A list and its centroid's distance to the query.
    using RankedList = std::pair<float, uint32_t>;
    // Every list with its centroid's distance to `q`; the first `ordered` are
    // the nearest, nearest first (ties by list), the others follow unordered
    // (OrderRest sorts them).
    std::pmr::vector<RankedList> RankLists(std::span<const float> q, uint32_t ordered,
                                           std::pmr::memory_resource& scratch) const;
    static void OrderRest(std::pmr::vector<RankedList>& lists, uint32_t ordered);

    core::Status DoOpen(io::InputStream& stream);
    core::Status LoadMeta(io::InputStream& stream);
    core::Status LoadCentroids(io::InputStream& stream);
    core::Status LoadListDir(io::InputStream& stream);
    core::Status LoadQuantizer(io::InputStream& stream);
    core::Status LoadList();
    // Corruption unless every row position below `count` and every id slot
    // lies in exactly one of `lists`.
    core::Status CheckPartition(const std::vector<ListView>& lists, uint64_t count) const;
    core::Status ArrangeLists();
    // The id of every scan row and the locator over them.
    void IndexRowIds();
    // Back to the state after construction.
    void Reset();

    // One query of the index dimension, after the checks.
    core::Result<api::ScoredHits> SearchOne(const float* query, uint32_t topk,
                                            const IvfSearchParams& params,
                                            std::pmr::memory_resource& resource) const;
    // The search body under the evaluator's metric M.
    template <dist::MetricE M>
    core::Result<api::ScoredHits> SearchLists(const float* query, uint32_t topk, uint32_t nprobe,
                                              std::pmr::memory_resource& resource) const;
    // Queries of one block of a batch scanned list by list: a list's rows stay
    // in the processor's caches while every query of the block that probes
    // it scores them. Rows of larger encodings only (rawf32, sq8): pq rows
    // are small, and a block of pq tables would crowd out the list.
    static constexpr uint64_t kBatchQueryBlock = 128;
    static constexpr uint64_t kBatchScoreBudget = uint64_t{4} << 20;  // 16 MiB of scores
    bool ScansBatchByLists() const;
    // Rows [first, first + count) of `request`, each scored exactly as
    // SearchLists scores it (same kernel, same prepared query) and offered
    // in the same order (lists nearest first, rows in list order), so that
    // ties fall as they do one query at a time.
    core::Status SearchBlockByLists(const api::BatchSearchRequest& request, uint64_t first,
                                    uint64_t count, uint32_t topk, uint32_t nprobe,
                                    std::span<api::SearchResult> results) const;
    template <dist::MetricE M>
    core::Status SearchBlockByListsAs(const api::BatchSearchRequest& request, uint64_t first,
                                      uint64_t count, uint32_t topk, uint32_t nprobe,
                                      std::span<api::SearchResult> results) const;
    // The filtered search body under M; `filter` is active.
    template <dist::MetricE M>
    core::Result<api::SearchResult> SearchListsFiltered(const api::Query& query,
                                                        const api::RowFilter& filter,
                                                        const SearchParams& params,
                                                        std::pmr::memory_resource& resource) const;

    core::MemoryResourceConfig _resources;  // keeps the two resources below alive
    std::pmr::memory_resource& _storageResource;
    std::pmr::memory_resource& _instantResource;
    const dist::dimension_t _configuredDim;
    IndexMeta _meta;
    dist::MetricE _metric = dist::MetricE::l2;
    dist::encode_space::EncodingE _encoding = dist::encode_space::EncodingE::rawf32;
    std::pmr::vector<float> _centroids;
    std::pmr::vector<ListDirEntry> _dir;
    std::pmr::vector<uint64_t> _rowIdStorage;
    std::pmr::vector<uint64_t> _idsStorage;
    std::vector<ListView> _lists;
    std::unique_ptr<quantizer::QuantizerEvaluatorBase> _quantizerEvaluator;
    std::pmr::vector<uint64_t> _listStart;  // numLists + 1 evaluator rows
    uint64_t _longestList = 0;              // rows of the longest list
    // The id of scan row r: _idsStorage itself when the file keeps the ids
    // list by list (as the builder writes them), else a copy in _rowIdCopy.
    std::span<const uint64_t> _idOfRow;
    std::pmr::vector<uint64_t> _rowIdCopy;
    IvfRowLocator _rowLocator;
};

}  // namespace orvane::index::ivf
