// OrvaneSearcher::Impl: validates searcher options, owns the kind's back end and
// the opened file's InputStream, checks each query and its options, and cuts
// results to `search.topk`.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>

#include "api/ISearchExtension.h"
#include "api/MemoryResource.h"
#include "api/NoCopyable.h"
#include "api/Options.h"
#include "api/OrvaneSearcher.h"
#include "api/Query.h"
#include "api/Result.h"
#include "api/SearchTypes.h"
#include "impl/searcher/SearcherBackend.h"

namespace orvane::io {
class InputStream;
}

namespace orvane::api {

class OrvaneSearcher::Impl : public core::NoCopyable {
  public:
    // The interface every index kind's searcher implements.
    using Backend = SearcherBackend;

    static core::Result<std::unique_ptr<Impl>> Create(
        const SearcherOptions& options, const core::MemoryResourceConfig& memoryConfig);

    Impl(std::unique_ptr<Backend> backend, core::MemoryResourceConfig memoryConfig);
    ~Impl();

    core::Status Open(std::unique_ptr<io::InputStream> stream);
    core::Result<SearchResult> DoSearch(const Query& query, const SearchOptions& options,
                                        std::pmr::memory_resource& resource);
    core::Result<SearchResult> DoSearch(const Query& query, const SearchOptions& options);
    IndexInfo GetMeta() const { return _backend->GetMeta(); }
    core::Status Close();
    core::Status Attach(ISearchExtension& extension);
    core::Status Warmup(uint64_t value) { return _backend->Warmup(value); }
    bool IsOpened() const { return _opened; }

  private:
    std::unique_ptr<Backend> _backend;
    core::MemoryResourceConfig _memoryConfig;
    std::unique_ptr<io::InputStream> _inputStream;
    bool _opened = false;
};

}  // namespace orvane::api
