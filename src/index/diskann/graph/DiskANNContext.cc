#include "index/diskann/graph/DiskANNContext.h"

#include <algorithm>

namespace orvane::index::diskann {

DiskANNContext::DiskANNContext(std::pmr::memory_resource* resource)
    : _visitMap(0, resource),
      _topkHeap(1, resource),
      _candidateHeap(resource),
      _beam(resource),
      _beamNodes(resource),
      _neighborList(resource),
      _evalIds(resource),
      _evalOut(resource),
      _pruneList(resource),
      _keptList(resource),
      _diskReadNodeIds(resource),
      _cachedNodeIds(resource),
      _cachedNodes(resource),
      _readRequests(resource),
      _admittedHeap(1, resource),
      _directNodes(resource),
      _rerankIds(resource) {}

void DiskANNContext::PrepareForBuild(node_id_t count, uint32_t ef) {
    _ef = ef;
    _count = count;
    _beamWidth = 1;
    _visitMap.Resize(count);
    _topkHeap.SetLimit(ef == 0 ? 1 : ef);
    // The heaps never hold more than the node count, however large ef is.
    const size_t expected = std::min<size_t>(ef, count);
    _topkHeap.Reserve(expected);
    _candidateHeap.Reserve(expected);
    _beam.reserve(1);
    Clear();
}

void DiskANNContext::Clear() {
    _visitMap.Clear();
    _topkHeap.Clear();
    _candidateHeap.Clear();
    _beam.clear();
    _neighborList.clear();
    _evalIds.clear();
    _pruneList.clear();
    _keptList.clear();
    _stats = DiskANNStats{};
}

void DiskANNContext::UpdateContext(uint32_t topk, uint32_t ef, node_id_t count,
                                   uint32_t beamWidth, uint64_t nodeSize,
                                   uint64_t neighborCount) {
    _topk = topk;
    _ef = ef;
    _count = count;
    _beamWidth = beamWidth;
    _topkHeap.Clear();
    _candidateHeap.Clear();
    _beam.clear();
    _diskReadNodeIds.clear();
    _cachedNodeIds.clear();
    _stats = DiskANNStats{};
    _admittedHeap.Clear();
    _admittedHeap.SetLimit(topk == 0 ? 1 : topk);
    _admittedCount = 0;
    _directNodes.clear();
    _rerankIds.clear();
    const size_t bits = (static_cast<size_t>(count) + 7) / 8 * 8;
    if (_visitMap.BitCount() != bits) {
        _visitMap.Resize(bits);
    } else {
        _visitMap.Clear();
    }
    const uint32_t limit = std::max(ef, topk);
    _topkHeap.SetLimit(limit == 0 ? 1 : limit);
    _topkHeap.Reserve(_topkHeap.Limit());
    _candidateHeap.Reserve(ef);
    _beam.reserve(beamWidth);
    _beamNodes.reserve(beamWidth);
    _diskReadNodeIds.reserve(beamWidth);
    _cachedNodeIds.reserve(beamWidth);
    _cachedNodes.reserve(beamWidth);
    _readRequests.reserve(beamWidth);
    if (_diskReadNodes.nodes.size() != beamWidth ||
        _diskReadNodes.buffer.size() != beamWidth * nodeSize) {
        _diskReadNodes.Resize(beamWidth, nodeSize);
    }
    _evalIds.reserve(neighborCount);
    _evalOut.reserve(neighborCount);
}

}  // namespace orvane::index::diskann
