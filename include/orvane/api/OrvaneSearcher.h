// OrvaneSearcher: answers top-k queries over one index file. Create, Open,
// any number of (possibly concurrent) Search or SearchBatch calls, Close.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <vector>

#include "orvane/api/ISearchExtension.h"
#include "orvane/core/MemoryResource.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/api/Options.h"
#include "orvane/api/Query.h"
#include "orvane/core/Result.h"
#include "orvane/api/RowFilter.h"
#include "orvane/api/SearchTypes.h"

namespace orvane::io {
class FileReader;
}

namespace orvane::api {

class OrvaneSearcher : public core::NoCopyable {
  public:
    class Impl;
    using SearchHit = api::SearchHit;
    using SearchResult = api::SearchResult;
    using IndexInfo = api::IndexInfo;

    static core::Result<OrvaneSearcher> Create(const SearcherOptions& options,
                                               const core::MemoryResourceConfig& memoryConfig);
    static core::Result<OrvaneSearcher> Create(const SearcherOptions& options);

    OrvaneSearcher(OrvaneSearcher&&) noexcept;
    OrvaneSearcher& operator=(OrvaneSearcher&&) noexcept;
    ~OrvaneSearcher();

    core::Status Open(const IOOptions& ioOptions);
    core::Status Open(std::unique_ptr<io::FileReader> reader, const IOOptions& ioOptions);
    core::Result<SearchResult> Search(const Query& query, const SearchOptions& options);
    core::Result<SearchResult> Search(const Query& query, const SearchOptions& options,
                                      std::pmr::memory_resource& resource);
    // Answers `n` queries, row after row of the index dimension at `queries`,
    // into `results` (resized to n, best hits first). The call is checked
    // once: a non-finite value fails naming its row and nothing is searched.
    // The queries are spread over up to `search.batch_threads` threads (all
    // hardware threads by default; 1 keeps them on the calling thread),
    // divided by `search.parallel_number`; when several queries run at once
    // each runs on one thread. A filter restricts the hits to the rows it
    // allows; a predicate not declared `search.thread_safe_filter` keeps the
    // call on the calling thread. n = 0 succeeds and returns no lists.
    // Scratch memory comes from the searcher's `instant` resource.
    core::Status SearchBatch(const float* queries, uint64_t n, const SearchOptions& options,
                             std::vector<SearchResult>& results, const RowFilter* filter = nullptr);
    IndexInfo GetMeta() const;
    core::Status Close();
    core::Status Attach(ISearchExtension& extension);

  private:
    explicit OrvaneSearcher(std::unique_ptr<Impl> impl);

    std::unique_ptr<Impl> _p;
};

}  // namespace orvane::api
