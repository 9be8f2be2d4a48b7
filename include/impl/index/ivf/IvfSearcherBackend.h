// IvfSearcherBackend: answers queries over an ivf index file. Open reads the
// six sections of IvfIndexMeta.h, refuses any file whose records disagree with
// each other (Corruption) and loads the quantizer codes. A query is compared
// with every centroid, the `search.nprobe` nearest lists are scanned, and the
// best `search.topk` rows are kept.
//
// The file stores codes in insertion order, so one list's rows are scattered.
// Open therefore has the evaluator rearrange its rows list by list: list j
// then owns the contiguous rows [_listStart[j], _listStart[j + 1]), scanned in
// one batch-kernel pass, and row i of that range is the list's i-th row
// position, whose id is _lists[j].ids[i]. The file format is unchanged.
//
// Open is called once; after it the searcher is read-only and Search may run
// on several threads at once, each call drawing its scratch from the resource
// it is given. A failed Open leaves the searcher unopened.
#pragma once

#include <memory>
#include <memory_resource>
#include <span>
#include <vector>

#include "api/MemoryResource.h"
#include "distance/MetricE.h"
#include "encoding/EncodingE.h"
#include "encoding/QuantizerEvaluatorBase.h"
#include "impl/index/ivf/IvfIndexMeta.h"
#include "impl/index/ivf/IvfOptions.h"
#include "impl/searcher/SearcherBackend.h"

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
    // One list scan per row with the call's parsed parameters.
    core::Status SearchBatch(const api::BatchSearchRequest& request,
                             std::span<api::SearchResult> results) override;
    core::Status Attach(api::ISearchExtension& extension) override;
    api::IndexInfo GetMeta() const override;

  private:
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
};

}  // namespace orvane::index::ivf
