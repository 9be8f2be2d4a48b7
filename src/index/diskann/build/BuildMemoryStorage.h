// BuildMemoryStorage: the DiskANN graph while it is built. Holds the row ids,
// the raw vectors, the entry points and a flat neighbour table of
// reserveCount x neighborCount node ids (row i lists node i's out-neighbours;
// `NeighborSize(i)` of them are in use), and beside it, slot for slot, each
// listed neighbour's distance to the row's node while the graph is built (NaN
// where not known, e.g. after a checkpoint resume), so that re-pruning a full
// list need not compute its distances again. Writes the index sections (header,
// ids, entry points, sector-aligned node records, optionally with a disk
// encoding and a sector-aware reordering) and writes and restores build
// checkpoints.
//
// Thread-safety: the builder's workers mutate a node's row, size and pruning
// position only under that node's lock (the builder owns the locks); ids,
// vectors and entry points are written by one thread. Dumping is const and
// runs on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory_resource>
#include <span>
#include <utility>
#include <vector>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"
#include "index/diskann/format/DiskANNRecords.h"

namespace orvane::io {
class OutputStream;
class InputStream;
}  // namespace orvane::io

namespace orvane::quantizer {
class CustomizedSerializeQuantizerInterface;
}

namespace orvane::index::diskann {

class BuildMemoryStorage : public core::NoCopyable, public core::NoMoveable {
  public:
    // Writes the vector part of the record at a layout position.
    using VectorWriter = std::function<core::Status(uint32_t position)>;
    using ReorderMap = std::vector<uint64_t>;

    explicit BuildMemoryStorage(std::pmr::memory_resource* resource);

    // Sizes the neighbour table for `count` nodes of at most `neighborCount`
    // neighbours (all zero) and reserves room for the ids and vectors.
    // InvalidArgument when the table size does not fit in memory sizes.
    core::Status Init(uint32_t count, uint32_t dimension, uint64_t neighborCount);

    // A sector-aware order of the first ids.size() nodes: (new-to-old,
    // old-to-new). Nodes are packed greedily with their neighbours into
    // sectors of nodesPerSector.
    std::pair<ReorderMap, ReorderMap> GetReorderMap(uint64_t nodesPerSector) const;

    // Writes header, ids, entry points and the layout of raw-vector records.
    // The maps are used only when both are non-empty.
    core::Status Dump(const DiskANNIndexMeta& meta, const StorageHeader& header,
                      const ReorderMap& newToOld, const ReorderMap& oldToNew,
                      io::OutputStream& stream) const;
    // The same with the disk encoder's codes as the records' vector part, its
    // model in its own section and, if the header asks, the raw vectors after
    // the layout. Refuses reorder maps (NotSupported).
    core::Status DumpWithDiskQuantizer(const DiskANNIndexMeta& meta, const StorageHeader& header,
                                       const ReorderMap& newToOld, const ReorderMap& oldToNew,
                                       quantizer::CustomizedSerializeQuantizerInterface& disk,
                                       io::OutputStream& stream) const;

    // Checkpoint: the checkpoint header, entry points and the whole neighbour
    // table with its sizes and pruning positions.
    core::Status DumpCheckpoint(const DiskANNIndexMeta& meta, const StorageCheckpointHeader& header,
                                io::OutputStream& stream) const;
    // Restores what DumpCheckpoint wrote for a graph of `count` nodes. Sizes
    // short of what the header announces are Internal; contents that would
    // make the build read or write outside its arrays (neighbour ids or entry
    // points >= count, sizes above the degree, a degree of 0 or one whose
    // table size overflows, more built nodes than count) are Corruption.
    core::Status LoadFromCheckpoint(io::InputStream& stream, uint32_t count, uint64_t dimension,
                                    StorageCheckpointHeader& header);

    uint32_t Dimension() const { return _dimension; }
    uint64_t NeighborCount() const { return _neighborCount; }
    uint32_t ReserveCount() const { return _reserveCount; }

    // Row `node` of the neighbour table (NeighborCount() slots).
    uint32_t* NeighborRow(uint32_t node) { return _neighborData.data() + node * _neighborCount; }
    const uint32_t* NeighborRow(uint32_t node) const {
        return _neighborData.data() + node * _neighborCount;
    }
    uint32_t& NeighborSize(uint32_t node) { return _neighborSize[node]; }
    uint32_t NeighborSize(uint32_t node) const { return _neighborSize[node]; }
    uint32_t& LastPruningPos(uint32_t node) { return _lastPruningPos[node]; }
    // Row `node` of the neighbour distances (NeighborCount() slots), in step
    // with NeighborRow; null once released.
    float* NeighborDistanceRow(uint32_t node) {
        return _neighborDistance.empty() ? nullptr
                                         : _neighborDistance.data() + node * _neighborCount;
    }
    // Drops the neighbour distances (the graph is complete; no more inserts).
    void ReleaseNeighborDistances();
    std::span<const uint32_t> Neighbors(uint32_t node) const {
        return {NeighborRow(node), _neighborSize[node]};
    }
    // Row `node` of the vectors (Dimension() floats).
    const float* Vector(uint64_t node) const { return vectors.data() + node * _dimension; }

    std::pmr::vector<uint64_t> ids;
    std::pmr::vector<float> vectors;
    std::vector<uint32_t> entryPoints;

  private:
    core::Status DoDumpStorage(const DiskANNIndexMeta& meta, const StorageHeader& header,
                               const ReorderMap& newToOld, const ReorderMap& oldToNew,
                               io::OutputStream& stream) const;
    core::Status DumpLayout(const DiskANNIndexMeta& meta, const StorageHeader& header,
                            const ReorderMap& newToOld, const ReorderMap& oldToNew,
                            const VectorWriter& writeVector, io::OutputStream& stream) const;
    core::Status DumpGraphNode(uint32_t position, const NodeGeometry& geometry,
                               const VectorWriter& writeVector, uint64_t recordSize,
                               const std::vector<char>& zeros, const ReorderMap& newToOld,
                               const ReorderMap& oldToNew, io::OutputStream& stream) const;
    core::Status LoadNeighborSize(io::InputStream& stream);
    core::Status LoadLastPruningPos(io::InputStream& stream);
    // Every restored list fits the degree and names existing nodes.
    core::Status ValidateRestoredGraph(uint32_t buildNodeCount) const;

    uint32_t _dimension = 0;
    uint64_t _neighborCount = 0;
    std::pmr::vector<uint32_t> _neighborData;
    std::pmr::vector<float> _neighborDistance;
    std::pmr::vector<uint32_t> _neighborSize;
    std::pmr::vector<uint32_t> _lastPruningPos;
    uint32_t _reserveCount = 0;
};

// Whether both reorder maps are present (a layout written in reordered order).
inline bool HasReorderMaps(const BuildMemoryStorage::ReorderMap& newToOld,
                           const BuildMemoryStorage::ReorderMap& oldToNew) {
    return !newToOld.empty() && !oldToNew.empty();
}

}  // namespace orvane::index::diskann
