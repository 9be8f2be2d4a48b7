#include "index/bruteforce/BruteforceBuilderBackend.h"

#include <algorithm>
#include <string>
#include <utility>

#include "encoding/QuantizerTrainerFactory.h"
#include "api/builder/EncodeFailure.h"
#include "index/bruteforce/BruteforceIndexMeta.h"
#include "index/bruteforce/BruteforceKind.h"
#include "index/bruteforce/BruteforceOptions.h"
#include "index/bruteforce/BruteforceSections.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"

namespace orvane::index {

using core::ErrorCode;
using core::Status;

namespace {

Status DimensionNotInitialized() {
    return Status(ErrorCode::FailedPrecondition, "builder dimension not initialized");
}

bool IsQuantizerKey(const std::string& key) {
    return key.starts_with("encoding.") || key.starts_with("distance.");
}

}  // namespace

core::Result<BuilderBackendPtr> CreateBruteforceBuilderBackend(
    const api::BuilderOptions& options, const core::MemoryResourceConfig& resources) {
    auto backend = std::make_unique<BruteforceBuilderBackend>(resources);
    ORVANE_RETURN_IF_ERROR(backend->Init(options));
    return BuilderBackendPtr(std::move(backend));
}

BruteforceBuilderBackend::BruteforceBuilderBackend(const core::MemoryResourceConfig& resources)
    : _resources(core::Normalize(resources)),
      _instantResource(*_resources.instant),
      _storageResource(*_resources.storage),
      _vectorIds(&_storageResource) {}

// The trainer and the ids live in the shared resources, so they go first.
BruteforceBuilderBackend::~BruteforceBuilderBackend() {
    _quantizerTrainer.reset();
    _vectorIds = std::pmr::vector<uint64_t>(&_storageResource);
}

Status BruteforceBuilderBackend::Init(const api::BuilderOptions& options) {
    const bruteforce::BruteforceBuildParams params =
        bruteforce::BruteforceBuildParams::Parse(options);
    _dimension = params.dimension;
    _thresholdOfCkpt = params.ckptThreshold;
    _numberOfCkpt = params.ckptCount;
    _optionsDigest = api::BuilderOptionsDigest(options);

    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
    if (!executor.IsOk()) {
        ORVANE_LOG_STATUS_WARN(executor.GetStatus(), "Failed to create executor");
        return executor.TakeStatus();
    }
    _executor = executor.TakeValue();

    api::QuantizerOptions quantizerOptions;
    for (const auto& [key, value] : options.Values()) {
        if (IsQuantizerKey(key)) quantizerOptions.Values().emplace(key, value);
    }
    quantizerOptions.Values()["index.dimension"] = int64_t{_dimension};
    _quantizerTrainer = quantizer::CreateQuantizerTrainer(quantizerOptions, _instantResource);
    if (!_quantizerTrainer) {
        return Status(ErrorCode::InvalidArgument,
                      "Failed to CreateQuantizerTrainer: " +
                          quantizer::WhyNoQuantizerTrainer(quantizerOptions));
    }
    _quantizerOptions = std::move(quantizerOptions);
    return Status::Ok();
}

bool BruteforceBuilderBackend::IsTrainable() const {
    return _quantizerTrainer && _quantizerTrainer->IsTrainable();
}

Status BruteforceBuilderBackend::Pretrain(const float* data, uint64_t n) {
    if (_restoredFromCkpt) {
        // Training again would replace the model the restored rows were
        // encoded with (sq8 would even drop them).
        ORVANE_LOG_INFO(
            "Bruteforce builder resumed from a checkpoint of [%zu] vectors keeps its restored "
            "model, pretrain skipped",
            static_cast<size_t>(_recoveredDocCount));
        return Status::Ok();
    }
    const ErrorCode code =
        _quantizerTrainer->Pretrain(std::span<const float>(data, n * _dimension), n, _dimension);
    if (code != ErrorCode::Ok) return _quantizerTrainer->Explain(code, "Failed to pretrain data");
    return Status::Ok();
}

Status BruteforceBuilderBackend::Reserve(uint64_t n) {
    if (_dimension == 0) return DimensionNotInitialized();
    if (n > bruteforce::kMaxRows) {
        return Status(ErrorCode::InvalidArgument,
                      "bruteforce index holds at most 4294967295 vectors, reserved [" +
                          std::to_string(n) + "]");
    }
    const uint64_t per = n / (_numberOfCkpt + 1);
    if (_numberOfCkpt >= per) {
        return Status(ErrorCode::InvalidArgument,
                      "_reservedCount / (_numberOfCkpt + 1) must > _numberOfCkpt: " +
                          std::to_string(n) + " rows give " + std::to_string(per) +
                          " rows per checkpoint, which must exceed extension.build.ckpt.count [" +
                          std::to_string(_numberOfCkpt) + "]; give fewer checkpoints");
    }
    if (n < _recoveredDocCount) {
        return Status(ErrorCode::InvalidArgument, "Reserved [" + std::to_string(n) +
                                                      "] vectors but the checkpoint holds [" +
                                                      std::to_string(_recoveredDocCount) + "]");
    }
    if (_restoredFromCkpt) {
        ORVANE_RETURN_IF_ERROR(api::CheckReserved(_resumeBinding, n));
    }
    ORVANE_RETURN_IF_ERROR(_quantizerTrainer->Reserve(n));
    _vectorIds.reserve(n);
    _reservedCount = n;
    _rowCountPerCkpt = per + 1;
    ORVANE_LOG_INFO("Bruteforce builder reserved for [%zu] vectors", static_cast<size_t>(n));
    return Status::Ok();
}

Status BruteforceBuilderBackend::AppendRows(std::span<const float> vectors,
                                            std::span<const uint64_t> ids, uint64_t first,
                                            uint64_t count) {
    if (count == 0) return Status::Ok();
    const ErrorCode code = _quantizerTrainer->EncodeBatch(
        vectors.subspan(first * _dimension, count * _dimension), count, _dimension);
    if (code != ErrorCode::Ok) {
        return api::EncodeFailure(ErrorCode::Corruption, "Failed to append batch.", code);
    }
    _vectorIds.insert(_vectorIds.end(), ids.begin() + first, ids.begin() + first + count);
    if (_ckptManager != nullptr) AddToDigest(vectors, ids, first, count);
    _appendedCount += count;
    return Status::Ok();
}

void BruteforceBuilderBackend::AddToDigest(std::span<const float> vectors,
                                           std::span<const uint64_t> ids, uint64_t first,
                                           uint64_t count) {
    for (uint64_t i = first; i < first + count; ++i) {
        _rowDigest.Add(vectors.subspan(i * _dimension, _dimension), ids[i]);
    }
}

bool BruteforceBuilderBackend::CheckpointsActive() const {
    return _ckptManager != nullptr && _thresholdOfCkpt <= _reservedCount;
}

Status BruteforceBuilderBackend::AppendBatch(std::span<const float> vectors,
                                             std::span<const uint64_t> ids) {
    if (_dimension == 0) return DimensionNotInitialized();
    if (_reservedCount == 0) {
        return Status(ErrorCode::FailedPrecondition, "Must call Reserve before AppendBatch");
    }
    const uint64_t n = ids.size();
    if (vectors.size() != n * _dimension) {
        return Status(ErrorCode::InvalidArgument,
                      "vectors.size() must equal ids.size() * dimension");
    }

    // Rows a restored checkpoint holds: their ids must match, their vectors
    // are already encoded.
    uint64_t next = 0;
    const bool checking = _appendedCount < _recoveredDocCount;
    for (; next < n && _appendedCount < _recoveredDocCount; ++next, ++_appendedCount) {
        if (ids[next] != _vectorIds[_appendedCount]) {
            return Status(ErrorCode::InvalidArgument, "Dataset dismatch with checkpoint");
        }
    }
    if (checking) {
        AddToDigest(vectors, ids, 0, next);
        // The restored rows' vectors are compared once all of them came again.
        if (_appendedCount == _recoveredDocCount) {
            ORVANE_RETURN_IF_ERROR(
                api::CheckRows(_resumeBinding, _rowDigest.Value()));
        }
    }

    if (CheckpointsActive()) {
        // Each checkpoint covers exactly the rows up to its checkpoint row.
        while (n - next >= _rowCountOfLastCkpt + _rowCountPerCkpt - _appendedCount) {
            const uint64_t take = _rowCountOfLastCkpt + _rowCountPerCkpt - _appendedCount;
            ORVANE_RETURN_IF_ERROR(AppendRows(vectors, ids, next, take));
            next += take;
            ORVANE_RETURN_IF_ERROR(WriteCheckpoint());
            _rowCountOfLastCkpt = _appendedCount;
        }
    }
    return AppendRows(vectors, ids, next, n - next);
}

Status BruteforceBuilderBackend::Dump(io::OutputStream& stream) const {
    if (_reservedCount != 0 && _reservedCount != _appendedCount) {
        ORVANE_LOG_ERROR("Reserved [%zu] vectors but inserted [%zu] vectors",
                         static_cast<size_t>(_reservedCount), static_cast<size_t>(_appendedCount));
        return Status(ErrorCode::Internal, "Vector count mismatch: expected " +
                                               std::to_string(_reservedCount) + " but got " +
                                               std::to_string(_appendedCount));
    }
    ORVANE_RETURN_IF_ERROR(
        bruteforce::WriteIndexSections(stream, *_quantizerTrainer, _dimension, _vectorIds));
    return stream.Close();
}

}  // namespace orvane::index
