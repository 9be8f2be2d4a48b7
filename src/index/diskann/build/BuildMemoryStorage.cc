#include "index/diskann/build/BuildMemoryStorage.h"

#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "encoding/CustomizedSerializeQuantizerInterface.h"
#include "index/diskann/build/LayoutRanker.h"
#include "index/diskann/format/SectionIO.h"
#include "io/InputStream.h"
#include "io/OutputStream.h"
#include "orvane/core/Result.h"
#include "telemetry/Logger.h"
#include "util/HugePages.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;

namespace {

Status AllocationFailed(uint32_t count) {
    return Status(ErrorCode::OutOfMemory,
                  "Failed to allocate the diskann graph of [" + std::to_string(count) + "] nodes");
}

}  // namespace

BuildMemoryStorage::BuildMemoryStorage(std::pmr::memory_resource* resource)
    : ids(resource),
      vectors(resource),
      _neighborData(resource),
      _neighborDistance(resource),
      _neighborSize(resource),
      _lastPruningPos(resource) {}

Status BuildMemoryStorage::Init(uint32_t count, uint32_t dimension, uint64_t neighborCount) {
    uint64_t tableSize = 0;
    uint64_t tableBytes = 0;
    uint64_t vectorCount = 0;
    if (!CheckedMul(count, neighborCount, &tableSize) ||
        !CheckedMul(tableSize, sizeof(uint32_t), &tableBytes) ||
        !CheckedMul(count, dimension, &vectorCount)) {
        return Status(ErrorCode::InvalidArgument, "diskann graph size overflows");
    }
    _dimension = dimension;
    _neighborCount = neighborCount;
    _reserveCount = count;
    try {
        ids.clear();
        vectors.clear();
        entryPoints.clear();
        ids.reserve(count);
        // Every candidate of an insertion reads a vector and a neighbour row
        // at random: huge pages spare the address translations.
        util::ReserveOnHugePages(vectors, vectorCount);
        util::ReserveOnHugePages(_neighborData, tableSize);
        _neighborData.assign(tableSize, 0);
        util::ReserveOnHugePages(_neighborDistance, tableSize);
        _neighborDistance.assign(tableSize, std::numeric_limits<float>::quiet_NaN());
        _neighborSize.assign(count, 0);
        _lastPruningPos.assign(count, 0);
    } catch (const std::bad_alloc&) {
        return AllocationFailed(count);
    }
    return Status::Ok();
}

void BuildMemoryStorage::ReleaseNeighborDistances() {
    _neighborDistance.clear();
    _neighborDistance.shrink_to_fit();
}

