// The checkpoint side of BruteforceBuilderBackend: accepting the checkpoint
// extension, restoring from the manager's checkpoint and writing checkpoints.
#include <string>
#include <utility>

#include "encoding/QuantizerTrainerFactory.h"
#include "extensions/experimental/BuildCombinedExtensionV0.h"
#include "index/bruteforce/BruteforceBuilderBackend.h"
#include "index/bruteforce/BruteforceIndexMeta.h"
#include "index/bruteforce/BruteforceSections.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"

namespace orvane::index {

using core::ErrorCode;
using core::Status;
using api::InnerCkptManager;

Status BruteforceBuilderBackend::Attach(api::IBuildExtension& extension) {
    const bool installed = extensions::experimental::InstallCkptFunc(
        extension, [this](std::unique_ptr<InnerCkptManager> manager) {
            return LoadFromCkptManager(std::move(manager));
        });
    if (!installed) {
        return Status(ErrorCode::NotSupported, "extension not supported by bruteforce searcher");
    }
    return Status::Ok();
}

Status BruteforceBuilderBackend::LoadFromCkptManager(std::unique_ptr<InnerCkptManager> manager) {
    // Restoring replaces the trainer and the ids; once rows are reserved or
    // appended that would tear the build apart.
    if (_reservedCount != 0 || _appendedCount != 0) {
        return Status(ErrorCode::FailedPrecondition,
                      "checkpoint manager must be loaded before Reserve");
    }
    _ckptManager = std::move(manager);
    if (!_ckptManager) return Status(ErrorCode::InvalidArgument, "Checkpoint manager is null");
    auto has = _ckptManager->HasInputStream();
    if (!has.IsOk()) return Status(ErrorCode::IoError, "ckptManager failed to fetch input stream");
    if (!has.Value()) return Status::Ok();
    std::unique_ptr<io::InputStream> stream = _ckptManager->GetInputStream();
    if (!stream) return Status(ErrorCode::IoError, "ckptManager failed to get input stream");

    auto meta = bruteforce::ReadIndexMeta(*stream);
    if (!meta.IsOk()) return meta.TakeStatus();
    const bruteforce::BruteforceIndexMeta stored = meta.Value();
    ORVANE_LOG_INFO("BruteforceBuilderBackend resume for ckpt dimension [%u], count [%u]",
                    stored.dimension, stored.count);
    if (_dimension != 0 && stored.dimension != _dimension) {
        return Status(ErrorCode::InvalidArgument,
                      "checkpoint dimension [" + std::to_string(stored.dimension) +
                          "] differs from index dimension [" + std::to_string(_dimension) + "]");
    }

    // Restored into a fresh trainer, so that a refused checkpoint leaves the
    // configured one untouched.
    auto vectors = stream->GetSectionReader(bruteforce::kIndexVectorName);
    if (!vectors.IsOk()) return vectors.TakeStatus();
    std::unique_ptr<quantizer::QuantizerTrainer> trainer =
        quantizer::CreateQuantizerTrainer(_quantizerOptions, _instantResource);
    if (!trainer) return Status(ErrorCode::InvalidArgument, "Failed to CreateQuantizerTrainer");
    const auto encoding = trainer->EncodingType();
    const auto metric = trainer->Metric();
    ORVANE_RETURN_IF_ERROR(trainer->Deserialize(vectors.Value()));
    if (trainer->EncodingType() != encoding || trainer->Metric() != metric ||
        trainer->Dimension() != stored.dimension) {
        return Status(ErrorCode::InvalidArgument,
                      "checkpoint was built with another encoding, metric or dimension");
    }
    if (trainer->Count() != stored.count) {
        return Status(ErrorCode::Corruption, "checkpoint meta count differs from its vectors");
    }
    // The shape checks above name what differs; the binding covers the rest.
    auto binding = api::ReadCkptBinding(*stream);
    if (!binding.IsOk()) return binding.TakeStatus();
    ORVANE_RETURN_IF_ERROR(
        api::CheckBuild(binding.Value(), "bruteforce", _optionsDigest));
    if (binding.Value().rows != stored.count) {
        return Status(ErrorCode::Corruption, "checkpoint binding row count differs from its meta");
    }

    std::pmr::vector<uint64_t> ids(&_storageResource);
    ORVANE_RETURN_IF_ERROR(
        bruteforce::ReadIndexIds(*stream, stored.count, bruteforce::kShortIdsResumeLog, ids));
    if (trainer->Count() != ids.size()) {
        ORVANE_LOG_ERROR("Vector id count mismatch [%zu vs %zu], failing to open searcher.",
                         static_cast<size_t>(trainer->Count()), ids.size());
        return Status(ErrorCode::Internal, "Vector id count mismatch");
    }

    _dimension = stored.dimension;
    _quantizerTrainer = std::move(trainer);
    _vectorIds = std::move(ids);
    _rowCountOfLastCkpt = stored.count;
    _recoveredDocCount = stored.count;
    _appendedCount = 0;
    _restoredFromCkpt = true;
    _resumeBinding = binding.TakeValue();
    _rowDigest = {};
    return Status::Ok();
}

Status BruteforceBuilderBackend::DumpCkpt(io::OutputStream& stream) {
    ORVANE_RETURN_IF_ERROR(
        bruteforce::WriteIndexSections(stream, *_quantizerTrainer, _dimension, _vectorIds));
    ORVANE_RETURN_IF_ERROR(api::WriteCkptBinding(
        stream,
        {"bruteforce", _optionsDigest, _reservedCount, _appendedCount, _rowDigest.Value()}));
    return stream.Close();
}

Status BruteforceBuilderBackend::WriteCheckpoint() {
    std::unique_ptr<io::OutputStream> stream = _ckptManager->CreateOutputStream();
    if (!stream) return Status(ErrorCode::IoError, "Failed to get output stream when checkpoint");
    Status written = DumpCkpt(*stream);
    if (written.IsOk()) {
        ORVANE_LOG_INFO("Bruteforce builder wrote a checkpoint of [%zu] vectors",
                        static_cast<size_t>(_appendedCount));
    }
    return written;
}

}  // namespace orvane::index
