// SearcherBackend: the interface every index kind's searcher implements, known to
// the facade as OrvaneSearcher::Impl::Backend. A back end includes this header
// alone, without the facade's internals. Open is called once before any Search;
// Search may then run on several threads at once.
#pragma once

#include <cstdint>
#include <memory_resource>

#include "api/ISearchExtension.h"
#include "api/NoCopyable.h"
#include "api/Options.h"
#include "api/Query.h"
#include "api/Result.h"
#include "api/SearchTypes.h"

namespace orvane::io {
class InputStream;
}

namespace orvane::api {

class SearcherBackend : public core::NoCopyable {
  public:
    virtual ~SearcherBackend() = default;
    // Reads the kind's sections from the opened stream.
    virtual core::Status Open(io::InputStream& stream) = 0;
    // Answers one query; scratch memory comes from `resource`.
    virtual core::Result<SearchResult> Search(const Query& query, const SearchOptions& options,
                                              std::pmr::memory_resource& resource) = 0;
    virtual core::Status Attach(ISearchExtension& extension) = 0;
    virtual core::Status Warmup(uint64_t) { return core::Status::Ok(); }
    // Count and dimension of the loaded index; dimension 0 before Open.
    virtual IndexInfo GetMeta() const = 0;
};

}  // namespace orvane::api
