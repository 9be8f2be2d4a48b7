// DemoSearcherBackend: loads the demo kind's vectors and answers a query by an
// exact L2 scan followed by a sort. Search only reads and is thread safe.
#pragma once

#include <memory_resource>
#include <vector>

#include "impl/searcher/SearcherBackend.h"

namespace orvane::index {

class DemoSearcherBackend : public api::SearcherBackend {
  public:
    DemoSearcherBackend(api::dimension_t dimension, std::pmr::memory_resource* storage)
        : _dimension(dimension), _embeddings(storage) {}

    core::Status Open(io::InputStream& stream) override;
    core::Result<api::SearchResult> Search(const api::Query& query,
                                           const api::SearchOptions& options,
                                           std::pmr::memory_resource& resource) override;
    core::Status Attach(api::ISearchExtension& extension) override;
    api::IndexInfo GetMeta() const override;

  private:
    api::dimension_t _dimension;
    std::pmr::vector<float> _embeddings;
};

}  // namespace orvane::index
