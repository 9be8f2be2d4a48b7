// IvfRowLocator: finds the scan rows that hold a row id. The searcher keeps its
// rows list by list, so the rows of a filter's allowed ids lie scattered; a
// filtered search that scores a short allowed-id list directly needs the way
// from an id to its rows.
//
// Two forms, chosen by Build, both 4 bytes an entry:
//   - dense: when every id is unique and below 2 * rows + kDenseSlack, a table
//     indexed by id holding its row (or kNoRow); one lookup per id.
//   - sorted: otherwise, the rows ordered by (id, row) and searched by binary
//     search; an id held by several rows yields all of them.
// Indexes of more than 2^32 - 1 rows get no locator (Available() is false), so
// their filtered searches scan lists instead.
//
// Thread-safety: Build must not race with ForEachRow; ForEachRow is const and
// safe from any number of threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

namespace orvane::index::ivf {

class IvfRowLocator {
  public:
    static constexpr uint32_t kNoRow = UINT32_MAX;
    // Ids below this many beyond 2 * rows still get a dense table, so that
    // small indexes with ids from 1 or from 1000 are served by one lookup.
    static constexpr uint64_t kDenseSlack = 1024;

    explicit IvfRowLocator(std::pmr::memory_resource* resource) : _table(resource) {}

    // `idOfRow[r]` is the id of row r; the span must outlive the locator.
    void Build(std::span<const uint64_t> idOfRow);
    // Forgets the rows; Available() is false afterwards.
    void Clear();

    bool Available() const { return _available; }
    bool IsDense() const { return _dense; }

    // Calls `visit(row)` for every row holding `id`, ascending; none when no
    // row does. Requires Available().
    template <typename Visit>
    void ForEachRow(uint64_t id, Visit&& visit) const {
        if (_dense) {
            if (id < _table.size() && _table[id] != kNoRow) visit(uint64_t{_table[id]});
            return;
        }
        auto it = std::lower_bound(_table.begin(), _table.end(), id,
                                   [&](uint32_t row, uint64_t key) { return _idOfRow[row] < key; });
        for (; it != _table.end() && _idOfRow[*it] == id; ++it) visit(uint64_t{*it});
    }

  private:
    // The dense table, or false (and nothing kept) when an id repeats.
    bool BuildDense(uint64_t maxId);
    void BuildSorted();

    std::span<const uint64_t> _idOfRow;
    std::pmr::vector<uint32_t> _table;
    bool _available = false;
    bool _dense = false;
};

}  // namespace orvane::index::ivf
