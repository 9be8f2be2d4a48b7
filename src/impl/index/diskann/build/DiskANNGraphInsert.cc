// Insertion of one node into the DiskANN graph: the greedy search of the
// partly built graph, the pruning of the candidates and the reverse edges.
// Runs concurrently on the build workers; see the class comment for locking.
#include <cfloat>
#include <chrono>

#include "impl/index/diskann/build/DiskANNBuilderBackend.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::Status;

template <typename List>
void DiskANNBuilderBackend::PruneNeighbor(List& list) const {
    diskann::PruneNeighbor(
        list, _neighborCount, _slackPruningFactor,
        [this](node_id_t a, node_id_t b) { return Node2NodeDistance(a, b); },
        [this](float d) { return _calculator.IsMinDist(d); });
}

const std::vector<uint32_t>& DiskANNBuilderBackend::GetAndSetEntryPoint() {
    std::lock_guard<std::mutex> lock(_entryPointLock);
    if (!_storage.entryPoints.empty() || _appendedCount == 0) return _storage.entryPoints;
    const auto start = std::chrono::system_clock::now();
    std::vector<float> centroid(_dimension, 0.0f);
    for (node_id_t v = 0; v < _appendedCount; ++v) {
        const float* row = _storage.Vector(v);
        for (uint64_t k = 0; k < _dimension; ++k) centroid[k] += row[k];
    }
    for (float& c : centroid) c /= static_cast<float>(_appendedCount);
    float best = FLT_MAX;
    node_id_t entry = 0;
    for (node_id_t v = 0; v < _appendedCount; ++v) {
        const float d = _calculator.Distance({_storage.Vector(v), _dimension}, centroid);
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

Status DiskANNBuilderBackend::AddNode(node_id_t id, DiskANNContext& ctx) {
    if (id < _ckptBuiltCount) return Status::Ok();
    SearchNeighbors(GetAndSetEntryPoint(), id, ctx);

    auto& list = ctx._pruneList;
    list.clear();
    for (const auto& [node, distance] : ctx._topkHeap.Items()) {
        // The node meets itself only through a reverse edge added meanwhile (or
        // as the entry point); a self-loop would only waste a slot.
        if (node != id) list.push_back(PruneNode{node, -1, distance});
    }
    PruneNeighbor(list);
    {
        std::lock_guard<std::mutex> lock(NodeLock(id));
        uint32_t* row = _storage.NeighborRow(id);
        for (size_t j = 0; j < list.size(); ++j) row[j] = list[j].nodeId;
        _storage.NeighborSize(id) = static_cast<uint32_t>(list.size());
        _storage.LastPruningPos(id) = static_cast<uint32_t>(list.size());
    }
    // The reverse updates reuse the prune list: go over a copy of the kept nodes.
    ctx._keptList.assign(list.begin(), list.end());
    for (const PruneNode& kept : ctx._keptList) {
        std::lock_guard<std::mutex> lock(NodeLock(kept.nodeId));
        ReverseUpdateNeigbors(kept, id, ctx);
    }
    return Status::Ok();
}

void DiskANNBuilderBackend::SearchNeighbors(const std::vector<uint32_t>& entryPoints, node_id_t id,
                                            DiskANNContext& ctx) {
    auto& visited = ctx._visitMap;
    auto& topk = ctx._topkHeap;
    auto& candidates = ctx._candidateHeap;
    for (uint32_t e : entryPoints) {
        if (visited.TestAndSet(e)) continue;
        const float d = Node2NodeDistance(id, e);
        candidates.Push({e, d});
        topk.Push({e, d});
    }
    auto& neighbors = ctx._neighborList;
    auto& evalList = ctx._evalList;
    while (!candidates.Empty()) {
        const auto [c, cDistance] = candidates.Top();
        if (topk.Full() && cDistance > topk.Top().second) break;
        candidates.Pop();
        {
            std::lock_guard<std::mutex> lock(NodeLock(c));
            const auto list = _storage.Neighbors(c);
            neighbors.assign(list.begin(), list.end());
        }
        evalList.clear();
        for (uint32_t u : neighbors) {
            if (!visited.TestAndSet(u)) evalList.push_back(u);
        }
        for (size_t j = 0; j < evalList.size(); ++j) {
            if (j + 2 < evalList.size()) __builtin_prefetch(_storage.Vector(evalList[j + 2]));
            const uint32_t u = evalList[j];
            const float d = Node2NodeDistance(id, u);
            if (topk.Full() && d > topk.Top().second) continue;
            candidates.Push({u, d});
            topk.Push({u, d});
        }
    }
}

void DiskANNBuilderBackend::ReverseUpdateNeigbors(const PruneNode& neighbor, node_id_t id,
                                                  DiskANNContext& ctx) {
    const node_id_t k = neighbor.nodeId;
    uint32_t* row = _storage.NeighborRow(k);
    uint32_t& size = _storage.NeighborSize(k);
    if (size < _neighborCount) {
        row[size++] = id;
        return;
    }
    uint32_t& lastPruning = _storage.LastPruningPos(k);
    auto& list = ctx._pruneList;
    list.clear();
    for (uint32_t j = 0; j < size; ++j) {
        const int32_t order = j < lastPruning ? static_cast<int32_t>(j) : -1;
        list.push_back(PruneNode{row[j], order, Node2NodeDistance(k, row[j])});
    }
    list.push_back(PruneNode{id, -1, neighbor.distance});
    PruneNeighbor(list);
    for (size_t j = 0; j < list.size(); ++j) row[j] = list[j].nodeId;
    size = static_cast<uint32_t>(std::min<uint64_t>(_neighborCount, list.size()));
    lastPruning = size;
}

}  // namespace orvane::index::diskann
