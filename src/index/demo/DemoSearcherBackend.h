// DemoSearcherBackend: loads the demo kind's vectors and answers a query by an
// exact L2 scan followed by a sort. Search only reads and is thread safe.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "api/searcher/SearcherBackend.h"

namespace orvane::index {

class DemoSearcherBackend : public api::SearcherBackend {
  public:
    DemoSearcherBackend(api::dimension_t dimension, std::pmr::memory_resource* storage)
        : _dimension(dimension), _embeddings(storage) {}

    core::Status Open(io::InputStream& stream) override;
    core::Result<api::SearchResult> Search(const api::Query& query,
                                           const api::SearchOptions& options,
                                           std::pmr::memory_resource& resource) override;
    // One scan per row, with the call's topk.
    core::Status SearchBatch(const api::BatchSearchRequest& request,
                             std::span<api::SearchResult> results) override;
    core::Status Attach(api::ISearchExtension& extension) override;
    api::IndexInfo GetMeta() const override;

  private:
    api::ScoredHits SearchRow(const float* query, uint64_t topk,
                              std::pmr::memory_resource& resource) const;

    api::dimension_t _dimension;
    std::pmr::vector<float> _embeddings;
};

}  // namespace orvane::index
