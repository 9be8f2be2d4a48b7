// WriteDiskANNIndex: writes a finished DiskANN build as an index file: the
// meta, the encoder section (rows renumbered when the layout is reordered) and
// the node records with their storage header.
#include "index/diskann/build/DiskANNIndexWriter.h"

#include <string>
#include <tuple>

#include "encoding/CustomizedSerializeQuantizerInterface.h"
#include "encoding/SerializeWithMappingInterface.h"
#include "index/diskann/format/SectionIO.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;

Status WriteDiskANNIndex(const DiskANNIndexParts& parts, io::OutputStream& stream) {
    if (parts.reservedCount != 0 && parts.reservedCount != parts.appendedCount) {
        ORVANE_LOG_ERROR("Reserved [%u] vectors but inserted [%u] vectors", parts.reservedCount,
                         parts.appendedCount);
        return Status(ErrorCode::Internal, "Vector count mismatch: expected " +
                                               std::to_string(parts.reservedCount) + " but got " +
                                               std::to_string(parts.appendedCount));
    }
    const DiskANNIndexMeta meta{parts.appendedCount, static_cast<uint32_t>(parts.dimension),
                                static_cast<uint32_t>(parts.metric)};
    ORVANE_RETURN_IF_ERROR(stream.WriteObj(meta));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kMetaSection, kSectionAlign));

    StorageHeader header;
    header.efConstruction = parts.efConstruction;
    header.slackPruningFactor = parts.slackPruningFactor;
    header.neighborCount = parts.neighborCount;
    header.sectorSize = kSmallSectorSize;
    header.entryPointSize = static_cast<uint32_t>(parts.storage.entryPoints.size());
    header.hasLabel = false;
    header.quantizeRawData = parts.diskTrainer != nullptr;
    header.saveOriginalEmbedding = parts.diskTrainer != nullptr && parts.saveOriginalEmbedding;
    header.vectorSize = parts.diskTrainer != nullptr ? parts.diskTrainer->GetEncodedNodeSize()
                                                     : parts.dimension * sizeof(float);

    NodeGeometry geometry;
    if (!NodeGeometry::Compute(header.vectorSize, parts.neighborCount, kSmallSectorSize,
                               &geometry)) {
        return Status(ErrorCode::InvalidArgument, "diskann node record size overflows");
    }
    BuildMemoryStorage::ReorderMap newToOld, oldToNew;
    header.sectorSize = ChooseSectorSize(geometry.nodeSize);
    if (header.sectorSize == kSmallSectorSize && parts.reorderLayout &&
        geometry.nodesPerSector > 3) {
        std::tie(newToOld, oldToNew) = parts.storage.GetReorderMap(geometry.nodesPerSector);
    }

    const quantizer::QuantizerWriter toStream = [&stream](const char* bytes, uint64_t length) {
        return stream.Write(bytes, length);
    };
    if (HasReorderMaps(newToOld, oldToNew)) {
        auto* mapping = dynamic_cast<quantizer::SerializeWithMappingInterface*>(&parts.trainer);
        if (mapping == nullptr) {
            return Status(ErrorCode::Internal, "serialize with mapping not implement");
        }
        ORVANE_RETURN_IF_ERROR(mapping->SerializeWithMapping(toStream, newToOld));
    } else {
        ORVANE_RETURN_IF_ERROR(parts.trainer.Serialize(toStream));
    }
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kEncoderSection, 1));

    if (parts.diskTrainer == nullptr) {
        ORVANE_RETURN_IF_ERROR(parts.storage.Dump(meta, header, newToOld, oldToNew, stream));
    } else {
        auto* disk =
            dynamic_cast<quantizer::CustomizedSerializeQuantizerInterface*>(parts.diskTrainer);
        if (disk == nullptr) {
            ORVANE_LOG_ERROR(
                "Failed to cast diskQuantizerTrainer to "
                "CustomizedSerializeQuantizerInterface");
            return Status(ErrorCode::NotSupported,
                          "Failed to cast diskQuantizerTrainer to "
                          "CustomizedSerializeQuantizerInterface");
        }
        ORVANE_RETURN_IF_ERROR(
            parts.storage.DumpWithDiskQuantizer(meta, header, newToOld, oldToNew, *disk, stream));
    }
    return stream.Close();
}

}  // namespace orvane::index::diskann
