// The checkpoint half of BuildMemoryStorage: writing the neighbour table and
// restoring it, with every restored value checked before the build trusts it.
#include <span>
#include <string>

#include "api/Result.h"
#include "impl/index/diskann/build/BuildMemoryStorage.h"
#include "impl/index/diskann/format/SectionIO.h"
#include "io/InputStream.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;

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
