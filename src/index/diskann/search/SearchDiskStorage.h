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

#include "index/diskann/format/DiskANNRecords.h"
#include "index/diskann/format/GraphNode.h"
#include "io/InputStream.h"
#include "orvane/core/ErrorCode.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"

namespace orvane::index::diskann {

class SearchDiskStorage : public core::NoCopyable, public core::NoMoveable {
  public:
    // The node records where they lie, for the scope of one search, when the
    // file reader holds the file in memory (a memory map, an image): they are
    // then parsed in place instead of copied, and the reader cannot close
    // while the view lives. Data() is null for a reader that copies, or one
    // already closed; ReadNodes then copies the records into the holder.
    class RecordView : public core::NoCopyable, public core::NoMoveable {
      public:
        explicit RecordView(const SearchDiskStorage& storage);
        ~RecordView();
        const uint8_t* Data() const { return _records; }

      private:
        const io::InputStream::SectionReader* _reader = nullptr;
        const uint8_t* _records = nullptr;
    };

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
    // is scratch of at least that size. With `records` (a RecordView's data)
    // the nodes are parsed where they lie instead, and point there. The first
    // failed read or parse is returned (and logged with its node).
    core::Status ReadNodes(std::span<const uint32_t> ids, GraphNodeHolder& holder,
                           uint32_t firstSlot, uint32_t parallel,
                           std::span<io::InputStream::SectionReader::ReadRequest> requests,
                           const uint8_t* records = nullptr) const;

    // Asks the processor for node id's record in `records` (a RecordView's
    // data); nothing for an id beyond the count.
    void PrefetchNode(uint32_t id, const uint8_t* records) const {
        if (id < ids.size()) PrefetchRecord(records + _geometry.NodeOffset(id));
    }

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
    // Points `node` at the record of `id` at `record`, after the checks of
    // ParseNodeData.
    core::Status ParseRecord(uint32_t id, const uint8_t* record, GraphNode& node) const;
    // Node `id` has a record (id < count); InvalidArgument "Read out of
    // bounds" otherwise, for the copying and the in-place read alike.
    core::Status CheckNodeId(uint32_t id) const;
    // Holder slot `slot` exists; Internal otherwise.
    core::Status CheckSlot(uint64_t slot, const GraphNodeHolder& holder) const;
    // ReadNodes over records held in place.
    core::Status ParseInPlace(std::span<const uint32_t> ids, GraphNodeHolder& holder,
                              uint32_t firstSlot, const uint8_t* records) const;
    // Asks the processor for every cache line of the record at `record`.
    void PrefetchRecord(const uint8_t* record) const;
    static core::Status LogParseFailure(uint32_t id, const core::Status& parsed);

    StorageHeader _header;
    std::shared_ptr<io::InputStream::SectionReader> _vectorsReader;
    uint32_t _dimension = 0;
    NodeGeometry _geometry;
};

}  // namespace orvane::index::diskann
