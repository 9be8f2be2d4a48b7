#include "orvane/extensions/SearchWithFilterExtension.h"

#include <utility>

namespace orvane::extensions {

void SearchWithFilterExtension::SetFunc(SearchFunc func) {
    _func = std::move(func);
}

core::Result<api::SearchResult> SearchWithFilterExtension::Call(
    const api::Query& query, Filter filter, const api::SearchOptions& options,
    std::pmr::memory_resource& resource) const {
    if (!_func) {
        return core::Status(core::ErrorCode::FailedPrecondition, "extension not attached");
    }
    return _func(query, std::move(filter), options, resource);
}

}  // namespace orvane::extensions
