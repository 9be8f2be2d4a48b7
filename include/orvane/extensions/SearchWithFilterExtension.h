// SearchWithFilterExtension: restricted search for an opened searcher. The
// caller owns the extension and attaches it to a searcher; a back end that can
// filter installs a search function bound to itself, and the caller then
// searches through Call with a row-id filter. The stored function refers to
// the back end, so it must not be called once that searcher is closed or gone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory_resource>
#include <string_view>

#include "orvane/api/ISearchExtension.h"
#include "orvane/api/Options.h"
#include "orvane/api/Query.h"
#include "orvane/core/Result.h"
#include "orvane/api/RowFilter.h"
#include "orvane/api/SearchTypes.h"

namespace orvane::extensions {

class SearchWithFilterExtension : public api::ISearchExtension {
  public:
    // Decides for a row id whether the row may appear in the result (true) or
    // must be skipped (false): a predicate (any callable converts) or a sorted
    // list of allowed ids, which back ends can count and enumerate.
    using Filter = api::RowFilter;
    using SearchFunc = std::function<core::Result<api::SearchResult>(
        const api::Query&, Filter, const api::SearchOptions&, std::pmr::memory_resource&)>;

    static constexpr std::string_view kName = "extension.search_with_filter";

    SearchWithFilterExtension() = default;
    ~SearchWithFilterExtension() override = default;

    std::string_view Name() const override { return kName; }

    // Replaces the stored search function; must not race with Call.
    void SetFunc(SearchFunc func);

    // Whether a back end has installed its search function.
    bool IsAttached() const { return static_cast<bool>(_func); }

    // Runs the installed search; FailedPrecondition "extension not attached"
    // when no back end accepted the extension. Safe to call concurrently as far
    // as the back end's search is.
    core::Result<api::SearchResult> Call(const api::Query& query, Filter filter,
                                         const api::SearchOptions& options,
                                         std::pmr::memory_resource& resource) const;

  private:
    SearchFunc _func;
};

}  // namespace orvane::extensions