std::pair<BuildMemoryStorage::ReorderMap, BuildMemoryStorage::ReorderMap>
BuildMemoryStorage::GetReorderMap(uint64_t nodesPerSector) const {
    const auto start = std::chrono::steady_clock::now();
    const uint64_t count = ids.size();

    std::vector<RankSector> before;
    for (uint64_t first = 0; first < count; first += nodesPerSector) {
        RankSector sector;
        for (uint64_t v = first; v < count && v < first + nodesPerSector; ++v) {
            sector.ids.push_back(static_cast<uint32_t>(v));
        }
        before.push_back(std::move(sector));
    }
    const float percentBefore = LayoutRanker::NeighborPercentInSector(
        before, count, _neighborCount, nodesPerSector, _neighborData, _neighborSize);

    // Greedy packing: each unplaced node opens (or continues) a sector and
    // pulls its unplaced neighbours in after it until the sector is full.
    std::vector<RankSector> after;
    std::vector<bool> visited(count, false);
    RankSector open;
    for (uint64_t v = 0; v < count; ++v) {
        if (visited[v]) continue;
        visited[v] = true;
        open.ids.push_back(static_cast<uint32_t>(v));
        if (open.ids.size() == nodesPerSector) {
            after.push_back(std::move(open));
            open = RankSector();
            continue;
        }
        for (uint32_t u : Neighbors(static_cast<uint32_t>(v))) {
            if (u >= count || visited[u]) continue;
            visited[u] = true;
            open.ids.push_back(u);
            if (open.ids.size() == nodesPerSector) {
                after.push_back(std::move(open));
                open = RankSector();
                break;
            }
        }
    }
    if (!open.ids.empty()) after.push_back(std::move(open));
    const float percentAfter = LayoutRanker::NeighborPercentInSector(
        after, count, _neighborCount, nodesPerSector, _neighborData, _neighborSize);

    ReorderMap newToOld(count);
    ReorderMap oldToNew(count);
    uint64_t position = 0;
    for (const RankSector& sector : after) {
        for (uint32_t old : sector.ids) {
            newToOld[position] = old;
            oldToNew[old] = position;
            ++position;
        }
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    ORVANE_LOG_INFO(
        "rank time [%lu] seconds, node per sector [%lu] , neighbor percent  before rank [%f] "
        "after rank [%f]",
        static_cast<unsigned long>(seconds), static_cast<unsigned long>(nodesPerSector),
        static_cast<double>(percentBefore), static_cast<double>(percentAfter));
    return {std::move(newToOld), std::move(oldToNew)};
}

Status BuildMemoryStorage::Dump(const DiskANNIndexMeta& meta, const StorageHeader& header,
                                const ReorderMap& newToOld, const ReorderMap& oldToNew,
                                io::OutputStream& stream) const {
    ORVANE_RETURN_IF_ERROR(DoDumpStorage(meta, header, newToOld, oldToNew, stream));
    const uint64_t rowBytes = uint64_t{_dimension} * sizeof(float);
    VectorWriter writeRaw = [this, &stream, rowBytes](uint32_t position) {
        return stream.Write(reinterpret_cast<const char*>(Vector(position)), rowBytes);
    };
    return DumpLayout(meta, header, newToOld, oldToNew, writeRaw, stream);
}

Status BuildMemoryStorage::DumpWithDiskQuantizer(
    const DiskANNIndexMeta& meta, const StorageHeader& header, const ReorderMap& newToOld,
    const ReorderMap& oldToNew, quantizer::CustomizedSerializeQuantizerInterface& disk,
    io::OutputStream& stream) const {
    if (!newToOld.empty() || !oldToNew.empty()) {
        ORVANE_LOG_ERROR("Do not support use disk encoder combine with reorderLayout");
        return Status(ErrorCode::NotSupported,
                      "Do not support use disk encoder combine with reorderLayout");
    }
    ORVANE_RETURN_IF_ERROR(DoDumpStorage(meta, header, newToOld, oldToNew, stream));
    const quantizer::QuantizerWriter toStream = [&stream](const char* bytes, uint64_t length) {
        return stream.Write(bytes, length);
    };
    ORVANE_RETURN_IF_ERROR(disk.SerializeQuantizerInfo(toStream));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kDiskEncoderSection, kSectionAlign));
    VectorWriter writeCode = [&disk, &toStream](uint32_t position) {
        return disk.SerializeEncode(position, toStream);
    };
    ORVANE_RETURN_IF_ERROR(DumpLayout(meta, header, newToOld, oldToNew, writeCode, stream));
    if (!header.saveOriginalEmbedding) return Status::Ok();
    ORVANE_RETURN_IF_ERROR(stream.Write(reinterpret_cast<const char*>(vectors.data()),
                                        uint64_t{meta.count} * _dimension * sizeof(float)));
    return stream.SealSection(kOriginalEmbeddingSection, kSectionAlign);
}

