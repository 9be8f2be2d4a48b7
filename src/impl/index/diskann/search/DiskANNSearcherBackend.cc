#include "impl/index/diskann/search/DiskANNSearcherBackend.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "extensions/experimental/SearchWithFilterExtension.h"
#include "impl/index/diskann/search/EncoderSectionLoader.h"
#include "impl/index/diskann/format/SectionIO.h"
#include "impl/quantizer/QuantizerEvaluatorLoader.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Result;
using core::Status;
using ReadRequest = io::InputStream::SectionReader::ReadRequest;

namespace {

// Reads in flight while the cache is loaded.
constexpr uint32_t kCacheLoadParallel = 4;

}  // namespace

Result<std::unique_ptr<api::SearcherBackend>> CreateDiskANNSearcherBackend(
    api::dimension_t dimension, const api::SearcherOptions& options,
    const core::MemoryResourceConfig& config) {
    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Search);
    if (!executor.IsOk()) {
        ORVANE_LOG_STATUS_WARN(executor.GetStatus(), "Failed to create executor");
        return executor.TakeStatus();
    }
    auto backend =
        std::make_unique<DiskANNSearcherBackend>(dimension, executor.TakeValue(), config);
    const Status st = backend->Init(options);
    if (!st.IsOk()) {
        ORVANE_LOG_STATUS_WARN(st, "Failed to init DiskANNSearcherBackend");
        return st;
    }
    return std::unique_ptr<api::SearcherBackend>(std::move(backend));
}

DiskANNSearcherBackend::DiskANNSearcherBackend(api::dimension_t dimension,
                                               std::shared_ptr<coro::Executor> executor,
                                               const core::MemoryResourceConfig& config)
    : _dimension(dimension),
      _meta{0, 0, static_cast<uint32_t>(dist::MetricE::dummy)},
      _executor(std::move(executor)),
      _memory(core::Normalize(config)),
      _storageResource(_memory.storage.get()),
      _nodeOfRow(_storageResource),
      _contextManager(_memory.instant.get()) {}

DiskANNSearcherBackend::~DiskANNSearcherBackend() = default;

Status DiskANNSearcherBackend::Init(const api::SearcherOptions& options) {
    const int64_t cache = options.GetInt("diskann.search.num_nodes_to_cache", 0);
    if (cache < 0 || cache > UINT32_MAX) {
        return Status(ErrorCode::InvalidArgument, "num_nodes_to_cache out of range");
    }
    _cacheNodeCount = static_cast<uint32_t>(cache);
    ORVANE_LOG_INFO("DiskANNSearch init success, options[%s]", options.DebugString().c_str());
    return Status::Ok();
}

Status DiskANNSearcherBackend::Open(io::InputStream& stream) {
    if (_opened) return Status(ErrorCode::FailedPrecondition, "DiskANNSearcher is already open");
    DiskANNIndexMeta meta;
    ORVANE_RETURN_IF_ERROR(
        ReadSectionPrefix(stream, kMetaSection, &meta, sizeof(meta), "index meta"));
    if (meta.dimension != _dimension) {
        ORVANE_LOG_ERROR("DiskANNSearcher dimension mismatch [%u] != [%u]", meta.dimension,
                         _dimension);
        return Status(ErrorCode::InvalidArgument, "DiskANNSearcher dimension mismatch");
    }
    if (!_calculator.Set(static_cast<dist::MetricE>(meta.metricType))) {
        ORVANE_LOG_ERROR("Failed to init distance calculator");
        return Status(ErrorCode::Corruption, "Failed to init distance calculator");
    }
    ORVANE_RETURN_IF_ERROR(LoadEncoder(stream, meta));
    if (_quantizerEvaluator->Count() != meta.count) {
        ORVANE_LOG_ERROR("Quantizer count [%lu] does not match [%u]",
                         static_cast<unsigned long>(_quantizerEvaluator->Count()), meta.count);
        return Status(ErrorCode::Corruption, "Quantizer count does not match");
    }
    ORVANE_LOG_INFO("DiskANNSearcher open dimension [%u], count [%u]", meta.dimension, meta.count);
    ORVANE_RETURN_IF_ERROR(_storage.Load(stream, meta.count, meta.dimension));
    const StorageHeader& header = _storage.Header();
    // Exact distances read the raw floats straight from a node record.
    if (!HeaderFlag(header.quantizeRawData) &&
        header.vectorSize != uint64_t{meta.dimension} * sizeof(float)) {
        ORVANE_LOG_ERROR("Damaged diskann index: vector size [%lu] for dimension [%u]",
                         static_cast<unsigned long>(header.vectorSize), meta.dimension);
        return Status(ErrorCode::Corruption, "Damaged diskann index: vector size mismatch");
    }
    _meta = meta;
    _nodeOfRow.Build(_storage.ids);
    ORVANE_RETURN_IF_ERROR(LoadCacheBFS());
    if (HeaderFlag(header.quantizeRawData)) ORVANE_RETURN_IF_ERROR(LoadDiskEncoder(stream));
    _opened = true;
    return Status::Ok();
}

