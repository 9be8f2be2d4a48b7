#include "api/searcher/SearcherBackend.h"

namespace orvane::api {

core::Status SearcherBackend::ParseSearchParams(const SearchOptions&, bool,
                                                KindSearchParams&) const {
    return core::Status::Ok();
}

core::Result<SearchResult> SearcherBackend::SearchFiltered(const Query&, const RowFilter&,
                                                           const SearchOptions&,
                                                           std::pmr::memory_resource&) {
    return core::Status(core::ErrorCode::NotSupported, "filtered search not supported");
}

core::Status SearcherBackend::SearchBatch(const BatchSearchRequest& request,
                                          std::span<SearchResult> results) {
    const bool filtered = request.filter != nullptr && request.filter->IsActive();
    for (uint64_t i = 0; i < request.n; ++i) {
        const Query query = request.Row(i);
        auto result =
            filtered ? SearchFiltered(query, *request.filter, *request.options, *request.resource)
                     : Search(query, *request.options, *request.resource);
        if (!result.IsOk()) return result.TakeStatus();
        results[i] = result.TakeValue();
    }
    return core::Status::Ok();
}

}  // namespace orvane::api
