// Slack-factor occlusion pruning of a node's candidate neighbour list.
//
// The list is sorted by distance to the base node; a candidate is kept unless
// an already kept node is closer to it than its distance to the base divided
// by the slack factor (so a slack above 1 keeps more long edges). Two
// candidates that both survived the list's previous pruning are not compared
// again, and a kept node that coincides with the base occludes nothing. Of the
// candidates that coincide with the base, only those at even positions of the
// sorted list are kept. At most maxDegree candidates are kept, in place.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "index/diskann/graph/PruneNode.h"

namespace orvane::index::diskann {

// distance(a, b): node-to-node distance, lower is better; isMinDist(d): d means
// "the same point as the base".
template <typename List, typename DistanceFn, typename IsMinDistFn>
void PruneNeighbor(List& list, uint64_t maxDegree, float slackFactor, DistanceFn&& distance,
                   IsMinDistFn&& isMinDist) {
    std::sort(list.begin(), list.end(),
              [](const PruneNode& a, const PruneNode& b) { return a.distance < b.distance; });
    size_t kept = 0;
    for (size_t i = 0; i < list.size() && kept < maxDegree; ++i) {
        const PruneNode c = list[i];
        bool occluded = false;
        for (size_t k = 0; k < kept && !occluded; ++k) {
            const PruneNode& keeper = list[k];
            if (c.order != -1 && keeper.order != -1) continue;
            if (isMinDist(keeper.distance)) continue;
            occluded = distance(c.nodeId, keeper.nodeId) < c.distance / slackFactor;
        }
        if (occluded) continue;
        if (isMinDist(c.distance) && i % 2 == 1) continue;
        list[kept++] = c;
    }
    list.resize(kept);
}

}  // namespace orvane::index::diskann