Status DiskANNSearcherBackend::LoadEncoder(io::InputStream& stream, const DiskANNIndexMeta& meta) {
    auto reader = EncoderStreamReader(stream, meta);
    if (reader.IsOk()) {
        auto evaluator = quantizer::LoadQuantizerEvaluator(reader.Value(), *_storageResource);
        if (evaluator != nullptr) {
            const Status opened = evaluator->Open(reader.Value());
            if (opened.IsOk()) {
                _quantizerEvaluator = std::move(evaluator);
                return Status::Ok();
            }
            ORVANE_LOG_STATUS_WARN(opened, "Get quantizer failed");
            return opened;
        }
    }
    ORVANE_LOG_ERROR("Get quantizer failed");
    return reader.IsOk() ? Status(ErrorCode::Corruption, "Get quantizer failed")
                         : reader.TakeStatus();
}

Status DiskANNSearcherBackend::LoadDiskEncoder(io::InputStream& stream) {
    auto reader = stream.GetSectionReader(kDiskEncoderSection);
    if (!reader.IsOk()) {
        ORVANE_LOG_ERROR("get disk quantizer failed");
        return reader.TakeStatus();
    }
    auto evaluator = quantizer::LoadQuantizerEvaluator(reader.Value(), *_storageResource);
    if (evaluator == nullptr) {
        ORVANE_LOG_ERROR("Disk quantizer evaluator is null");
        return Status(ErrorCode::Corruption, "Disk quantizer evaluator is null");
    }
    const Status loaded = evaluator->Load(reader.Value());
    if (!loaded.IsOk()) {
        ORVANE_LOG_ERROR("get disk quantizer failed");
        return loaded;
    }
    if (evaluator->Count() != _meta.count) {
        ORVANE_LOG_ERROR("Quantizer count [%lu] does not match [%u]",
                         static_cast<unsigned long>(evaluator->Count()), _meta.count);
        return Status(ErrorCode::InvalidArgument, "Quantizer count does not match");
    }
    _diskQuantizerEvaluator = std::move(evaluator);
    return Status::Ok();
}

