// RowFilter: which row ids a filtered search may return, as a cheap view.
//
// Two forms:
//   - an allowed-id list: sorted ascending, without duplicates (see
//     NormalizeAllowedIds). It can be tested (binary search), counted and
//     enumerated, so a back end can pick a strategy from its size, e.g. score
//     the few admitted rows directly instead of walking a graph.
//   - a predicate (a C++ caller's function): it can only be tested, row by
//     row; Count() is unknown. Any callable converts implicitly, so code that
//     passes a lambda where a filter is expected keeps working.
// An empty list admits nothing; a default-constructed filter, or one made from
// an empty function, admits every row.
// The list form is a view: the ids must outlive every search that uses it. The
// predicate form holds its own copy of the function. Testing is const and
// thread safe as far as the predicate is.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvane::api {

class RowFilter {
  public:
    using Predicate = std::function<bool(uint64_t)>;

    // Admits every row.
    RowFilter() = default;

    // A predicate filter; an empty function admits every row.
    template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, RowFilter> &&
                                                      std::is_constructible_v<Predicate, F>>>
    RowFilter(F&& predicate)  // NOLINT(google-explicit-constructor): a callable is a filter
        : _predicate(std::forward<F>(predicate)) {
        _kind = _predicate ? Kind::kPredicate : Kind::kAll;
    }

    // `sortedIds` ascending and duplicate free.
    static RowFilter FromSortedIds(std::span<const uint64_t> sortedIds) {
        RowFilter f;
        f._kind = Kind::kList;
        f._ids = sortedIds;
        return f;
    }
    static RowFilter FromPredicate(Predicate predicate) { return RowFilter(std::move(predicate)); }

    // Whether the filter restricts the rows at all.
    bool IsActive() const { return _kind != Kind::kAll; }
    // Whether the admitted ids are known as a list.
    bool HasList() const { return _kind == Kind::kList; }
    // The admitted ids, ascending; empty unless HasList().
    std::span<const uint64_t> AllowedIds() const { return _ids; }
    // The number of admitted ids when known (a list), nullopt for a predicate
    // or a filter that admits everything.
    std::optional<uint64_t> Count() const {
        if (_kind == Kind::kList) return _ids.size();
        return std::nullopt;
    }

    bool Allows(uint64_t id) const {
        switch (_kind) {
            case Kind::kAll:
                return true;
            case Kind::kList:
                return std::binary_search(_ids.begin(), _ids.end(), id);
            case Kind::kPredicate:
                return _predicate(id);
        }
        return false;
    }
    bool operator()(uint64_t id) const { return Allows(id); }
    // True when the filter restricts the rows (IsActive).
    explicit operator bool() const { return IsActive(); }

  private:
    enum class Kind : uint8_t { kAll, kList, kPredicate };

    Kind _kind = Kind::kAll;
    std::span<const uint64_t> _ids;
    Predicate _predicate;
};

// Sorts `ids` and drops repeated values in place, making it a valid list for
// RowFilter::FromSortedIds. Ids the index does not hold are kept; they simply
// match no row.
inline void NormalizeAllowedIds(std::vector<uint64_t>& ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

// A list filter over a caller's allowed ids, which may be unsorted and hold
// repeats: the array itself when it is already strictly ascending (checked in
// one pass, no copy), otherwise a sorted, deduplicated copy kept in `storage`,
// which must then outlive the filter.
inline RowFilter MakeAllowedIdFilter(std::span<const uint64_t> ids,
                                     std::vector<uint64_t>& storage) {
    const bool strictlyAscending =
        std::adjacent_find(ids.begin(), ids.end(), [](uint64_t a, uint64_t b) { return a >= b; }) ==
        ids.end();
    if (strictlyAscending) return RowFilter::FromSortedIds(ids);
    storage.assign(ids.begin(), ids.end());
    NormalizeAllowedIds(storage);
    return RowFilter::FromSortedIds(storage);
}

}  // namespace orvane::api
