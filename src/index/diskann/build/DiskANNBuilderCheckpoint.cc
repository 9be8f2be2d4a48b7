// DiskANNBuilderBackend's checkpoints: DumpCkpt writes the neighbour table
// built so far with the binding of the build, and LoadFromCkptManager checks
// the latest checkpoint against the builder and restores it.
#include <string>

#include "index/diskann/build/DiskANNBuilderBackend.h"
#include "index/diskann/format/SectionIO.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;

Status DiskANNBuilderBackend::DumpCkpt() {
    if (_ckptManager == nullptr) return Status::Ok();
    auto stream = _ckptManager->CreateOutputStream();
    if (stream == nullptr) {
        return Status(ErrorCode::IoError, "Failed to get output stream when checkpoint");
    }
    const DiskANNIndexMeta meta{_reservedCount, static_cast<uint32_t>(_dimension),
                                static_cast<uint32_t>(_metricType)};
    ORVANE_RETURN_IF_ERROR(stream->WriteObj(meta));
    ORVANE_RETURN_IF_ERROR(stream->SealSection(kMetaSection, kSectionAlign));
    const StorageCheckpointHeader header{_efConstruction, _slackPruningFactor, _neighborCount,
                                         static_cast<uint32_t>(_storage.entryPoints.size()),
                                         _ckptBuiltCount};
    ORVANE_RETURN_IF_ERROR(_storage.DumpCheckpoint(meta, header, *stream));
    ORVANE_RETURN_IF_ERROR(api::WriteCkptBinding(
        *stream, {"diskann", _optionsDigest, _reservedCount, _appendedCount, _rowDigest.Value()}));
    return stream->Close();
}

Status DiskANNBuilderBackend::LoadFromCkptManager(std::unique_ptr<api::InnerCkptManager> manager) {
    _ckptManager = std::move(manager);
    if (_ckptManager == nullptr) return Status::Ok();
    auto has = _ckptManager->HasInputStream();
    if (!has.IsOk()) return Status(ErrorCode::IoError, "ckptManager check input stream failed");
    if (!has.Value()) return Status::Ok();
    auto stream = _ckptManager->GetInputStream();
    if (stream == nullptr)
        return Status(ErrorCode::IoError, "ckptManager failed to get input stream");

    DiskANNIndexMeta meta;
    ORVANE_RETURN_IF_ERROR(
        ReadSectionPrefix(*stream, kMetaSection, &meta, sizeof(meta), "checkpoint meta"));
    // The appends that follow hand rows of the builder's dimension and are
    // scored with its metric; a checkpoint of another shape cannot continue.
    if (meta.dimension != _dimension) {
        return Status(ErrorCode::InvalidArgument,
                      "Checkpoint dimension [" + std::to_string(meta.dimension) +
                          "] differs from builder dimension [" + std::to_string(_dimension) + "]");
    }
    if (meta.metricType != static_cast<uint32_t>(_metricType)) {
        const auto stored = static_cast<dist::MetricE>(meta.metricType);
        return Status(ErrorCode::InvalidArgument,
                      "Checkpoint metric [" + std::string(dist::MetricName(stored)) +
                          "] differs from builder metric [" +
                          std::string(dist::MetricName(_metricType)) + "]");
    }
    if (meta.count > kMaxCount) {
        return Status(ErrorCode::Corruption, "Damaged diskann checkpoint: count [" +
                                                 std::to_string(meta.count) + "] above limit");
    }
    // The shape checks above name what differs; the binding covers the rest.
    auto binding = api::ReadCkptBinding(*stream);
    if (!binding.IsOk()) return binding.TakeStatus();
    ORVANE_RETURN_IF_ERROR(api::CheckBuild(binding.Value(), "diskann", _optionsDigest));
    ORVANE_LOG_INFO("DiskANN checkpoint open dimension [%u], count [%u]", meta.dimension,
                    meta.count);
    StorageCheckpointHeader header;
    ORVANE_RETURN_IF_ERROR(
        _storage.LoadFromCheckpoint(*stream, meta.count, meta.dimension, header));
    if (binding.Value().rows > meta.count || binding.Value().reserved != meta.count) {
        return Status(ErrorCode::Corruption, "Damaged diskann checkpoint: binding row count [" +
                                                 std::to_string(binding.Value().rows) + "]");
    }
    _resumeBinding = binding.TakeValue();
    _rowDigest = {};
    _reservedCount = meta.count;
    _ckptLoaded = true;
    _ckptBuiltCount = header.buildNodeCount;
    _efConstruction = header.efConstruction == 0 ? _efConstruction : header.efConstruction;
    _slackPruningFactor =
        header.slackPruningFactor > 0 ? header.slackPruningFactor : _slackPruningFactor;
    _neighborCount = header.neighborCount;
    return Status::Ok();
}

}  // namespace orvane::index::diskann
