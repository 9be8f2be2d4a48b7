#include "index/diskann/build/GraphConnectivity.h"

#include <chrono>
#include <deque>
#include <tuple>
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

// The ids below `count` whose bit is clear, ascending.
std::pmr::vector<uint32_t> Unreached(const SimpleBitMap& reached, uint32_t count,
                                     std::pmr::memory_resource* resource) {
    std::pmr::vector<uint32_t> unreach(resource);
    for (uint32_t v = 0; v < count; ++v) {
        if (!reached.Test(v)) unreach.push_back(v);
    }
    return unreach;
}

// The first repair pass: attaches the unreachable nodes in order along a
// fresh breadth-first search, into free slots or, once per visited node, in
// place of a neighbour counted with two in-edges. Those in-edges may come from
// nodes that are themselves unreachable, or the slot may be the one through
// which the search reached that neighbour, so this pass can cut nodes off;
// the passes after it mend that. Returns how many nodes it attached.
size_t AttachByInDegree(BuildMemoryStorage& storage, uint32_t count,
                        const std::pmr::vector<uint32_t>& unreach,
                        std::pmr::memory_resource* resource) {
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
    return repairCount;
}

// A repair pass that cuts nothing off. The breadth-first search keeps the
// slot through which it first reached each node (the search tree), so only
// other slots are given up: a node it reached stays reachable through the
// tree. Attached nodes join the search, can take nodes themselves, and what
// they reach is no longer attached separately. Each visited node gives its
// free slots and at most one other slot. Returns how many nodes it attached;
// at least one while any node is unreachable, since the last node the search
// expands has a free slot or only slots outside the tree.
size_t AttachAlongSearchTree(BuildMemoryStorage& storage, uint32_t count,
                             const std::pmr::vector<uint32_t>& unreach,
                             std::pmr::memory_resource* resource) {
    const uint64_t degree = storage.NeighborCount();
    SimpleBitMap visited(count, resource);
    std::deque<uint32_t> queue;
    SeedEntryPoints(storage, count, visited, queue);
    std::pmr::vector<uint8_t> treeSlot(degree, 0, resource);
    size_t cursor = 0;
    size_t attached = 0;
    // Moves the cursor to the next node still unreached; false when none is left.
    auto nextUnreached = [&] {
        while (cursor < unreach.size() && visited.Test(unreach[cursor])) ++cursor;
        return cursor < unreach.size();
    };
    auto attach = [&](uint32_t* slot) {
        const uint32_t node = unreach[cursor++];
        *slot = node;
        visited.Set(node);
        queue.push_back(node);
        ++attached;
    };
    while (!queue.empty() && nextUnreached()) {
        const uint32_t v = queue.front();
        queue.pop_front();
        uint32_t* row = storage.NeighborRow(v);
        const uint32_t s = storage.NeighborSize(v);
        for (uint32_t j = 0; j < s; ++j) {
            treeSlot[j] = row[j] < count && !visited.TestAndSet(row[j]);
            if (treeSlot[j]) queue.push_back(row[j]);
        }
        uint32_t& size = storage.NeighborSize(v);
        while (size < degree && nextUnreached()) attach(&row[size++]);
        for (uint32_t j = 0; j < s; ++j) {
            if (treeSlot[j] || !nextUnreached()) continue;
            attach(&row[j]);
            break;
        }
    }
    return attached;
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

    const std::pmr::vector<uint32_t> unreach = Unreached(*reachedMap, count, resource);
    size_t repairCount = AttachByInDegree(storage, count, unreach, resource);
    // Mend what the first pass left unreachable or cut off; every further
    // pass attaches at least one node, so this ends.
    for (;;) {
        std::tie(connected, reachedMap) = CheckConnectivity(storage, count, resource);
        if (connected) break;
        const size_t attached = AttachAlongSearchTree(
            storage, count, Unreached(*reachedMap, count, resource), resource);
        if (attached == 0) break;
        repairCount += attached;
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - start)
            .count();
    ORVANE_LOG_INFO(
        "DiskANN builder repair connectivity end, repairCount[%lu], unreachNodes[%lu], time [%lu] "
        "seconds",
        static_cast<unsigned long>(repairCount), static_cast<unsigned long>(unreach.size()),
        static_cast<unsigned long>(seconds));
    return connected;
}

}  // namespace orvane::index::diskann
