#include "index/ivf/IvfBuilderBackend.h"

#include <string>
#include <utility>

#include "encoding/QuantizerTrainerFactory.h"
#include "encoding/kmeans/Kmeans.h"
#include "api/builder/EncodeFailure.h"
#include "index/ivf/IvfIndexMeta.h"
#include "index/ivf/IvfKind.h"
#include "index/ivf/IvfOptions.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"

namespace orvane::index {

core::Result<BuilderBackendPtr> CreateIvfBuilderBackend(const api::BuilderOptions& options,
                                                        const core::MemoryResourceConfig& memory) {
    auto backend = std::make_unique<ivf::IvfBuilderBackend>(memory);
    core::Status st = backend->Init(options);
    if (!st.IsOk()) {
        ORVANE_LOG_STATUS_WARN(st, "Failed to init IVF builder backend");
        return st;
    }
    return BuilderBackendPtr(std::move(backend));
}

}  // namespace orvane::index

namespace orvane::index::ivf {

using core::ErrorCode;
using core::Status;
using dist::MetricE;

namespace {

bool IsQuantizerKey(const std::string& key) {
    return key.starts_with("encoding.") || key.starts_with("distance.");
}

// Writes `values` as one section payload (nothing for an empty span) and seals it.
template <typename T>
Status WriteSection(io::OutputStream& stream, std::span<const T> values, const char* name) {
    if (!values.empty()) {
        ORVANE_RETURN_IF_ERROR(
            stream.Write(reinterpret_cast<const char*>(values.data()), values.size_bytes()));
    }
    return stream.SealSection(name, kSectionAlignment);
}

}  // namespace

IvfBuilderBackend::IvfBuilderBackend(const core::MemoryResourceConfig& resources)
    : _resources(core::Normalize(resources)),
      _instantResource(*_resources.instant),
      _storageResource(*_resources.storage) {}

// The trainer draws from the resources this object keeps alive.
IvfBuilderBackend::~IvfBuilderBackend() {
    _quantizerTrainer.reset();
}

Status IvfBuilderBackend::Init(const api::BuilderOptions& options) {
    _params = IvfBuildParams::Parse(options);
    _metric = dist::ParseMetric(options.GetString("distance.metric", "l2"));
    if (_metric != MetricE::l2) {
        return Status(ErrorCode::NotSupported, "ivf currently supports L2 only");
    }

    api::QuantizerOptions quantizerOptions;
    for (const auto& [key, value] : options.Values()) {
        if (IsQuantizerKey(key)) quantizerOptions.Values().emplace(key, value);
    }
    quantizerOptions.Values()["index.dimension"] = int64_t{_params.dimension};
    _quantizerTrainer = quantizer::CreateQuantizerTrainer(quantizerOptions, _instantResource);
    if (!_quantizerTrainer) {
        return Status(ErrorCode::InvalidArgument,
                      "failed to create quantizer trainer: " +
                          quantizer::WhyNoQuantizerTrainer(quantizerOptions));
    }
    _encoding = _quantizerTrainer->EncodingType();
    // Encodings without a thread count of their own encode on the build threads.
    _quantizerTrainer->SetEncodeThreads(_params.threadCount);
    return Status::Ok();
}

Status IvfBuilderBackend::Pretrain(const float* data, uint64_t n) {
    if (_pretrained) return Status(ErrorCode::FailedPrecondition, "Pretrain called twice");
    // A list without a training row gets no centroid of its own, and a search
    // probing it finds nothing: refused, as k-means peers refuse it.
    if (n < _params.numLists) {
        return Status(ErrorCode::InvalidArgument,
                      "ivf.build.num_lists [" + std::to_string(_params.numLists) +
                          "] is above the number of training rows [" + std::to_string(n) + "]");
    }
    const std::span<const float> samples(data, n * _params.dimension);
    if (const ErrorCode code = _quantizerTrainer->Pretrain(samples, n, _params.dimension);
        code != ErrorCode::Ok) {
        return _quantizerTrainer->Explain(code, "quantizer pretrain failed");
    }
    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
    if (!executor.IsOk()) return executor.TakeStatus();
    _executor = executor.TakeValue();
    auto [status, centroids] =
        quantizer::KmeansUtil::Kmeans(samples, _params.dimension, _params.numLists, _params.maxEpoch,
                                 _params.threadCount, _executor.get(), _instantResource);
    ORVANE_RETURN_IF_ERROR(status);
    _centroids = std::move(centroids);
    _pretrained = true;
    return Status::Ok();
}

Status IvfBuilderBackend::EnsurePretrained() const {
    if (_pretrained && !_centroids.empty()) return Status::Ok();
    return Status(ErrorCode::FailedPrecondition, "kmeans not trained");
}

Status IvfBuilderBackend::Reserve(uint64_t n) {
    if (!_pretrained) return Status(ErrorCode::FailedPrecondition, "Reserve requires pretrain");
    _reserved = n;
    _lists.assign(_params.numLists, ListInfo{});
    return _quantizerTrainer->Reserve(n);
}

Status IvfBuilderBackend::AppendBatch(std::span<const float> vectors,
                                      std::span<const uint64_t> ids) {
    ORVANE_RETURN_IF_ERROR(EnsurePretrained());
    const uint64_t n = ids.size();
    if (n == 0 || uint64_t{_params.dimension} * n != vectors.size()) {
        return Status(ErrorCode::InvalidArgument, "batch size mismatch");
    }
    if (const ErrorCode code = _quantizerTrainer->EncodeBatch(vectors, n, _params.dimension);
        code != ErrorCode::Ok) {
        return api::EncodeFailure(code, "quantizer encode failed", code);
    }
    // The nearest centroid of every vector, lowest index on ties; the same
    // assignment step k-means uses, spread over the build threads.
    std::pmr::vector<uint32_t> nearest(n, 0, &_instantResource);
    quantizer::UpdateIndexes(vectors, nearest, _centroids, _params.dimension, _params.threadCount,
                        _executor.get(), _instantResource);
    if (_lists.size() < _params.numLists) _lists.resize(_params.numLists);
    for (uint64_t i = 0; i < n; ++i) {
        ListInfo& list = _lists[nearest[i]];
        list.rowIndices.push_back(_added + i);
        list.ids.push_back(ids[i]);
    }
    _added += n;
    return Status::Ok();
}

Status IvfBuilderBackend::Dump(io::OutputStream& stream) const {
    if (_added == 0 || _added != _reserved) {
        return Status(ErrorCode::FailedPrecondition, "Dump requires all reserved vectors inserted");
    }
    ORVANE_RETURN_IF_ERROR(EnsurePretrained());
    if (_quantizerTrainer->Count() != _added) {
        return Status(ErrorCode::Internal, "quantizer count mismatch");
    }

    IndexMeta meta;
    meta.dim = _params.dimension;
    meta.numLists = _params.numLists;
    meta.metric = static_cast<uint32_t>(_metric);
    meta.encoding = static_cast<uint32_t>(_encoding);
    meta.count = _added;
    ORVANE_RETURN_IF_ERROR(stream.WriteObj(meta));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kMetaSection, kSectionAlignment));

    ORVANE_RETURN_IF_ERROR(
        WriteSection(stream, std::span<const float>(_centroids), kCentroidsSection));

    ORVANE_RETURN_IF_ERROR(_quantizerTrainer->Serialize(
        [&stream](const char* bytes, uint64_t length) { return stream.Write(bytes, length); }));
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kQuantizerSection, kSectionAlignment));

    for (const ListInfo& list : _lists) {
        if (list.rowIndices.empty()) continue;
        ORVANE_RETURN_IF_ERROR(stream.Write(reinterpret_cast<const char*>(list.rowIndices.data()),
                                            list.rowIndices.size() * sizeof(uint64_t)));
    }
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kRowIdsSection, kSectionAlignment));
    for (const ListInfo& list : _lists) {
        if (list.ids.empty()) continue;
        ORVANE_RETURN_IF_ERROR(stream.Write(reinterpret_cast<const char*>(list.ids.data()),
                                            list.ids.size() * sizeof(uint64_t)));
    }
    ORVANE_RETURN_IF_ERROR(stream.SealSection(kIdsSection, kSectionAlignment));

    // Offsets are running byte sums over the lists before each entry.
    std::vector<ListDirEntry> dir(_lists.size());
    uint64_t rowBytes = 0;
    uint64_t idsBytes = 0;
    for (size_t i = 0; i < _lists.size(); ++i) {
        dir[i] =
            ListDirEntry{rowBytes, _lists[i].rowIndices.size(), idsBytes, _lists[i].ids.size()};
        rowBytes += _lists[i].rowIndices.size() * sizeof(uint64_t);
        idsBytes += _lists[i].ids.size() * sizeof(uint64_t);
    }
    ORVANE_RETURN_IF_ERROR(
        WriteSection(stream, std::span<const ListDirEntry>(dir), kListDirSection));
    return stream.Close();
}

Status IvfBuilderBackend::Attach(api::IBuildExtension& extension) {
    return Status(ErrorCode::NotSupported,
                  "extension " + std::string(extension.Name()) + " not supported by ivf builder");
}

}  // namespace orvane::index::ivf
