// LayoutRanker: measures how well a grouping of nodes into sectors keeps graph
// neighbours together, as the mean over nodes of the share of a node's
// sector-mates that are also its out-neighbours.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "orvane/core/NoCopyable.h"

namespace orvane::index::diskann {

// The node ids of one sector.
struct RankSector {
    std::vector<uint32_t> ids;
};

class LayoutRanker : public core::NoCopyable {
  public:
    // For each sector and member v: the number of v's neighbours (row v of
    // neighborData, neighborCount slots, neighborSize[v] in use) that lie in
    // the same sector, divided by nodesPerSector - 1; summed and divided by
    // nodeCount. nodesPerSector must be at least 2.
    static float NeighborPercentInSector(const std::vector<RankSector>& sectors, uint64_t nodeCount,
                                         uint64_t neighborCount, uint64_t nodesPerSector,
                                         std::span<const uint32_t> neighborData,
                                         std::span<const uint32_t> neighborSize);
};

}  // namespace orvane::index::diskann
