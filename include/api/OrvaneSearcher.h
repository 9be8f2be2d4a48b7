// OrvaneSearcher: answers top-k queries over one index file. Create, Open,
// any number of (possibly concurrent) Search calls, Close.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>

#include "api/ISearchExtension.h"
#include "api/MemoryResource.h"
#include "api/NoCopyable.h"
#include "api/Options.h"
#include "api/Query.h"
#include "api/Result.h"
#include "api/SearchTypes.h"

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
    IndexInfo GetMeta() const;
    core::Status Close();
    core::Status Attach(ISearchExtension& extension);

  private:
    explicit OrvaneSearcher(std::unique_ptr<Impl> impl);

    std::unique_ptr<Impl> _p;
};

}  // namespace orvane::api
