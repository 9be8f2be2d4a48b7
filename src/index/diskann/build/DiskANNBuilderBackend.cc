#include "index/diskann/build/DiskANNBuilderBackend.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "api/builder/EncodeFailure.h"
#include "encoding/QuantizerTrainerFactory.h"
#include "extensions/experimental/BuildCombinedExtensionV0.h"
#include "index/diskann/DiskANNOptions.h"
#include "index/diskann/build/DiskANNIndexWriter.h"
#include "index/diskann/build/DiskANNTrainerOptions.h"
#include "index/diskann/build/GraphConnectivity.h"
#include "index/diskann/format/SectionIO.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"
#include "util/parallel/MultiThreadStepProcess.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;

namespace {

uint64_t SecondsSince(std::chrono::system_clock::time_point start) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - start)
            .count());
}

}  // namespace

DiskANNBuilderBackend::DiskANNBuilderBackend(const core::MemoryResourceConfig& config)
    : _instantResource(config.instant ? config.instant.get() : std::pmr::get_default_resource()),
      _storageResource(config.storage ? config.storage.get() : std::pmr::get_default_resource()),
      _memory(config),
      _storage(_storageResource) {}

DiskANNBuilderBackend::~DiskANNBuilderBackend() = default;

core::Result<std::unique_ptr<api::BuilderBackend>> CreateDiskANNBuilderBackend(
    const api::BuilderOptions& options, const core::MemoryResourceConfig& config) {
    auto backend = std::make_unique<DiskANNBuilderBackend>(config);
    const Status st = backend->Init(options);
    if (!st.IsOk()) {
        ORVANE_LOG_STATUS_WARN(st, "Failed to init DiskANNBuilderBackend");
        return st;
    }
    return std::unique_ptr<api::BuilderBackend>(std::move(backend));
}

Status DiskANNBuilderBackend::Init(const api::BuilderOptions& options) {
    auto params = DiskANNBuildParams::Parse(options);
    if (!params.IsOk()) return params.TakeStatus();
    _dimension = params.Value().dimension;
    _optionsDigest = api::BuilderOptionsDigest(options);
    _threadCount = params.Value().threadCount;
    _neighborCount = params.Value().neighborCount;
    _efConstruction = params.Value().efConstruction;
    _slackPruningFactor = params.Value().slackPruningFactor;
    _reorderLayout = params.Value().reorderLayout;
    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
    if (!executor.IsOk()) {
        ORVANE_LOG_STATUS_WARN(executor.GetStatus(), "Failed to create executor");
        return executor.TakeStatus();
    }
    _executor = executor.TakeValue();

    const std::string metric = options.GetString("distance.metric", "l2");
    _metricType = dist::ParseMetric(metric);
    if (!_calculator.Set(_metricType)) {
        // Without a node-to-node distance the graph cannot be built: refuse the
        // metric here instead of failing on the first insertion.
        _metricType = dist::MetricE::dummy;
        return Status(ErrorCode::InvalidArgument, "Unsupported distance.metric [" + metric + "]");
    }

    const api::QuantizerOptions trainerOptions = TrainerOptions(options, _dimension, _threadCount);
    _quantizerTrainer = quantizer::CreateQuantizerTrainer(trainerOptions, *_instantResource);
    if (_quantizerTrainer == nullptr) {
        return Status(ErrorCode::InvalidArgument,
                      "Failed to CreateQuantizerTrainer: " +
                          quantizer::WhyNoQuantizerTrainer(trainerOptions));
    }
    // Encodings without a thread count of their own encode on the build threads.
    _quantizerTrainer->SetEncodeThreads(_threadCount);
    if (auto diskOptions = DiskTrainerOptions(options, _dimension, _threadCount)) {
        _saveOriginalEmbedding =
            options.GetBool("diskann.disk_encoding.save_origin_embedding", false);
        if (_reorderLayout) {
            ORVANE_LOG_ERROR("Do not support use disk encoder combine with reorderLayout");
            return Status(ErrorCode::NotSupported,
                          "Do not support use disk encoder combine with reorderLayout");
        }
        _diskQuantizerTrainer = quantizer::CreateQuantizerTrainer(*diskOptions, *_storageResource);
        if (_diskQuantizerTrainer == nullptr) {
            return Status(ErrorCode::InvalidArgument,
                          "Failed to CreateQuantizerTrainer for disk encoder: " +
                              quantizer::WhyNoQuantizerTrainer(*diskOptions));
        }
        _diskQuantizerTrainer->SetEncodeThreads(_threadCount);
    }

    _thresholdOfCkpt = params.Value().thresholdOfCkpt;
    _thresholdOfLog = params.Value().thresholdOfLog;
    _numberOfCkpt = params.Value().numberOfCkpt;
    if (_numberOfCkpt != 0 && _thresholdOfCkpt / _numberOfCkpt <= _numberOfCkpt) {
        return Status(ErrorCode::InvalidArgument,
                      "_numberOfCkpt ^2 should be less than _thresholdOfCkpt.");
    }
    ORVANE_LOG_INFO(
        "DiskANN builder init success dimesion [%lu], threadCount [%u], efConstruction[%u], "
        "slackPruningFactor[%f], neighborCount[%lu]",
        static_cast<unsigned long>(_dimension), _threadCount, _efConstruction,
        static_cast<double>(_slackPruningFactor), static_cast<unsigned long>(_neighborCount));
    return Status::Ok();
}

