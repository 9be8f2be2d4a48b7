#include "index/diskann/build/GraphInserter.h"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>

#include "index/diskann/build/GraphPruning.h"
#include "index/diskann/build/MemoryNodeSource.h"
#include "index/diskann/graph/GraphSearch.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

template <typename List>
void GraphInserter::PruneNeighbor(List& list) const {
    diskann::PruneNeighbor(
        list, _params.neighborCount, _params.slackPruningFactor,
        [this](node_id_t a, node_id_t b) { return Node2NodeDistance(a, b); },
        [this](float d) { return _calculator.IsMinDist(d); });
}

template <typename List>
void GraphInserter::WriteRow(node_id_t node, const List& list) {
    uint32_t* row = _storage.NeighborRow(node);
    float* distances = _storage.NeighborDistanceRow(node);
    for (size_t j = 0; j < list.size(); ++j) row[j] = list[j].nodeId;
    if (distances == nullptr) return;
    for (size_t j = 0; j < list.size(); ++j) distances[j] = list[j].distance;
}

const std::vector<uint32_t>& GraphInserter::GetAndSetEntryPoint(node_id_t appended) {
    std::lock_guard<std::mutex> lock(_entryPointLock);
    if (!_storage.entryPoints.empty() || appended == 0) return _storage.entryPoints;
    const auto start = std::chrono::system_clock::now();
    const uint64_t dimension = _params.dimension;
    std::vector<float> centroid(dimension, 0.0f);
    for (node_id_t v = 0; v < appended; ++v) {
        const float* row = _storage.Vector(v);
        for (uint64_t k = 0; k < dimension; ++k) centroid[k] += row[k];
    }
    for (float& c : centroid) c /= static_cast<float>(appended);
    float best = FLT_MAX;
    node_id_t entry = 0;
    for (node_id_t v = 0; v < appended; ++v) {
        const float d = _calculator.Distance({_storage.Vector(v), dimension}, centroid);
        if (d < best) {
            best = d;
            entry = v;
        }
    }
    _storage.entryPoints.push_back(entry);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - start)
            .count();
    ORVANE_LOG_INFO("DiskANN builder set entry point success, time [%lu] seconds",
                    static_cast<unsigned long>(seconds));
    return _storage.entryPoints;
}

void GraphInserter::AddNode(node_id_t id, node_id_t appended, DiskANNContext& ctx) {
    MemoryNodeSource source(_storage, _calculator, _params.dimension, _locks, id);
    // The memory source cannot fail.
    (void)GraphSearch<MemoryNodeSource>::Seed(source, GetAndSetEntryPoint(appended), ctx);
    (void)GraphSearch<MemoryNodeSource>::Run(source, ctx);

    auto& list = ctx._pruneList;
    list.clear();
    for (const auto& [node, distance] : ctx._topkHeap.Items()) {
        // The node meets itself only through a reverse edge added meanwhile (or
        // as the entry point); a self-loop would only waste a slot.
        if (node != id) list.push_back(PruneNode{node, -1, distance});
    }
    PruneNeighbor(list);
    {
        std::lock_guard<std::mutex> lock(_locks.Of(id));
        WriteRow(id, list);
        _storage.NeighborSize(id) = static_cast<uint32_t>(list.size());
        _storage.LastPruningPos(id) = static_cast<uint32_t>(list.size());
    }
    // The reverse updates reuse the prune list: go over a copy of the kept nodes.
    ctx._keptList.assign(list.begin(), list.end());
    for (const PruneNode& kept : ctx._keptList) {
        std::lock_guard<std::mutex> lock(_locks.Of(kept.nodeId));
        ReverseUpdateNeigbors(kept, id, ctx);
    }
}

void GraphInserter::ReverseUpdateNeigbors(const PruneNode& neighbor, node_id_t id,
                                          DiskANNContext& ctx) {
    const node_id_t k = neighbor.nodeId;
    uint32_t* row = _storage.NeighborRow(k);
    float* distances = _storage.NeighborDistanceRow(k);
    uint32_t& size = _storage.NeighborSize(k);
    if (size < _params.neighborCount) {
        // The distance from id to k is the one from k to id: the kernels are
        // symmetric to the bit.
        if (distances != nullptr) distances[size] = neighbor.distance;
        row[size++] = id;
        return;
    }
    uint32_t& lastPruning = _storage.LastPruningPos(k);
    auto& list = ctx._pruneList;
    list.clear();
    for (uint32_t j = 0; j < size; ++j) {
        const int32_t order = j < lastPruning ? static_cast<int32_t>(j) : -1;
        const bool known = distances != nullptr && !std::isnan(distances[j]);
        list.push_back(
            PruneNode{row[j], order, known ? distances[j] : Node2NodeDistance(k, row[j])});
    }
    list.push_back(PruneNode{id, -1, neighbor.distance});
    PruneNeighbor(list);
    WriteRow(k, list);
    size = static_cast<uint32_t>(std::min<uint64_t>(_params.neighborCount, list.size()));
    lastPruning = size;
}

}  // namespace orvane::index::diskann
