#include "index/ivf/IvfRowLocator.h"

#include <numeric>

namespace orvane::index::ivf {

void IvfRowLocator::Clear() {
    _idOfRow = {};
    _table = std::pmr::vector<uint32_t>(_table.get_allocator().resource());
    _available = false;
    _dense = false;
}

void IvfRowLocator::Build(std::span<const uint64_t> idOfRow) {
    Clear();
    // Rows are kept as 32-bit numbers, and kNoRow marks an absent id.
    if (idOfRow.size() >= kNoRow) return;
    _idOfRow = idOfRow;
    _available = true;
    uint64_t maxId = 0;
    for (const uint64_t id : idOfRow) maxId = std::max(maxId, id);
    const uint64_t denseLimit = 2 * uint64_t{idOfRow.size()} + kDenseSlack;
    if (!idOfRow.empty() && maxId < denseLimit && BuildDense(maxId)) return;
    BuildSorted();
}

bool IvfRowLocator::BuildDense(uint64_t maxId) {
    _table.assign(maxId + 1, kNoRow);
    for (size_t row = 0; row < _idOfRow.size(); ++row) {
        uint32_t& slot = _table[_idOfRow[row]];
        if (slot != kNoRow) {
            _table.clear();
            _table.shrink_to_fit();
            return false;
        }
        slot = static_cast<uint32_t>(row);
    }
    _dense = true;
    return true;
}

void IvfRowLocator::BuildSorted() {
    _table.resize(_idOfRow.size());
    std::iota(_table.begin(), _table.end(), uint32_t{0});
    std::sort(_table.begin(), _table.end(), [&](uint32_t a, uint32_t b) {
        return _idOfRow[a] != _idOfRow[b] ? _idOfRow[a] < _idOfRow[b] : a < b;
    });
    _dense = false;
}

}  // namespace orvane::index::ivf