Status DiskANNSearcherBackend::ReadNodes(std::span<const uint32_t> ids, GraphNodeHolder& holder,
                                         uint32_t firstSlot, uint32_t parallel,
                                         std::span<ReadRequest> requests) const {
    const uint64_t nodeSize = _storage.GraphNodeSize();
    const io::InputStream::SectionReader& reader = _storage.LayoutReader();
    for (size_t first = 0; first < ids.size(); first += parallel) {
        const size_t n = std::min<size_t>(parallel, ids.size() - first);
        for (size_t j = 0; j < n; ++j) {
            const uint64_t slot = firstSlot + first + j;
            if (slot >= holder.nodes.size()) {
                ORVANE_LOG_ERROR("disk read node index [%lu] larger than beam width",
                                 static_cast<unsigned long>(slot));
                return Status(ErrorCode::Internal, "Disk read node index out of bounds");
            }
            ReadRequest& request = requests[j];
            request.offset = _storage.GetOffsetAndLengthById(ids[first + j]).first;
            request.length = nodeSize;
            request.buffer = reinterpret_cast<char*>(holder.buffer.data()) + slot * nodeSize;
        }
        const Status read = reader.ReadBatch(requests.first(n));
        if (!read.IsOk()) {
            ORVANE_LOG_ERROR("Async node processing failed");
            return read;
        }
        for (size_t j = 0; j < n; ++j) {
            const uint32_t id = ids[first + j];
            const Status parsed =
                _storage.ParseNodeData(id, static_cast<uint32_t>(firstSlot + first + j), holder);
            if (!parsed.IsOk()) {
                ORVANE_LOG_ERROR("Failed to parse node data, nodeId [%u]", id);
                return parsed;
            }
        }
    }
    return Status::Ok();
}

Status DiskANNSearcherBackend::LoadCacheBFS() {
    const uint32_t cacheCount =
        std::min(_cacheNodeCount, static_cast<uint32_t>(static_cast<double>(_meta.count) * 0.1));
    _cacheNodeCount = cacheCount;
    _cachedGraphNode.Resize(cacheCount, _storage.GraphNodeSize());
    if (cacheCount == 0) return Status::Ok();

    std::vector<ReadRequest> requests(kCacheLoadParallel);
    std::vector<uint32_t> level;
    std::unordered_set<uint32_t> seen;
    for (uint32_t entry : _storage.entryPoints) {
        if (seen.insert(entry).second) level.push_back(entry);
    }
    uint32_t levels = 1;
    uint32_t cached = 0;
    while (cached < cacheCount && !level.empty()) {
        if (level.size() > cacheCount - cached) level.resize(cacheCount - cached);
        const Status read =
            ReadNodes(level, _cachedGraphNode, cached, kCacheLoadParallel, requests);
        if (!read.IsOk()) {
            ORVANE_LOG_ERROR("Cache load failed when read cached nodes from disk");
            return Status(read.Code(), "DiskANNSearcher load cache failed when read disk nodes");
        }
        std::vector<uint32_t> next;
        for (uint32_t id : level) {
            _nodeCache.emplace(id, cached);
            ++cached;
        }
        for (uint32_t slot = cached - static_cast<uint32_t>(level.size()); slot < cached; ++slot) {
            for (uint32_t neighbor : _cachedGraphNode.nodes[slot].neighbors) {
                if (seen.insert(neighbor).second) next.push_back(neighbor);
            }
        }
        level.swap(next);
        ++levels;
    }
    ORVANE_LOG_INFO("DiskANNSearcher finish load cache, cache [%u] level nodes, [%lu] cached nodes",
                    levels, static_cast<unsigned long>(cached));
    return Status::Ok();
}

Result<api::SearchResult> DiskANNSearcherBackend::SearchFiltered(
    const api::Query& query, const api::RowFilter& filter, const api::SearchOptions& options,
    std::pmr::memory_resource& resource) {
    return SearchWithFilter(query, filter, options, resource);
}

Status DiskANNSearcherBackend::Attach(api::ISearchExtension& extension) {
    if (extension.Name() != extensions::SearchWithFilterExtension::kName) {
        return Status(ErrorCode::NotSupported, "Extension is not supported by diskann searcher");
    }
    // The name identifies the filter extension.
    auto& filtered = static_cast<extensions::SearchWithFilterExtension&>(extension);
    filtered.SetFunc([this](const api::Query& query, Filter filter,
                            const api::SearchOptions& options,
                            std::pmr::memory_resource& resource) {
        return SearchWithFilter(query, std::move(filter), options, resource);
    });
    return Status::Ok();
}

api::IndexInfo DiskANNSearcherBackend::GetMeta() const {
    return api::IndexInfo{_meta.count, _meta.dimension};
}

}  // namespace orvane::index::diskann
