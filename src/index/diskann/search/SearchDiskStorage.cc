#include "index/diskann/search/SearchDiskStorage.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "index/diskann/format/SectionIO.h"
#include "orvane/core/Result.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;

namespace {

Status DamagedIndex(const std::string& what) {
    ORVANE_LOG_ERROR("Damaged diskann index: %s", what.c_str());
    return Status(ErrorCode::Corruption, "Damaged diskann index: " + what);
}

}  // namespace

Status SearchDiskStorage::Load(io::InputStream& stream, uint32_t count, uint64_t dimension) {
    ORVANE_RETURN_IF_ERROR(
        ReadSectionPrefix(stream, kHeaderSection, &_header, sizeof(_header), "index header"));
    if (dimension > UINT32_MAX) return DamagedIndex("dimension out of range");
    _dimension = static_cast<uint32_t>(dimension);
    if (!NodeGeometry::Compute(_header.vectorSize, _header.neighborCount, _header.sectorSize,
                               &_geometry)) {
        return DamagedIndex("header sizes describe no layout");
    }
    // The writer always stores at least one neighbour slot and the sector size
    // it chose for the node size; anything else would lay nodes out elsewhere.
    if (_header.neighborCount == 0) return DamagedIndex("neighbour count 0");
    if (_header.sectorSize != ChooseSectorSize(_geometry.nodeSize)) {
        return DamagedIndex("sector size [" + std::to_string(_header.sectorSize) +
                            "] does not fit node size [" + std::to_string(_geometry.nodeSize) +
                            "]");
    }
    if (count > 0 && _header.entryPointSize == 0) return DamagedIndex("no entry point");
    ORVANE_LOG_INFO(
        "SearchDiskStorage load, neighborCount [%lu], efConstruction [%u], sectorSize [%lu], "
        "graphNodeSize [%lu], sectorPerNode [%lu], nodesPerSector [%lu], vectorSize [%lu], "
        "alignedVectorSize [%lu], use disk encoder [%d], saveOriginalEmbedding [%d]",
        static_cast<unsigned long>(_header.neighborCount), _header.efConstruction,
        static_cast<unsigned long>(_geometry.sectorSize),
        static_cast<unsigned long>(_geometry.nodeSize),
        static_cast<unsigned long>(_geometry.sectorPerNode),
        static_cast<unsigned long>(_geometry.nodesPerSector),
        static_cast<unsigned long>(_geometry.vectorSize),
        static_cast<unsigned long>(_geometry.alignedVectorSize),
        HeaderFlag(_header.quantizeRawData) ? 1 : 0,
        HeaderFlag(_header.saveOriginalEmbedding) ? 1 : 0);

    ORVANE_RETURN_IF_ERROR(
        ReadSectionArray<uint64_t>(stream, kIdsSection, count, "index ids", ids));
    ORVANE_RETURN_IF_ERROR(ReadSectionArray<uint32_t>(
        stream, kEntryPointsSection, _header.entryPointSize, "index entry points", entryPoints));
    for (uint32_t entry : entryPoints) {
        if (entry >= count) {
            return DamagedIndex("entry point [" + std::to_string(entry) + "] beyond count [" +
                                std::to_string(count) + "]");
        }
    }

    uint64_t total = 0;
    if (!_geometry.TotalSize(count, &total)) return DamagedIndex("layout size overflows");
    ORVANE_LOG_INFO(
        "read layout, nodeCount [%u], sectorPerNode [%lu], nodesPerSector [%lu], total byte size "
        "[%lu]",
        count, static_cast<unsigned long>(_geometry.sectorPerNode),
        static_cast<unsigned long>(_geometry.nodesPerSector), static_cast<unsigned long>(total));
    auto checked = GetSectionAtLeast(stream, kLayoutSection, total, "index layout");
    if (!checked.IsOk()) return checked.TakeStatus();
    _vectorsReader = checked.TakeValue();
    return Status::Ok();
}

SearchDiskStorage::RecordView::RecordView(const SearchDiskStorage& storage)
    : _reader(storage._vectorsReader.get()) {
    if (_reader == nullptr) return;
    const char* base = _reader->BeginInPlace();
    if (base == nullptr) return;
    // Records lie at multiples of 4 bytes from the section's start, so an
    // aligned section keeps their neighbour ids and floats aligned; a section
    // that is not (never written so) is read by copy.
    if (reinterpret_cast<uintptr_t>(base) % alignof(uint32_t) != 0) {
        _reader->EndInPlace();
        return;
    }
    _records = reinterpret_cast<const uint8_t*>(base);
}

SearchDiskStorage::RecordView::~RecordView() {
    if (_records != nullptr) _reader->EndInPlace();
}

Status SearchDiskStorage::CheckSlot(uint64_t slot, const GraphNodeHolder& holder) const {
    if (slot < holder.nodes.size() && slot < holder.buffer.size() / _geometry.nodeSize) {
        return Status::Ok();
    }
    ORVANE_LOG_ERROR("disk read node index [%lu] larger than beam width",
                     static_cast<unsigned long>(slot));
    return Status(ErrorCode::Internal, "Disk read node index out of bounds");
}

Status SearchDiskStorage::CheckNodeId(uint32_t id) const {
    // Load checked that the layout holds every node's record; a node beyond
    // the count has none: its offset lies in the last sector's padding or past
    // the layout, where a read would yield zeros or fail with another message.
    if (id < ids.size()) return Status::Ok();
    ORVANE_LOG_ERROR("Failed to read status msg [%s], nodeId [%u]", "Read out of bounds", id);
    return Status(ErrorCode::InvalidArgument, "Read out of bounds");
}