Status BuildMemoryStorage::DoDumpStorage(const DiskANNIndexMeta& meta, const StorageHeader& header,
                                         const ReorderMap& newToOld, const ReorderMap& oldToNew,
                                         io::OutputStream& stream) const {
    const bool mapped = HasReorderMaps(newToOld, oldToNew);
    if (meta.count > ids.size() || meta.count > _reserveCount ||
        (mapped && (newToOld.size() < meta.count || oldToNew.size() < meta.count))) {
        return Status(ErrorCode::Internal, "diskann storage holds fewer nodes than the meta count");
    }
    ORVANE_RETURN_IF_ERROR(stream.WriteObj(header));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kHeaderSection, kSectionAlign));
    if (mapped) {
        for (uint64_t p = 0; p < meta.count; ++p) {
            if (newToOld[p] >= ids.size()) {
                return Status(ErrorCode::Internal, "reorder map names a node beyond the ids");
            }
            ORVANE_RETURN_IF_ERROR(stream.WriteObj(ids[newToOld[p]]));
        }
    } else {
        ORVANE_RETURN_IF_ERROR(stream.Write(reinterpret_cast<const char*>(ids.data()),
                                            uint64_t{meta.count} * sizeof(uint64_t)));
    }
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kIdsSection, kSectionAlign));
    for (uint32_t entry : entryPoints) {
        const uint32_t id = mapped ? static_cast<uint32_t>(oldToNew[entry]) : entry;
        ORVANE_RETURN_IF_ERROR(stream.WriteObj(id));
    }
    return stream.SealSection(kEntryPointsSection, kSectionAlign);
}

Status BuildMemoryStorage::DumpLayout(const DiskANNIndexMeta& meta, const StorageHeader& header,
                                      const ReorderMap& newToOld, const ReorderMap& oldToNew,
                                      const VectorWriter& writeVector,
                                      io::OutputStream& stream) const {
    NodeGeometry geometry;
    // The records hold the table's rows: the header must announce its degree
    // (an empty graph has no rows, and may never have sized its table).
    if (!NodeGeometry::Compute(header.vectorSize, header.neighborCount, header.sectorSize,
                               &geometry) ||
        (meta.count > 0 && header.neighborCount != _neighborCount)) {
        return Status(ErrorCode::InvalidArgument, "diskann storage header does not fit the graph");
    }
    const uint64_t count = meta.count;
    uint64_t nodesPerSector = 0;
    uint64_t sectorPerNode = 1;
    if (geometry.sectorSize > geometry.nodeSize) {
        nodesPerSector = geometry.nodesPerSector;
        const std::vector<char> zeros(geometry.sectorSize, 0);
        for (uint64_t first = 0; first < count; first += nodesPerSector) {
            const uint64_t inSector = std::min(nodesPerSector, count - first);
            for (uint64_t k = 0; k < inSector; ++k) {
                ORVANE_RETURN_IF_ERROR(DumpGraphNode(static_cast<uint32_t>(first + k), geometry,
                                                     writeVector, geometry.nodeSize, zeros,
                                                     newToOld, oldToNew, stream));
            }
            ORVANE_RETURN_IF_ERROR(
                stream.Write(zeros.data(), geometry.sectorSize - inSector * geometry.nodeSize));
        }
    } else {
        sectorPerNode = geometry.sectorPerNode;
        const uint64_t recordSize = sectorPerNode * geometry.sectorSize;
        const std::vector<char> zeros(recordSize, 0);
        for (uint64_t p = 0; p < count; ++p) {
            ORVANE_RETURN_IF_ERROR(DumpGraphNode(static_cast<uint32_t>(p), geometry, writeVector,
                                                 recordSize, zeros, newToOld, oldToNew, stream));
        }
    }
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kLayoutSection, kSectionAlign));
    ORVANE_LOG_INFO(
        "dump layout success, neighborSize [%lu], maxNodeSize[%lu], sectorPerNode[%u], "
        "nodesPerSector[%u]",
        static_cast<unsigned long>(_neighborCount), static_cast<unsigned long>(geometry.nodeSize),
        static_cast<unsigned>(sectorPerNode), static_cast<unsigned>(nodesPerSector));
    return Status::Ok();
}

