// OrvaneSearcher::Impl: validates searcher options, owns the kind's back end and
// the opened file's InputStream, checks each call's queries and options once,
// spreads a call's queries over the search executor and cuts results to
// `search.topk`. Single-query searches and the filter extension are batches of
// one row.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <vector>

#include "orvane/api/ISearchExtension.h"
#include "orvane/core/MemoryResource.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/api/Options.h"
#include "orvane/api/OrvaneSearcher.h"
#include "orvane/api/Query.h"
#include "orvane/core/Result.h"
#include "orvane/api/RowFilter.h"
#include "orvane/api/SearchTypes.h"
#include "api/searcher/SearcherBackend.h"

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
    // Answers `n` queries (rows of the index dimension at `queries`) into
    // `results`, resized to n once the call passed its checks (cleared on
    // failure); see OrvaneSearcher::SearchBatch. `resource` serves every
    // worker of the call at once, so it must be thread safe.
    core::Status DoSearchBatch(const float* queries, uint64_t n, const SearchOptions& options,
                               const RowFilter* filter, std::pmr::memory_resource& resource,
                               std::vector<SearchResult>& results);
    // The searcher's scratch resource: `instant`, else `storage`, else the
    // process default.
    std::pmr::memory_resource& DefaultResource() const;
    IndexInfo GetMeta() const { return _backend->GetMeta(); }
    core::Status Close();
    core::Status Attach(ISearchExtension& extension);
    core::Status Warmup(uint64_t value) { return _backend->Warmup(value); }
    bool IsOpened() const { return _opened; }

  private:
    // Which entry a call came through.
    enum class Entry : uint8_t {
        kSingle,     // Search: one query
        kExtension,  // the filter extension: the back end reads every option itself
        kBatch,      // SearchBatch: a non-finite value is reported with its row
    };
    // How a checked call runs; topk 0 means no cut.
    struct CallPlan {
        uint64_t topk = 0;
        uint32_t workers = 1;
    };
    // The checks every call passes before a back end sees it.
    core::Result<CallPlan> CheckCall(const float* queries, uint64_t n, const SearchOptions& options,
                                     const RowFilter* filter, Entry entry) const;
    core::Status RunCall(const float* queries, uint64_t n, const CallPlan& plan,
                         const SearchOptions& options, const RowFilter* filter,
                         std::pmr::memory_resource& resource, std::span<SearchResult> results);
    // A batch of one, for the single-query entries.
    core::Result<SearchResult> SearchOne(const Query& query, const SearchOptions& options,
                                         const RowFilter* filter, Entry entry,
                                         std::pmr::memory_resource& resource);

    std::unique_ptr<Backend> _backend;
    core::MemoryResourceConfig _memoryConfig;
    std::unique_ptr<io::InputStream> _inputStream;
    bool _opened = false;
};

}  // namespace orvane::api