Status SearchDiskStorage::ParseRecord(uint32_t id, const uint8_t* record, GraphNode& node) const {
    uint32_t n = 0;
    std::memcpy(&n, record + _geometry.alignedVectorSize, sizeof(n));
    if (n > _header.neighborCount) {
        ORVANE_LOG_ERROR("Neighbor count [%u] read from disk not match [%lu]", n,
                         static_cast<unsigned long>(_header.neighborCount));
        return Status(ErrorCode::Conflict, "Neighbor count mismatch");
    }
    // Records lie at multiples of 4 bytes into a 4-byte aligned buffer (a
    // holder's vector storage, or an aligned RecordView).
    const auto* neighborIds =
        reinterpret_cast<const uint32_t*>(record + _geometry.alignedVectorSize + 4);
    const uint64_t count = ids.size();
    for (uint32_t j = 0; j < n; ++j) {
        if (neighborIds[j] >= count) {
            ORVANE_LOG_ERROR("Node [%u] names neighbor [%u] beyond count [%zu]", id, neighborIds[j],
                             ids.size());
            return Status(ErrorCode::Corruption, "Data parsing failed");
        }
    }
    node = GraphNode{{record, _geometry.vectorSize}, {neighborIds, n}};
    return Status::Ok();
}

Status SearchDiskStorage::ParseNodeData(uint32_t id, uint32_t slot, GraphNodeHolder& holder) const {
    ORVANE_RETURN_IF_ERROR(CheckSlot(slot, holder));
    return ParseRecord(id, holder.buffer.data() + uint64_t{slot} * _geometry.nodeSize,
                       holder.nodes[slot]);
}

Status SearchDiskStorage::ReadNodes(std::span<const uint32_t> ids, GraphNodeHolder& holder,
                                    uint32_t firstSlot, uint32_t parallel,
                                    std::span<io::InputStream::SectionReader::ReadRequest> requests,
                                    const uint8_t* records) const {
    if (records != nullptr) return ParseInPlace(ids, holder, firstSlot, records);
    const uint64_t nodeSize = _geometry.nodeSize;
    const size_t width = std::max<size_t>(1, std::min<size_t>(parallel, requests.size()));
    for (size_t first = 0; first < ids.size(); first += width) {
        const size_t n = std::min(width, ids.size() - first);
        for (size_t j = 0; j < n; ++j) {
            const uint64_t slot = firstSlot + first + j;
            ORVANE_RETURN_IF_ERROR(CheckSlot(slot, holder));
            ORVANE_RETURN_IF_ERROR(CheckNodeId(ids[first + j]));
            auto& request = requests[j];
            request.offset = _geometry.NodeOffset(ids[first + j]);
            request.length = nodeSize;
            request.buffer = reinterpret_cast<char*>(holder.buffer.data()) + slot * nodeSize;
        }
        const Status read = _vectorsReader->ReadBatch(requests.first(n));
        if (!read.IsOk()) {
            ORVANE_LOG_ERROR("Failed to read status msg [%s], nodeId [%u]", read.Message().c_str(),
                             ids[first]);
            return read;
        }
        for (size_t j = 0; j < n; ++j) {
            const uint32_t id = ids[first + j];
            const Status parsed =
                ParseNodeData(id, static_cast<uint32_t>(firstSlot + first + j), holder);
            if (!parsed.IsOk()) return LogParseFailure(id, parsed);
        }
    }
    return Status::Ok();
}

Status SearchDiskStorage::ParseInPlace(std::span<const uint32_t> ids, GraphNodeHolder& holder,
                                       uint32_t firstSlot, const uint8_t* records) const {
    // The records are far apart in the file and seldom in the processor's
    // caches: asking for all of them before the first is parsed lets their
    // memory reads overlap instead of waiting for one record after another.
    for (uint32_t id : ids) PrefetchNode(id, records);
    for (size_t j = 0; j < ids.size(); ++j) {
        const uint64_t slot = firstSlot + j;
        ORVANE_RETURN_IF_ERROR(CheckSlot(slot, holder));
        const uint32_t id = ids[j];
        ORVANE_RETURN_IF_ERROR(CheckNodeId(id));
        const Status parsed =
            ParseRecord(id, records + _geometry.NodeOffset(id), holder.nodes[slot]);
        if (!parsed.IsOk()) return LogParseFailure(id, parsed);
    }
    return Status::Ok();
}

void SearchDiskStorage::PrefetchRecord(const uint8_t* record) const {
    constexpr uint64_t kLine = 64;
    // The neighbour list first: parsing reads it before the vector.
    const uint8_t* list = record + _geometry.alignedVectorSize;
    const uint64_t listBytes = _geometry.nodeSize - _geometry.alignedVectorSize;
    for (uint64_t at = 0; at < listBytes; at += kLine) __builtin_prefetch(list + at);
    // The vector, read later by the exact distance, into the second-level
    // cache (prefetcht1): a beam's vectors asked for in the first level are
    // more misses than it tracks at once, and the prefetches then stall the
    // search. Six interleaved pairs on Fashion-MNIST (R32, PQ 98, mmap
    // reader): +13% QPS at recall 0.95.
    for (uint64_t at = 0; at < _geometry.vectorSize; at += kLine) {
        __builtin_prefetch(record + at, 0, 2);
    }
}

Status SearchDiskStorage::LogParseFailure(uint32_t id, const Status& parsed) {
    ORVANE_LOG_ERROR("Failed to parse node data, nodeId [%u]: %s", id, parsed.Message().c_str());
    return parsed;
}

}  // namespace orvane::index::diskann
