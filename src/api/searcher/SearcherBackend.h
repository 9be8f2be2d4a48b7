// SearcherBackend: the interface every index kind's searcher implements, known to
// the facade as OrvaneSearcher::Impl::Backend. A back end includes this header
// alone, without the facade's internals. Open is called once before any Search;
// Search and SearchBatch may then run on several threads at once.
//
// The facade checks a call once (options against the common search schema,
// dimension, finite values, topk) and then hands the back end one
// BatchSearchRequest per slice of the call's queries; it spreads the slices
// over the search executor itself, so a back end answers a request on the
// calling thread. The back end's own option keys are parsed once per call, by
// its ParseSearchParams, before any slice is searched.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <utility>

#include "orvane/api/ISearchExtension.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/api/Options.h"
#include "orvane/api/Query.h"
#include "orvane/core/Result.h"
#include "orvane/api/RowFilter.h"
#include "orvane/api/SearchTypes.h"
#include "api/searcher/KindSearchParams.h"
#include "api/searcher/SearchStats.h"

namespace orvane::io {
class InputStream;
}

namespace orvane::api {

// One slice of a search call, already checked by the facade.
struct BatchSearchRequest {
    // n rows of `dim` floats each, row after row; every value finite.
    const float* queries = nullptr;
    uint64_t n = 0;
    dimension_t dim = 0;
    // The call's `search.topk`: at least 1, except for a filter extension's
    // call, whose options the facade does not check (0 when left out).
    uint64_t topk = 0;
    // Null: every row is admitted. Otherwise only rows it allows may be hit.
    const RowFilter* filter = nullptr;
    // Validated against the common search schema.
    const SearchOptions* options = nullptr;
    // The kind's own keys of `options`, parsed once for the call by the back
    // end's ParseSearchParams; empty when the request was made without it.
    KindSearchParams params;
    // Scratch memory of the call.
    std::pmr::memory_resource* resource = nullptr;
    // n slots for the rows' statistics, which the facade turns into the
    // caller's searchStats maps; null for a request made without the facade,
    // whose results get their maps from the back end.
    SearchStats* stats = nullptr;

    Query Row(uint64_t i) const { return Query(queries + i * dim, dim); }

    // Hands row i's hits to `out` and its statistics to stats[i], or into
    // out's map when the request has no statistics slots.
    void Deliver(uint64_t i, ScoredHits&& hits, SearchResult& out) const {
        out.topk = std::move(hits.topk);
        if (stats != nullptr) {
            stats[i] = hits.stats;
            stats[i].counted = true;
        } else {
            WriteSearchStats(hits.stats, out);
        }
    }
};

class SearcherBackend : public core::NoCopyable {
  public:
    virtual ~SearcherBackend() = default;
    // Reads the kind's sections from the opened stream.
    virtual core::Status Open(io::InputStream& stream) = 0;
    // Answers one query; scratch memory comes from `resource`.
    // Parses the kind's search keys of one call into `out` (a filtered call
    // may check more); the first refused key's status is returned and nothing
    // is searched. The base has no keys of its own.
    virtual core::Status ParseSearchParams(const SearchOptions& options, bool filtered,
                                           KindSearchParams& out) const;
    virtual core::Result<SearchResult> Search(const Query& query, const SearchOptions& options,
                                              std::pmr::memory_resource& resource) = 0;
    // Answers one query through a filter; kinds that cannot filter refuse it.
    virtual core::Result<SearchResult> SearchFiltered(const Query& query, const RowFilter& filter,
                                                      const SearchOptions& options,
                                                      std::pmr::memory_resource& resource);
    // Fills results[i] for every row i of `request` (results.size() == n) on
    // the calling thread; the first failure is returned and the remaining
    // lists are left as they are. The base loops over Search or SearchFiltered.
    virtual core::Status SearchBatch(const BatchSearchRequest& request,
                                     std::span<SearchResult> results);
    // How many queries a SearchBatch request should carry: 0 lets the facade
    // choose small slices that keep the workers evenly loaded; a kind that
    // reads its whole index once per request (an exact scan by matrix
    // products) asks for up to this many, one slice per worker.
    virtual uint64_t PreferredSliceRows() const { return 0; }
    virtual core::Status Attach(ISearchExtension& extension) = 0;
    virtual core::Status Warmup(uint64_t) { return core::Status::Ok(); }
    // Count and dimension of the loaded index; dimension 0 before Open.
    virtual IndexInfo GetMeta() const = 0;
};

}  // namespace orvane::api