Status BuildMemoryStorage::DumpGraphNode(uint32_t position, const NodeGeometry& geometry,
                                         const VectorWriter& writeVector, uint64_t recordSize,
                                         const std::vector<char>& zeros, const ReorderMap& newToOld,
                                         const ReorderMap& oldToNew,
                                         io::OutputStream& stream) const {
    const bool mapped = HasReorderMaps(newToOld, oldToNew);
    const uint32_t node = mapped ? static_cast<uint32_t>(newToOld[position]) : position;
    if (mapped) {
        ORVANE_RETURN_IF_ERROR(stream.Write(reinterpret_cast<const char*>(Vector(node)),
                                            uint64_t{_dimension} * sizeof(float)));
    } else {
        ORVANE_RETURN_IF_ERROR(writeVector(position));
    }
    ORVANE_RETURN_IF_ERROR(
        stream.Write(zeros.data(), geometry.alignedVectorSize - geometry.vectorSize));
    const uint32_t n = _neighborSize[node];
    ORVANE_RETURN_IF_ERROR(stream.WriteObj(n));
    const uint32_t* row = NeighborRow(node);
    if (mapped) {
        for (uint32_t j = 0; j < n; ++j) {
            ORVANE_RETURN_IF_ERROR(stream.WriteObj(static_cast<uint32_t>(oldToNew[row[j]])));
        }
    } else {
        ORVANE_RETURN_IF_ERROR(
            stream.Write(reinterpret_cast<const char*>(row), uint64_t{n} * sizeof(uint32_t)));
    }
    const uint64_t used = geometry.alignedVectorSize + sizeof(uint32_t) * (uint64_t{n} + 1);
    return stream.Write(zeros.data(), recordSize - used);
}

namespace {

template <typename T>
Status WriteArray(io::OutputStream& stream, const T* data, uint64_t count) {
    return stream.Write(reinterpret_cast<const char*>(data), count * sizeof(T));
}

Status Damaged(const std::string& what) {
    ORVANE_LOG_ERROR("Damaged diskann checkpoint: %s", what.c_str());
    return Status(ErrorCode::Corruption, "Damaged diskann checkpoint: " + what);
}

}  // namespace

Status BuildMemoryStorage::DumpCheckpoint(const DiskANNIndexMeta&,
                                          const StorageCheckpointHeader& header,
                                          io::OutputStream& stream) const {
    ORVANE_RETURN_IF_ERROR(stream.WriteObj(header));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kHeaderSection, kSectionAlign));
    ORVANE_RETURN_IF_ERROR(WriteArray(stream, entryPoints.data(), entryPoints.size()));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kEntryPointsSection, kSectionAlign));
    ORVANE_RETURN_IF_ERROR(WriteArray(stream, _neighborData.data(), _neighborData.size()));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kCkptNeighborDataSection, kSectionAlign));
    ORVANE_RETURN_IF_ERROR(WriteArray(stream, _neighborSize.data(), _neighborSize.size()));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kCkptNeighborSizeSection, kSectionAlign));
    ORVANE_RETURN_IF_ERROR(WriteArray(stream, _lastPruningPos.data(), _lastPruningPos.size()));
    return stream.SealSection(kCkptLastPruningPosSection, kSectionAlign);
}

