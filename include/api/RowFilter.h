// RowFilter: which row ids a filtered search may return, as a cheap view.
//
// Two forms:
//   - an allowed-id list: sorted ascending, without duplicates (see
//     NormalizeAllowedIds). It can be tested (binary search), counted and
//     enumerated, so a back end can pick a strategy from its size, e.g. score
//     the few admitted rows directly instead of walking a graph.
//   - a predicate (a C++ caller's function): it can only be tested, row by
//     row; Count() is unknown.
// An empty list admits nothing; a default-constructed filter admits every row.
// The view owns nothing: the list or predicate must outlive every search that
// uses it. Testing is const and thread safe as far as the predicate is.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace orvane::api {

class RowFilter {
  public:
    using Predicate = std::function<bool(uint64_t)>;

    // Admits every row.
    RowFilter() = default;

    // `sortedIds` ascending and duplicate free.
    static RowFilter FromSortedIds(std::span<const uint64_t> sortedIds) {
        RowFilter f;
        f._kind = Kind::kList;
        f._ids = sortedIds;
        return f;
    }
    // `predicate` must be callable (a non-empty function).
    static RowFilter FromPredicate(const Predicate& predicate) {
        RowFilter f;
        f._kind = Kind::kPredicate;
        f._predicate = &predicate;
        return f;
    }

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
                return (*_predicate)(id);
        }
        return false;
    }

  private:
    enum class Kind : uint8_t { kAll, kList, kPredicate };

    Kind _kind = Kind::kAll;
    std::span<const uint64_t> _ids;
    const Predicate* _predicate = nullptr;
};

// Sorts `ids` and drops repeated values in place, making it a valid list for
// RowFilter::FromSortedIds. Ids the index does not hold are kept; they simply
// match no row.
inline void NormalizeAllowedIds(std::vector<uint64_t>& ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

}  // namespace orvane::api
