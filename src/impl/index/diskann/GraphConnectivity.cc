#include "impl/index/diskann/GraphConnectivity.h"

#include <chrono>
#include <deque>
#include <vector>

#include "telemetry/Logger.h"

namespace orvane::index::diskann {

namespace {

// Queues every entry point not yet marked; returns how many were marked.
uint64_t SeedEntryPoints(const BuildMemoryStorage& storage, uint32_t count, SimpleBitMap& visited,
                         std::deque<uint32_t>& queue) {
    uint64_t marked = 0;
    for (uint32_t entry : storage.entryPoints) {
        if (entry >= count || visited.TestAndSet(entry)) continue;
        queue.push_back(entry);
        ++marked;
    }
    return marked;
}

}  // namespace

std::pair<bool, std::shared_ptr<SimpleBitMap>> CheckConnectivity(
    const BuildMemoryStorage& storage, uint32_t count, std::pmr::memory_resource* resource) {
    auto visited = std::make_shared<SimpleBitMap>(count, resource);
    std::deque<uint32_t> queue;
    uint64_t reached = SeedEntryPoints(storage, count, *visited, queue);
    while (!queue.empty()) {
        const uint32_t v = queue.front();
        queue.pop_front();
        for (uint32_t u : storage.Neighbors(v)) {
            if (u >= count || visited->TestAndSet(u)) continue;
            queue.push_back(u);
            ++reached;
        }
    }
    ORVANE_LOG_INFO("Check connectivity, totalVisitedCount: [%zu], globalNodeId: [%zu]",
                    static_cast<size_t>(reached), static_cast<size_t>(count));
    return {reached == count, std::move(visited)};
}

bool RepairConnectivity(BuildMemoryStorage& storage, uint32_t count,
                        std::pmr::memory_resource* resource) {
    const auto start = std::chrono::system_clock::now();
    ORVANE_LOG_WARN("DiskANN builder repair connectivity begin");
    auto [connected, reachedMap] = CheckConnectivity(storage, count, resource);
    if (connected) return true;

    std::pmr::vector<uint32_t> unreach(resource);
    for (uint32_t v = 0; v < count; ++v) {
        if (!reachedMap->Test(v)) unreach.push_back(v);
    }
    std::pmr::vector<uint64_t> inDegree(count, 0, resource);
    for (uint32_t v = 0; v < count; ++v) {
        for (uint32_t u : storage.Neighbors(v)) {
            if (u < count) ++inDegree[u];
        }
    }

    const uint64_t degree = storage.NeighborCount();
    SimpleBitMap visited(count, resource);
    std::deque<uint32_t> queue;
    SeedEntryPoints(storage, count, visited, queue);
    size_t repairCount = 0;
    while (!queue.empty() && repairCount < unreach.size()) {
        const uint32_t v = queue.front();
        queue.pop_front();
        uint32_t* row = storage.NeighborRow(v);
        const uint32_t s = storage.NeighborSize(v);
        for (uint32_t j = 0; j < s; ++j) {
            if (row[j] < count && !visited.TestAndSet(row[j])) queue.push_back(row[j]);
        }
        uint32_t& size = storage.NeighborSize(v);
        while (size < degree && repairCount < unreach.size()) {
            const uint32_t attached = unreach[repairCount++];
            row[size++] = attached;
            ++inDegree[attached];
        }
        // A full list can still take one node in place of a neighbour that
        // stays reachable through another in-edge.
        for (uint32_t j = 0; j < s && repairCount < unreach.size(); ++j) {
            const uint32_t u = row[j];
            if (u >= count || inDegree[u] < 2) continue;
            const uint32_t attached = unreach[repairCount++];
            row[j] = attached;
            --inDegree[u];
            ++inDegree[attached];
            break;
        }
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - start)
            .count();
    ORVANE_LOG_INFO(
        "DiskANN builder repair connectivity end, repairCount[%lu], unreachNodes[%lu], time [%lu] "
        "seconds",
        static_cast<unsigned long>(repairCount), static_cast<unsigned long>(unreach.size()),
        static_cast<unsigned long>(seconds));
    return repairCount == unreach.size();
}

}  // namespace orvane::index::diskann