Status DiskANNBuilderBackend::Pretrain(const float* data, uint64_t n) {
    uint64_t floats = 0;
    if (__builtin_mul_overflow(n, _dimension, &floats)) {
        return Status(ErrorCode::InvalidArgument, "Failed to pretrain data");
    }
    const std::span<const float> samples(data, floats);
    auto start = std::chrono::system_clock::now();
    ErrorCode code = _quantizerTrainer->Pretrain(samples, n, static_cast<uint32_t>(_dimension));
    if (code != ErrorCode::Ok) return _quantizerTrainer->Explain(code, "Failed to pretrain data");
    ORVANE_LOG_INFO("DiskANN builder train pq success, time [%lu] seconds",
                    static_cast<unsigned long>(SecondsSince(start)));
    if (_diskQuantizerTrainer == nullptr) return Status::Ok();
    start = std::chrono::system_clock::now();
    code = _diskQuantizerTrainer->Pretrain(samples, n, static_cast<uint32_t>(_dimension));
    if (code != ErrorCode::Ok) {
        return _diskQuantizerTrainer->Explain(code, "Failed to pretrain data for disk PQ");
    }
    ORVANE_LOG_INFO("DiskANN builder train disk pq success, time [%lu] seconds",
                    static_cast<unsigned long>(SecondsSince(start)));
    return Status::Ok();
}

Status DiskANNBuilderBackend::Reserve(uint64_t n) {
    if (_dimension == 0) return Status::InvalidState("builder dimension not initialized");
    if (n > kMaxCount) {
        return Status(ErrorCode::InvalidArgument, "exceed doc count limit for diskann");
    }
    if (_ckptLoaded) {
        // The checkpoint fixed the graph's size; another total would append
        // past its table or leave nodes the checkpoint counts as missing.
        if (n != _reservedCount) {
            return Status(ErrorCode::InvalidArgument, "Reserved count [" + std::to_string(n) +
                                                          "] differs from the checkpoint count [" +
                                                          std::to_string(_reservedCount) + "]");
        }
        ORVANE_LOG_INFO("DiskANN builder reserved in load checkpoint");
    } else {
        ORVANE_RETURN_IF_ERROR(_storage.Init(static_cast<uint32_t>(n),
                                             static_cast<uint32_t>(_dimension), _neighborCount));
        _reservedCount = static_cast<uint32_t>(n);
        if (n < _thresholdOfCkpt) {
            ORVANE_LOG_WARN(
                "TotalVectorCount[%u] is less than thresholdOfCkpt[%lu], reset numberOfCkpt to 0.",
                _reservedCount, static_cast<unsigned long>(_thresholdOfCkpt));
            _numberOfCkpt = 0;
        }
    }
    _inserter.Configure({_dimension, _neighborCount, _slackPruningFactor});
    _contexts.clear();
    for (uint32_t t = 0; t < _threadCount; ++t) {
        _contexts.push_back(std::make_unique<DiskANNContext>(_instantResource));
        _contexts.back()->PrepareForBuild(_reservedCount, _efConstruction);
    }
    ORVANE_RETURN_IF_ERROR(_quantizerTrainer->Reserve(n));
    if (_diskQuantizerTrainer != nullptr) ORVANE_RETURN_IF_ERROR(_diskQuantizerTrainer->Reserve(n));
    ORVANE_LOG_INFO("DiskANN builder reserved for [%zu] vectors", static_cast<size_t>(n));
    return Status::Ok();
}

Status DiskANNBuilderBackend::AppendBatch(std::span<const float> data,
                                          std::span<const uint64_t> ids) {
    if (_reservedCount == 0) return Status::InvalidState("Must call Reserve before AppendBatch");
    const uint64_t c = ids.size();
    if (_reservedCount - _appendedCount < c) {
        return Status(ErrorCode::InvalidArgument, "appendCount is larger than reserveCount");
    }
    // The rows are read as c x dimension floats: a span of another size would
    // be read past its end (or leave rows unread).
    if (data.size() != c * _dimension) {
        return Status(ErrorCode::InvalidArgument,
                      "vectors.size() must equal ids.size() * dimension");
    }
    if (_ckptManager != nullptr) {
        for (uint64_t i = 0; i < c; ++i) {
            _rowDigest.Add(data.subspan(i * _dimension, _dimension), ids[i]);
            // A resumed graph is only valid over the rows it was built from.
            if (_ckptLoaded && _appendedCount + i + 1 == _resumeBinding.rows) {
                ORVANE_RETURN_IF_ERROR(api::CheckRows(_resumeBinding, _rowDigest.Value()));
            }
        }
    }
    const auto start = std::chrono::system_clock::now();
    const auto dim = static_cast<uint32_t>(_dimension);
    if (const ErrorCode code = _quantizerTrainer->EncodeBatch(data, c, dim);
        code != ErrorCode::Ok) {
        return api::EncodeFailure(ErrorCode::Corruption, "Failed to append batch.", code);
    }
    if (_diskQuantizerTrainer != nullptr) {
        if (const ErrorCode code = _diskQuantizerTrainer->EncodeBatch(data, c, dim);
            code != ErrorCode::Ok) {
            return api::EncodeFailure(ErrorCode::Corruption, "Failed to append batch for disk PQ.",
                                      code);
        }
    }
    _storage.ids.insert(_storage.ids.end(), ids.begin(), ids.end());
    _storage.vectors.insert(_storage.vectors.end(), data.begin(), data.end());
    const node_id_t oldCount = _appendedCount;
    _appendedCount += static_cast<node_id_t>(c);
    ORVANE_RETURN_IF_ERROR(BuildInChunks(oldCount, _appendedCount));
    ORVANE_LOG_INFO("DiskANN builder append batch success, appendCount [%lu], time [%lu] seconds",
                    static_cast<unsigned long>(c), static_cast<unsigned long>(SecondsSince(start)));
    if (_appendedCount == _reservedCount && !RepairConnectivity()) {
        ORVANE_LOG_WARN("DiskANN builder build finished, but repair connectivity");
    }
    return Status::Ok();
}

