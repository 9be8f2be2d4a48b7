#include "impl/index/diskann/graph/DiskANNContext.h"

#include <algorithm>

namespace orvane::index::diskann {

DiskANNContext::DiskANNContext(node_id_t count, uint32_t ef, std::pmr::memory_resource* resource)
    : _ef(ef),
      _count(count),
      _visitMap(count, resource),
      _topkHeap(ef == 0 ? 1 : ef, resource),
      _candidateHeap(resource),
      _neighborList(resource),
      _evalList(resource),
      _pruneList(resource),
      _keptList(resource) {
    // The heaps never hold more than the node count, however large ef is.
    const size_t expected = std::min<size_t>(ef, count);
    _topkHeap.Reserve(expected);
    _candidateHeap.Reserve(expected);
}

void DiskANNContext::Clear() {
    _visitMap.Clear();
    _topkHeap.Clear();
    _candidateHeap.Clear();
    _neighborList.clear();
    _evalList.clear();
    _pruneList.clear();
    _keptList.clear();
}

}  // namespace orvane::index::diskann
