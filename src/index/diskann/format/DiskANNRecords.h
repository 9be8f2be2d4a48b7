// The fixed records of a DiskANN index file and of a DiskANN build checkpoint,
// the names of their sections, and the node-record geometry both the writer
// and the reader derive from a StorageHeader. Records are written as their
// in-memory image (little-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace orvane::index::diskann {

using node_id_t = uint32_t;

inline constexpr const char* kMetaSection = "diskann.section.meta";
inline constexpr const char* kEncoderSection = "diskann.section.encoder";
inline constexpr const char* kHeaderSection = "diskann.section.header";
inline constexpr const char* kIdsSection = "diskann.section.ids";
inline constexpr const char* kEntryPointsSection = "diskann.section.entry_points";
inline constexpr const char* kDiskEncoderSection = "diskann.section.disk_encoder";
inline constexpr const char* kLayoutSection = "diskann.section.layout";
inline constexpr const char* kOriginalEmbeddingSection = "diskann.section.original_embedding";
inline constexpr const char* kCkptNeighborDataSection = "diskann.section.checkpoint.neighbor_data";
inline constexpr const char* kCkptNeighborSizeSection = "diskann.section.checkpoint.neighbor_size";
inline constexpr const char* kCkptLastPruningPosSection =
    "diskann.section.checkpoint.last_pruning_pos";

// Alignment of every DiskANN section except the in-memory encoder's.
inline constexpr uint64_t kSectionAlign = 64;
inline constexpr uint64_t kSmallSectorSize = 4096;
inline constexpr uint64_t kLargeSectorSize = 16384;

struct DiskANNIndexMeta {
    uint32_t count = 0;
    uint32_t dimension = 0;
    uint32_t metricType = 0;
};
static_assert(sizeof(DiskANNIndexMeta) == 12 && std::is_trivially_copyable_v<DiskANNIndexMeta>);

struct StorageHeader {
    uint32_t efConstruction = 0;
    float slackPruningFactor = 0;
    uint64_t neighborCount = 0;
    uint64_t sectorSize = kSmallSectorSize;
    uint32_t entryPointSize = 0;
    bool hasLabel = false;
    bool quantizeRawData = false;
    uint8_t padding0[2] = {};
    uint64_t vectorSize = 0;
    bool saveOriginalEmbedding = false;
    uint8_t padding1[7] = {};
};
static_assert(sizeof(StorageHeader) == 48 && std::is_trivially_copyable_v<StorageHeader>);
static_assert(offsetof(StorageHeader, entryPointSize) == 24 &&
              offsetof(StorageHeader, quantizeRawData) == 29 &&
              offsetof(StorageHeader, vectorSize) == 32 &&
              offsetof(StorageHeader, saveOriginalEmbedding) == 40);

// Booleans of a header read from a file may hold any byte; this reads them as
// "non-zero is true" without loading a bool with an invalid representation.
inline bool HeaderFlag(const bool& flag) {
    return *reinterpret_cast<const unsigned char*>(&flag) != 0;
}

struct StorageCheckpointHeader {
    uint32_t efConstruction = 0;
    float slackPruningFactor = 0;
    uint64_t neighborCount = 0;
    uint32_t entryPointSize = 0;
    uint32_t buildNodeCount = 0;
};
static_assert(sizeof(StorageCheckpointHeader) == 24 &&
              std::is_trivially_copyable_v<StorageCheckpointHeader>);

// Where node records lie in the layout section. Two shapes: several whole
// records per sector (nodesPerSector >= 1), or each record spread over
// sectorPerNode whole sectors (nodesPerSector == 0).
struct NodeGeometry {
    uint64_t vectorSize = 0;
    uint64_t alignedVectorSize = 0;  // vectorSize rounded up to a multiple of 4
    uint64_t nodeSize = 0;           // aligned vector, count word, neighbour slots
    uint64_t sectorSize = 0;
    uint64_t nodesPerSector = 0;  // sectorSize / nodeSize
    uint64_t sectorPerNode = 0;   // ceil(nodeSize / sectorSize)

    // False when a size is zero or does not fit 64 bits (a damaged header).
    static bool Compute(uint64_t vectorSize, uint64_t neighborCount, uint64_t sectorSize,
                        NodeGeometry* out);

    // Byte offset of node i from the start of the layout payload.
    uint64_t NodeOffset(uint64_t i) const {
        return nodesPerSector != 0
                   ? (i / nodesPerSector) * sectorSize + (i % nodesPerSector) * nodeSize
                   : i * sectorPerNode * sectorSize;
    }
    // Bytes the layout of `count` nodes occupies; false on overflow.
    bool TotalSize(uint64_t count, uint64_t* out) const;
};

// The sector size the builder picks for records of nodeSize bytes: 16 KiB when
// a record just spills over a 4 KiB sector (less than half a sector beyond),
// so that several fit per read instead of wasting most of a second sector.
inline uint64_t ChooseSectorSize(uint64_t nodeSize) {
    return nodeSize > kSmallSectorSize && nodeSize % kSmallSectorSize < kSmallSectorSize / 2
               ? kLargeSectorSize
               : kSmallSectorSize;
}

}  // namespace orvane::index::diskann
