// DiskANNBuilderBackend::Dump: writes the finished build as an index file:
// the meta, the encoder section (rows renumbered when the layout is
// reordered) and the node records with their storage header.
#include <string>
#include <tuple>

#include "encoding/CustomizedSerializeQuantizerInterface.h"
#include "encoding/SerializeWithMappingInterface.h"
#include "index/diskann/build/DiskANNBuilderBackend.h"
#include "index/diskann/format/SectionIO.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;

Status DiskANNBuilderBackend::Dump(io::OutputStream& stream) const {
    if (_reservedCount != 0 && _reservedCount != _appendedCount) {
        ORVANE_LOG_ERROR("Reserved [%u] vectors but inserted [%u] vectors", _reservedCount,
                         _appendedCount);
        return Status(ErrorCode::Internal, "Vector count mismatch: expected " +
                                               std::to_string(_reservedCount) + " but got " +
                                               std::to_string(_appendedCount));
    }
    const DiskANNIndexMeta meta{_appendedCount, static_cast<uint32_t>(_dimension),
                                static_cast<uint32_t>(_metricType)};
    ORVANE_RETURN_IF_ERROR(stream.WriteObj(meta));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kMetaSection, kSectionAlign));

    StorageHeader header;
    header.efConstruction = _efConstruction;
    header.slackPruningFactor = _slackPruningFactor;
    header.neighborCount = _neighborCount;
    header.sectorSize = kSmallSectorSize;
    header.entryPointSize = static_cast<uint32_t>(_storage.entryPoints.size());
    header.hasLabel = false;
    header.quantizeRawData = _diskQuantizerTrainer != nullptr;
    header.saveOriginalEmbedding = _diskQuantizerTrainer != nullptr && _saveOriginalEmbedding;
    header.vectorSize = _diskQuantizerTrainer != nullptr
                            ? _diskQuantizerTrainer->GetEncodedNodeSize()
                            : _dimension * sizeof(float);

    NodeGeometry geometry;
    if (!NodeGeometry::Compute(header.vectorSize, _neighborCount, kSmallSectorSize, &geometry)) {
        return Status(ErrorCode::InvalidArgument, "diskann node record size overflows");
    }
    BuildMemoryStorage::ReorderMap newToOld, oldToNew;
    header.sectorSize = ChooseSectorSize(geometry.nodeSize);
    if (header.sectorSize == kSmallSectorSize && _reorderLayout && geometry.nodesPerSector > 3) {
        std::tie(newToOld, oldToNew) = _storage.GetReorderMap(geometry.nodesPerSector);
    }

    const quantizer::QuantizerWriter toStream = [&stream](const char* bytes, uint64_t length) {
        return stream.Write(bytes, length);
    };
    if (HasReorderMaps(newToOld, oldToNew)) {
        auto* mapping =
            dynamic_cast<quantizer::SerializeWithMappingInterface*>(_quantizerTrainer.get());
        if (mapping == nullptr) {
            return Status(ErrorCode::Internal, "serialize with mapping not implement");
        }
        ORVANE_RETURN_IF_ERROR(mapping->SerializeWithMapping(toStream, newToOld));
    } else {
        ORVANE_RETURN_IF_ERROR(_quantizerTrainer->Serialize(toStream));
    }
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kEncoderSection, 1));

    if (_diskQuantizerTrainer == nullptr) {
        ORVANE_RETURN_IF_ERROR(_storage.Dump(meta, header, newToOld, oldToNew, stream));
    } else {
        auto* disk = dynamic_cast<quantizer::CustomizedSerializeQuantizerInterface*>(
            _diskQuantizerTrainer.get());
        if (disk == nullptr) {
            ORVANE_LOG_ERROR(
                "Failed to cast diskQuantizerTrainer to "
                "CustomizedSerializeQuantizerInterface");
            return Status(ErrorCode::NotSupported,
                          "Failed to cast diskQuantizerTrainer to "
                          "CustomizedSerializeQuantizerInterface");
        }
        ORVANE_RETURN_IF_ERROR(
            _storage.DumpWithDiskQuantizer(meta, header, newToOld, oldToNew, *disk, stream));
    }
    return stream.Close();
}

}  // namespace orvane::index::diskann