Status DiskANNBuilderBackend::BuildInChunks(uint32_t oldCount, uint32_t newCount) {
    const uint64_t chunk = (uint64_t{_reservedCount} + _numberOfCkpt) / (_numberOfCkpt + 1);
    std::atomic<uint32_t> built{oldCount};
    for (uint64_t i = 0; i <= _numberOfCkpt; ++i) {
        const uint64_t chunkBegin = i * chunk;
        const uint64_t chunkEnd = std::min<uint64_t>(_reservedCount, (i + 1) * chunk);
        const uint64_t begin = std::max<uint64_t>(oldCount, chunkBegin);
        const uint64_t end = std::min<uint64_t>(chunkEnd, newCount);
        if (begin >= end) continue;
        ORVANE_RETURN_IF_ERROR(
            BuildRange(static_cast<uint32_t>(begin), static_cast<uint32_t>(end), built));
        if (newCount >= chunkEnd && chunkEnd != _reservedCount && _ckptBuiltCount < end) {
            // Every node below chunkEnd is built now: this chunk and all earlier
            // ones were completed in order.
            _ckptBuiltCount = static_cast<uint32_t>(chunkEnd);
            ORVANE_RETURN_IF_ERROR(DumpCkpt());
        }
    }
    return Status::Ok();
}

Status DiskANNBuilderBackend::BuildRange(uint32_t begin, uint32_t end,
                                         std::atomic<uint32_t>& built) {
    const ErrorCode code = util::MultiThreadStepProcess(
        begin, end, _threadCount, *_executor, [this, &built](uint64_t t, uint64_t id) {
            DiskANNContext& ctx = *_contexts[t];
            ctx.Clear();
            // Nodes below the checkpoint's count came with their lists.
            if (id >= _ckptBuiltCount) {
                _inserter.AddNode(static_cast<node_id_t>(id), _appendedCount, ctx);
            }
            const uint32_t count = built.fetch_add(1, std::memory_order_relaxed) + 1;
            if ((_thresholdOfLog != 0 && count % _thresholdOfLog == 0) || count == _appendedCount) {
                ORVANE_LOG_INFO("Built cnt %u, finished percent %.3f%%", count,
                                static_cast<double>(static_cast<float>(count) * 100.0f /
                                                    static_cast<float>(_reservedCount)));
            }
            return ErrorCode::Ok;
        });
    if (code == ErrorCode::Unavailable) {
        const std::string reason = _executor->refusalReason();
        return Status(code,
                      "multi thread build failed: the build executor refused a task (worker "
                      "threads unavailable" +
                          (reason.empty() ? std::string(")") : "): " + reason));
    }
    if (code != ErrorCode::Ok) return Status(code, "multi thread build failed");
    return Status::Ok();
}

bool DiskANNBuilderBackend::RepairConnectivity() {
    // Every node is in: the re-pruning distances are no longer needed (and the
    // repair edits lists without them).
    _storage.ReleaseNeighborDistances();
    return diskann::RepairConnectivity(_storage, _reservedCount, _storageResource);
}

Status DiskANNBuilderBackend::Dump(io::OutputStream& stream) const {
    return WriteDiskANNIndex(
        {_storage, *_quantizerTrainer, _diskQuantizerTrainer.get(), _reservedCount, _appendedCount,
         _dimension, _metricType, _efConstruction, _slackPruningFactor, _neighborCount,
         _saveOriginalEmbedding, _reorderLayout},
        stream);
}

Status DiskANNBuilderBackend::Attach(api::IBuildExtension& extension) {
    const bool installed = extensions::experimental::InstallCkptFunc(
        extension, [this](std::unique_ptr<api::InnerCkptManager> manager) {
            return LoadFromCkptManager(std::move(manager));
        });
    if (!installed) {
        return Status(ErrorCode::NotSupported, "extensions not supported by diskann builder");
    }
    return Status::Ok();
}

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
