#include "api/builder/OrvaneBuilderImpl.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "api/builder/InputRowChecks.h"
#include "index/IndexKindRegistry.h"
#include "io/OutputStream.h"
#include "schema/OptionValidation.h"
#include "schema/SchemaCatalog.h"
#include "schema/SchemaTables.h"
#include "telemetry/Logger.h"

namespace orvane::api {

using core::ErrorCode;
using core::Result;
using core::Status;

namespace {

constexpr const char* kPretrainOnce = "Pretrain can only be called once.";
constexpr const char* kInsertOrder =
    "Insert must be called after training is complete (or not needed) and can only be called "
    "once.";

Status Invalid(const char* msg) {
    return Status(ErrorCode::InvalidArgument, msg);
}

// Rows to sample: total * ratio rounded half away from zero, at least 1, at most total.
uint64_t SampleCount(uint64_t total, double ratio) {
    const double scaled = std::round(static_cast<double>(total) * ratio);
    uint64_t count = scaled <= 0.0 ? 0 : static_cast<uint64_t>(scaled);
    if (count == 0) return 1;
    return std::min(total, count);
}

// A sorted random subset of [0, total) of the given size, different on every run.
std::vector<uint64_t> ChooseSampleRows(uint64_t total, uint64_t count) {
    std::vector<uint64_t> rows(total);
    std::iota(rows.begin(), rows.end(), uint64_t{0});
    std::random_device device;
    std::mt19937 rng(device());
    std::shuffle(rows.begin(), rows.end(), rng);
    rows.resize(count);
    std::sort(rows.begin(), rows.end());
    return rows;
}

}  // namespace

Result<std::unique_ptr<OrvaneBuilder::Impl>> OrvaneBuilder::Impl::Create(
    const BuilderOptions& options, const core::MemoryResourceConfig& memoryConfig) {
    auto typeIt = options.Values().find("index.type");
    if (typeIt == options.Values().end() || !std::holds_alternative<std::string>(typeIt->second)) {
        return Invalid("index.type is required");
    }
    const std::string& type = std::get<std::string>(typeIt->second);
    ORVANE_RETURN_IF_ERROR(schema::Validate(options, schema::LookupBuilderSchema(type),
                                            schema::UnknownKeyPolicy::kLogAndIgnore));
    auto dimension = schema::ReadIndexDimension(options.Values());
    if (!dimension.IsOk()) return dimension.TakeStatus();
    core::MemoryResourceConfig normalized = core::Normalize(memoryConfig);
    const index::IndexKindDescriptor* kind = index::FindIndexKind(type);
    if (kind == nullptr) {
        return Status(ErrorCode::NotFound, "no builder backend for IndexType: " + type);
    }
    auto backend = kind->createBuilder(options, normalized);
    if (!backend.IsOk()) return backend.TakeStatus();
    return std::make_unique<Impl>(options, backend.TakeValue(), std::move(normalized));
}

OrvaneBuilder::Impl::Impl(BuilderOptions options, std::unique_ptr<Backend> backend,
                          core::MemoryResourceConfig memoryConfig)
    : _options(std::move(options)),
      _backend(std::move(backend)),
      _memoryConfig(std::move(memoryConfig)) {}

OrvaneBuilder::Impl::~Impl() {
    ORVANE_LOG_INFO("Closing OrvaneBuilder::Impl.");
    _memoryConfig = core::MemoryResourceConfig();
    _backend.reset();
    _options = BuilderOptions();
}

uint32_t OrvaneBuilder::Impl::Dimension() const {
    return static_cast<uint32_t>(_options.GetInt("index.dimension", 0));
}

Status OrvaneBuilder::Impl::FinishBackendCall(Status status, BuilderStatus onSuccess) {
    _status = status.IsOk() ? onSuccess : BuilderStatus::Error;
    return status;
}

Status OrvaneBuilder::Impl::CheckPretrainState(bool* done) {
    *done = false;
    if (!_backend->IsTrainable()) {
        if (_status != BuilderStatus::Initial) {
            return Status(ErrorCode::FailedPrecondition, kPretrainOnce);
        }
        _status = BuilderStatus::TrainNotNeeded;
        *done = true;
        return Status::Ok();
    }
    if (_status != BuilderStatus::Initial) {
        return Status(ErrorCode::FailedPrecondition, kPretrainOnce);
    }
    return Status::Ok();
}

Status OrvaneBuilder::Impl::Pretrain(const float* data, uint64_t n) {
    // A kind without training ignores the samples, but a null pointer with a
    // count is the caller's mistake all the same, refused as for other kinds.
    if (data == nullptr && n > 0) return Invalid("data must not be null");
    bool done = false;
    ORVANE_RETURN_IF_ERROR(CheckPretrainState(&done));
    if (done) return Status::Ok();
    if (n == 0) return Invalid("total count must be > 0");
    if (data == nullptr) return Invalid("data must not be null");
    ORVANE_RETURN_IF_ERROR(CheckVectorRows(data, n, Dimension(), 0));
    return FinishBackendCall(_backend->Pretrain(data, n), BuilderStatus::Trained);
}

Status OrvaneBuilder::Impl::PretrainFrom(Dataset& dataset) {
    bool done = false;
    ORVANE_RETURN_IF_ERROR(CheckPretrainState(&done));
    if (done) return Status::Ok();

    const uint64_t total = dataset.TotalSize();
    if (total == 0) return Invalid("Dataset total count must be > 0");
    const uint32_t dim = Dimension();
    if (dataset.Dim() != dim) return Invalid("Dataset dimension does not match index dimension");

    const uint64_t sampleCount =
        SampleCount(total, _options.GetDouble("pretrain.sample_ratio", 1.0));
    const std::vector<uint64_t> rows = ChooseSampleRows(total, sampleCount);

    std::vector<float> samples;
    samples.reserve(sampleCount * dim);
    std::vector<float> vectors;
    std::vector<uint64_t> ids;
    uint64_t totalRead = 0;
    size_t nextRow = 0;
    for (;;) {
        auto batch = dataset.GetNextBatch(vectors, ids);
        if (!batch.IsOk()) return batch.TakeStatus();
        const uint64_t count = batch.Value();
        if (count == 0) break;
        if (count * dim != vectors.size()) {
            ORVANE_LOG_ERROR(
                "Number mismatch when reading from dataset, numRead[%lu] * dimension [%u] vs "
                "vectorBatchSize[%lu]",
                static_cast<unsigned long>(count), dim, static_cast<unsigned long>(vectors.size()));
            return Status(ErrorCode::Conflict);
        }
        ORVANE_RETURN_IF_ERROR(CheckVectorRows(vectors.data(), count, dim, totalRead));
        const uint64_t batchEnd = totalRead + count;
        for (; nextRow < rows.size() && rows[nextRow] < batchEnd; ++nextRow) {
            const float* row = vectors.data() + (rows[nextRow] - totalRead) * dim;
            samples.insert(samples.end(), row, row + dim);
        }
        totalRead = batchEnd;
    }
    if (nextRow != sampleCount) {
        ORVANE_LOG_ERROR("Sampled rows mismatch: expected [%lu], got [%lu]",
                         static_cast<unsigned long>(sampleCount),
                         static_cast<unsigned long>(nextRow));
        return Status(ErrorCode::Conflict);
    }
    if (totalRead != total) {
        ORVANE_LOG_ERROR(
            "Number mismatch when reading from dataset, totalRead[%lu] vs totalSize [%lu] ",
            static_cast<unsigned long>(totalRead), static_cast<unsigned long>(total));
        return Status(ErrorCode::Conflict);
    }
    return FinishBackendCall(_backend->Pretrain(samples.data(), sampleCount),
                             BuilderStatus::Trained);
}

Status OrvaneBuilder::Impl::InsertBatch(const float* data, const vector_id_t* ids, uint64_t n) {
    if (!_backend->IsTrainable() && _status == BuilderStatus::Initial) {
        _status = BuilderStatus::TrainNotNeeded;
    }
    if (_status != BuilderStatus::Trained && _status != BuilderStatus::TrainNotNeeded) {
        return Status(ErrorCode::FailedPrecondition, kInsertOrder);
    }
    if (n == 0 || data == nullptr || ids == nullptr) {
        return Invalid("data and ids must not be null, n must be > 0");
    }
    const uint64_t dim = Dimension();
    ORVANE_RETURN_IF_ERROR(CheckVectorRows(data, n, dim, 0));
    ORVANE_RETURN_IF_ERROR(CheckRowIds({ids, n}, 0));
    DuplicateIdCheck unique;
    unique.Add({ids, n}, 0);
    ORVANE_RETURN_IF_ERROR(unique.Check());
    Status reserved = _backend->Reserve(n);
    if (!reserved.IsOk()) return FinishBackendCall(std::move(reserved), BuilderStatus::Error);
    return FinishBackendCall(_backend->AppendBatch(std::span<const float>(data, dim * n),
                                                   std::span<const uint64_t>(ids, n)),
                             BuilderStatus::DataInjected);
}

Status OrvaneBuilder::Impl::InsertFrom(Dataset& dataset) {
    if (_status != BuilderStatus::Trained && _status != BuilderStatus::TrainNotNeeded) {
        return Status(ErrorCode::FailedPrecondition, kInsertOrder);
    }
    const uint64_t total = dataset.TotalSize();
    const uint32_t dim = Dimension();
    if (dataset.Dim() != dim) return Invalid("Dataset dimension does not match index dimension");
    if (total == 0) return Invalid("Dataset total count must be > 0");

    Status reserved = _backend->Reserve(total);
    if (!reserved.IsOk()) return FinishBackendCall(std::move(reserved), BuilderStatus::Error);

    std::vector<float> vectors;
    std::vector<uint64_t> ids;
    // Duplicates may sit in different batches, so they are looked for once all
    // ids have been seen.
    DuplicateIdCheck unique;
    uint64_t added = 0;
    for (;;) {
        auto batch = dataset.GetNextBatch(vectors, ids);
        if (!batch.IsOk()) return FinishBackendCall(batch.TakeStatus(), BuilderStatus::Error);
        const uint64_t count = batch.Value();
        if (count == 0) break;
        if (count * dim != vectors.size() || count != ids.size()) {
            ORVANE_LOG_ERROR(
                "Number mismatch when reading from dataset, numRead[%lu] vs vectorBatch[%lu] vs "
                "idBatch[%lu]",
                static_cast<unsigned long>(count), static_cast<unsigned long>(vectors.size()),
                static_cast<unsigned long>(ids.size()));
            return Status(ErrorCode::Conflict);
        }
        // The back end already holds the earlier batches, so the build cannot go on.
        Status rows = CheckVectorRows(vectors.data(), count, dim, added);
        if (rows.IsOk()) rows = CheckRowIds(ids, added);
        if (!rows.IsOk()) return FinishBackendCall(std::move(rows), BuilderStatus::Error);
        unique.Add(ids, added);
        added += count;
        Status appended = _backend->AppendBatch(vectors, ids);
        if (!appended.IsOk()) return FinishBackendCall(std::move(appended), BuilderStatus::Error);
    }
    Status distinct = unique.Check();
    if (!distinct.IsOk()) return FinishBackendCall(std::move(distinct), BuilderStatus::Error);
    if (added == total) {
        _status = BuilderStatus::DataInjected;
        return Status::Ok();
    }
    _status = BuilderStatus::Error;
    return Status(ErrorCode::InvalidArgument,
                  "totalAdded mismatch to totalCount: " + std::to_string(added) + " vs " +
                      std::to_string(total));
}

Status OrvaneBuilder::Impl::Attach(IBuildExtension& extension) {
    return _backend->Attach(extension);
}

Status OrvaneBuilder::Impl::Dump(io::OutputStream& stream) {
    if (_status != BuilderStatus::DataInjected) {
        // The fixed text, and which state the builder is really in.
        const char* why = _status == BuilderStatus::Dumped  ? "the index was already dumped"
                          : _status == BuilderStatus::Error ? "an earlier step failed"
                                                            : "no data was inserted";
        return Status(ErrorCode::FailedPrecondition,
                      std::string("Dump must be called after data has been injected.: ") + why);
    }
    Status dumped = _backend->Dump(stream);
    // A failing writer (a full disk, a lost mount) leaves the back end as it was: the
    // builder stays ready for a dump to another place instead of losing the build.
    if (!dumped.IsOk() && stream.WriterFailed()) return dumped;
    return FinishBackendCall(std::move(dumped), BuilderStatus::Dumped);
}

}  // namespace orvane::api
