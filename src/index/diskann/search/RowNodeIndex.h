// RowNodeIndex: finds the graph node that holds a row id. Nodes are numbered
// 0..count-1 in insertion order and the ids section gives each node's row id;
// a filtered search that scores an allowed-id list directly needs the other
// direction. When every node's row id equals its number (ids 0..count-1, the
// common case) no table is kept; otherwise the node numbers are kept sorted
// by row id (4 bytes a node) and looked up by binary search.
//
// Thread-safety: Build must not race with Find; Find is const and safe to call
// from any number of threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory_resource>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

namespace orvane::index::diskann {

class RowNodeIndex {
  public:
    explicit RowNodeIndex(std::pmr::memory_resource* resource) : _byRow(resource) {}

    // `rowIds[node]` is the row id of node `node`; the span must outlive the
    // index. Rows held by several nodes resolve to one of them.
    void Build(std::span<const uint64_t> rowIds) {
        _rowIds = rowIds;
        _byRow.clear();
        _identity = true;
        for (size_t node = 0; node < rowIds.size(); ++node) {
            if (rowIds[node] != node) {
                _identity = false;
                break;
            }
        }
        if (_identity) return;
        _byRow.resize(rowIds.size());
        std::iota(_byRow.begin(), _byRow.end(), uint32_t{0});
        std::sort(_byRow.begin(), _byRow.end(),
                  [&](uint32_t a, uint32_t b) { return rowIds[a] < rowIds[b]; });
    }

    // The node holding `rowId`, or nullopt when no node does.
    std::optional<uint32_t> Find(uint64_t rowId) const {
        if (_identity) {
            if (rowId < _rowIds.size()) return static_cast<uint32_t>(rowId);
            return std::nullopt;
        }
        auto it =
            std::lower_bound(_byRow.begin(), _byRow.end(), rowId,
                             [&](uint32_t node, uint64_t row) { return _rowIds[node] < row; });
        if (it == _byRow.end() || _rowIds[*it] != rowId) return std::nullopt;
        return *it;
    }

  private:
    std::span<const uint64_t> _rowIds;
    std::pmr::vector<uint32_t> _byRow;
    bool _identity = true;
};

}  // namespace orvane::index::diskann
