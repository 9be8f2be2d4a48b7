// SearchDiskStorage: the searcher's view of a DiskANN index file. Load keeps
// the small sections (header, ids, entry points) in memory and a reader on the
// node-record area; single node records are then read at their computed
// offsets (one read each, no index lookup), a batch of them at a time, and
// parsed in place into a caller-owned GraphNodeHolder.
//
// Thread-safety: read-only after Load; any number of threads may read nodes
// at once, each into its own holder (each read writes only its own slot).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "orvane/core/ErrorCode.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"
#include "index/diskann/format/DiskANNRecords.h"
#include "index/diskann/format/GraphNode.h"
#include "io/InputStream.h"

namespace orvane::index::diskann {

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
    // Points the holder's node at slot to the record in its buffer. Conflict
    // when the record lists more neighbours than the degree; Corruption when
    // it names a node beyond the count.
    core::Status ParseNodeData(uint32_t id, uint32_t slot, GraphNodeHolder& holder) const;
    // Reads and parses ids[j] into slot firstSlot + j of holder with
    // ReadBatch, at most `parallel` (at least 1) reads at a time; `requests`
    // is scratch of at least that size. The first failed read or parse is
    // returned (and logged with its node).
    core::Status ReadNodes(std::span<const uint32_t> ids, GraphNodeHolder& holder,
                           uint32_t firstSlot, uint32_t parallel,
                           std::span<io::InputStream::SectionReader::ReadRequest> requests) const;

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
