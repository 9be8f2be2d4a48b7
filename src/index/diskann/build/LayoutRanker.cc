#include "index/diskann/build/LayoutRanker.h"

#include <algorithm>

namespace orvane::index::diskann {

float LayoutRanker::NeighborPercentInSector(const std::vector<RankSector>& sectors,
                                            uint64_t nodeCount, uint64_t neighborCount,
                                            uint64_t nodesPerSector,
                                            std::span<const uint32_t> neighborData,
                                            std::span<const uint32_t> neighborSize) {
    float sum = 0;
    // A sector holds only a handful of nodes: a sorted copy searched by
    // bisection is cheaper than a hash set.
    std::vector<uint32_t> members;
    for (const RankSector& sector : sectors) {
        members.assign(sector.ids.begin(), sector.ids.end());
        std::sort(members.begin(), members.end());
        double sectorSum = 0;
        for (uint32_t v : sector.ids) {
            const uint32_t* row = neighborData.data() + uint64_t{v} * neighborCount;
            uint64_t inSector = 0;
            for (uint32_t j = 0; j < neighborSize[v]; ++j) {
                inSector += std::binary_search(members.begin(), members.end(), row[j]) ? 1 : 0;
            }
            sectorSum += static_cast<double>(inSector) / static_cast<double>(nodesPerSector - 1);
        }
        sum += static_cast<float>(sectorSum);
    }
    return sum / static_cast<float>(nodeCount);
}

}  // namespace orvane::index::diskann
