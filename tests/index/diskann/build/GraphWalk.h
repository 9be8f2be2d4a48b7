// A plain best-first search over a built DiskANN graph with exact distances,
// shared by the builder tests and the build benchmark to measure graph
// quality: the nearest `listSize` nodes found from the entry points, nearest
// first. Header-only and gtest-free.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

#include "index/diskann/build/BuildMemoryStorage.h"

namespace orvane::index::diskann::testutil {

// distance(node) -> float: the query's distance to a node, lower is better.
template <typename Distance>
std::vector<uint32_t> BestFirstSearch(const BuildMemoryStorage& s, uint32_t listSize,
                                      Distance&& distance) {
    std::vector<uint8_t> visited(s.ids.size(), 0);
    using Item = std::pair<float, uint32_t>;
    std::priority_queue<Item, std::vector<Item>, std::greater<>> candidates;
    std::priority_queue<Item> best;  // farthest on top
    for (uint32_t e : s.entryPoints) {
        visited[e] = 1;
        candidates.push({distance(e), e});
    }
    while (!candidates.empty()) {
        const Item c = candidates.top();
        if (best.size() >= listSize && c.first > best.top().first) break;
        candidates.pop();
        best.push(c);
        if (best.size() > listSize) best.pop();
        for (uint32_t u : s.Neighbors(c.second)) {
            if (visited[u]) continue;
            visited[u] = 1;
            candidates.push({distance(u), u});
        }
    }
    std::vector<uint32_t> found;
    for (; !best.empty(); best.pop()) found.push_back(best.top().second);
    std::reverse(found.begin(), found.end());
    return found;
}

// How many of `truth` are among the first k of `found`.
inline uint32_t HitsAtK(const std::vector<uint32_t>& found, const std::vector<uint32_t>& truth,
                        uint32_t k) {
    const auto end = found.begin() + std::min<size_t>(k, found.size());
    uint32_t hits = 0;
    for (uint32_t id : truth) hits += std::find(found.begin(), end, id) != end ? 1 : 0;
    return hits;
}

}  // namespace orvane::index::diskann::testutil