Status BuildMemoryStorage::LoadFromCheckpoint(io::InputStream& stream, uint32_t count,
                                              uint64_t dimension, StorageCheckpointHeader& header) {
    ORVANE_RETURN_IF_ERROR(
        ReadSectionPrefix(stream, kHeaderSection, &header, sizeof(header), "checkpoint header"));
    ORVANE_LOG_INFO("Checkpoint load header, neighborCount [%lu], efConstruction [%u]",
                    static_cast<unsigned long>(header.neighborCount), header.efConstruction);
    // The table is count x degree uint32; its byte size must fit 64 bits (and
    // a degree of 0 leaves the pruning nothing to keep).
    uint64_t tableSize = 0;
    uint64_t tableBytes = 0;
    uint64_t vectorCount = 0;
    if (header.neighborCount == 0 || header.neighborCount > UINT32_MAX ||
        !CheckedMul(count, header.neighborCount, &tableSize) ||
        !CheckedMul(tableSize, sizeof(uint32_t), &tableBytes)) {
        return Damaged("neighbor count [" + std::to_string(header.neighborCount) +
                       "] does not fit a table of [" + std::to_string(count) + "] nodes");
    }
    if (dimension > UINT32_MAX || !CheckedMul(count, dimension, &vectorCount)) {
        return Damaged("dimension [" + std::to_string(dimension) + "] out of range");
    }
    if (header.buildNodeCount > count) {
        return Damaged("built node count [" + std::to_string(header.buildNodeCount) +
                       "] above node count [" + std::to_string(count) + "]");
    }
    _reserveCount = count;
    _dimension = static_cast<uint32_t>(dimension);
    _neighborCount = header.neighborCount;

    ORVANE_RETURN_IF_ERROR(ReadSectionArray<uint32_t>(
        stream, kEntryPointsSection, header.entryPointSize, "index entry points", entryPoints));
    ORVANE_RETURN_IF_ERROR(ReadSectionArray<uint32_t>(stream, kCkptNeighborDataSection, tableSize,
                                                      "checkpoint neighbor data", _neighborData));
    ORVANE_RETURN_IF_ERROR(LoadNeighborSize(stream));
    ORVANE_RETURN_IF_ERROR(LoadLastPruningPos(stream));
    ORVANE_RETURN_IF_ERROR(ValidateRestoredGraph(header.buildNodeCount));
    // Checkpoints keep no distances: the restored lists' are computed when needed.
    try {
        _neighborDistance.assign(tableSize, std::numeric_limits<float>::quiet_NaN());
    } catch (const std::bad_alloc&) {
        return AllocationFailed(count);
    }
    ids.clear();
    vectors.clear();
    ids.reserve(count);
    vectors.reserve(vectorCount);
    return Status::Ok();
}

Status BuildMemoryStorage::LoadNeighborSize(io::InputStream& stream) {
    return ReadSectionArray<uint32_t>(stream, kCkptNeighborSizeSection, _reserveCount,
                                      "checkpoint neighbor size", _neighborSize);
}

Status BuildMemoryStorage::LoadLastPruningPos(io::InputStream& stream) {
    return ReadSectionArray<uint32_t>(stream, kCkptLastPruningPosSection, _reserveCount,
                                      "checkpoint last pruning pos", _lastPruningPos);
}

Status BuildMemoryStorage::ValidateRestoredGraph(uint32_t buildNodeCount) const {
    for (uint32_t entry : entryPoints) {
        if (entry >= _reserveCount) {
            return Damaged("entry point [" + std::to_string(entry) + "] beyond node count [" +
                           std::to_string(_reserveCount) + "]");
        }
    }
    if (buildNodeCount > 0 && entryPoints.empty()) {
        return Damaged("built nodes without an entry point");
    }
    for (uint32_t node = 0; node < _reserveCount; ++node) {
        if (_neighborSize[node] > _neighborCount || _lastPruningPos[node] > _neighborCount) {
            return Damaged("node [" + std::to_string(node) + "] lists [" +
                           std::to_string(_neighborSize[node]) + "] neighbors, degree is [" +
                           std::to_string(_neighborCount) + "]");
        }
        for (uint32_t u : Neighbors(node)) {
            if (u >= _reserveCount) {
                return Damaged("node [" + std::to_string(node) + "] names neighbor [" +
                               std::to_string(u) + "] beyond node count [" +
                               std::to_string(_reserveCount) + "]");
            }
        }
    }
    return Status::Ok();
}

}  // namespace orvane::index::diskann
