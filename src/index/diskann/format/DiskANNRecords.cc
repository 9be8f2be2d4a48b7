#include "index/diskann/format/DiskANNRecords.h"

#include "index/diskann/format/SectionIO.h"

namespace orvane::index::diskann {

bool NodeGeometry::Compute(uint64_t vectorSize, uint64_t neighborCount, uint64_t sectorSize,
                           NodeGeometry* out) {
    // Every size is kept far below 2^64 so that offsets of any node of a
    // 32-bit count cannot overflow either: a record is capped at 2^40 bytes.
    constexpr uint64_t kMaxPart = uint64_t{1} << 38;
    if (sectorSize == 0 || sectorSize > kMaxPart || vectorSize > kMaxPart ||
        neighborCount > kMaxPart) {
        return false;
    }
    NodeGeometry g;
    g.vectorSize = vectorSize;
    g.alignedVectorSize = (vectorSize + 3) & ~uint64_t{3};
    g.nodeSize = g.alignedVectorSize + 4 * neighborCount + 4;
    g.sectorSize = sectorSize;
    g.nodesPerSector = sectorSize / g.nodeSize;
    g.sectorPerNode = (g.nodeSize + sectorSize - 1) / sectorSize;
    *out = g;
    return true;
}

bool NodeGeometry::TotalSize(uint64_t count, uint64_t* out) const {
    if (nodesPerSector != 0) {
        return CheckedMul((count + nodesPerSector - 1) / nodesPerSector, sectorSize, out);
    }
    uint64_t sectors = 0;
    return CheckedMul(count, sectorPerNode, &sectors) && CheckedMul(sectors, sectorSize, out);
}

}  // namespace orvane::index::diskann
