// SearchDiskStorage: the searcher's view of a DiskANN index file. Load keeps
// the small sections (header, ids, entry points) in memory and a reader on the
// node-record area; single node records are then read at their computed
// offsets (one read each, no index lookup) and parsed in place into a
// caller-owned GraphNodeHolder.
//
// Thread-safety: read-only after Load; any number of threads may read nodes
// at once, each into its own holder (each read writes only its own slot).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "api/ErrorCode.h"
#include "api/NoCopyable.h"
#include "api/Status.h"
#include "coro/Executor.h"
#include "coro/Lazy.h"
#include "impl/index/diskann/format/DiskANNRecords.h"
#include "io/InputStream.h"

namespace orvane::index::diskann {

// One parsed node record: the vector part and the neighbour ids, both
// pointing into a holder's buffer.
struct GraphNode {
    std::span<const uint8_t> embedding;
    std::span<const uint32_t> neighbors;
};

// Read buffers for several node records: slot k uses buffer bytes
// [k * nodeSize, (k + 1) * nodeSize).
struct GraphNodeHolder {
    std::vector<uint8_t> buffer;
    std::vector<GraphNode> nodes;

    // Sizes the holder for `slots` records of nodeSize bytes.
    void Resize(uint64_t slots, uint64_t nodeSize) {
        buffer.assign(slots * nodeSize, 0);
        nodes.assign(slots, GraphNode{});
    }
};

class SearchDiskStorage : public core::NoCopyable, public core::NoMoveable {
  public:
    SearchDiskStorage() = default;

    // Loads the sections of an index of `count` nodes of `dimension` floats.
    // Short sections are Internal; a header whose sizes cannot describe a
    // layout (zero sector, overflowing record) or entry points beyond count
    // are Corruption.
    core::Status Load(io::InputStream& stream, uint32_t count, uint64_t dimension);

    // Offset of node id's record in the layout section and its length.
    std::pair<uint64_t, uint64_t> GetOffsetAndLengthById(uint32_t id) const {
        return {_geometry.NodeOffset(id), _geometry.nodeSize};
    }
    // Reads id's record into the holder's slot.
    coro::Lazy<core::Status> ReadSingleNodeAsync(uint32_t id, uint32_t slot,
                                                 GraphNodeHolder& holder) const;
    // Points the holder's node at slot to the record in its buffer. Conflict
    // when the record lists more neighbours than the degree; Corruption when
    // it names a node beyond the count.
    core::Status ParseNodeData(uint32_t id, uint32_t slot, GraphNodeHolder& holder) const;
    // Reads and parses nodeIds[j] into slot firstSlot + j for every j, at most
    // `parallel` reads in flight (4 when 0), on `executor`. Call it from a
    // thread that is not a worker of that executor.
    core::ErrorCode ReadDiskNodes(uint32_t parallel, coro::Executor* executor,
                                  const std::vector<uint32_t>& nodeIds, GraphNodeHolder& holder,
                                  uint32_t firstSlot) const;

    const StorageHeader& Header() const { return _header; }
    const NodeGeometry& Geometry() const { return _geometry; }
    uint32_t Dimension() const { return _dimension; }
    uint64_t GraphNodeSize() const { return _geometry.nodeSize; }
    // The reader of the node records; valid after a successful Load.
    const io::InputStream::SectionReader& LayoutReader() const { return *_vectorsReader; }

    std::vector<uint64_t> ids;
    std::vector<uint32_t> entryPoints;
    std::vector<uint32_t> neighbors;  // not filled by Load

  private:
    StorageHeader _header;
    std::shared_ptr<io::InputStream::SectionReader> _vectorsReader;
    uint32_t _dimension = 0;
    NodeGeometry _geometry;
};

}  // namespace orvane::index::diskann
