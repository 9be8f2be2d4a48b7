#include "index/diskann/search/DiskANNSearcherBackend.h"

#include <algorithm>
#include <string>
#include <thread>

#include "orvane/extensions/SearchWithFilterExtension.h"
#include "index/diskann/search/DiskNodeSource.h"
#include "index/diskann/search/FilteredSearch.h"
#include "index/diskann/format/SectionIO.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Result;
using core::Status;
namespace {

// Idle contexts a searcher keeps, per hardware thread (at least kMinIdleContexts).
constexpr size_t kIdleContextsPerThread = 2;
constexpr size_t kMinIdleContexts = 8;

size_t IdleContextLimit() {
    return std::max<size_t>(kMinIdleContexts,
                            kIdleContextsPerThread * std::thread::hardware_concurrency());
}

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
      _contexts(_memory.instant.get(), IdleContextLimit()) {}

DiskANNSearcherBackend::~DiskANNSearcherBackend() = default;

Status DiskANNSearcherBackend::Init(const api::SearcherOptions& options) {
    auto params = DiskANNSearcherParams::Parse(options);
    if (!params.IsOk()) return params.TakeStatus();
    _cacheNodeCount = params.Value().cacheNodeCount;
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
    if (!_scorer.SetMetric(static_cast<dist::MetricE>(meta.metricType), meta.dimension)) {
        ORVANE_LOG_ERROR("Failed to init distance calculator");
        return Status(ErrorCode::Corruption, "Failed to init distance calculator");
    }
    ORVANE_RETURN_IF_ERROR(_scorer.LoadEncoder(stream, meta, *_storageResource));
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
    ORVANE_RETURN_IF_ERROR(_cache.Load(_storage, _cacheNodeCount, meta.count));
    if (HeaderFlag(header.quantizeRawData)) {
        ORVANE_RETURN_IF_ERROR(_scorer.LoadDiskEncoder(stream, meta.count, *_storageResource));
    }
    _opened = true;
    return Status::Ok();
}

Status DiskANNSearcherBackend::ParseSearchParams(const api::SearchOptions& options, bool filtered,
                                                 api::KindSearchParams& out) const {
    auto params = DiskANNSearchParams::Parse(options, filtered);
    if (!params.IsOk()) return params.TakeStatus();
    out.Put(params.Value());
    return Status::Ok();
}

Result<api::SearchResult> DiskANNSearcherBackend::Search(const api::Query& query,
                                                         const api::SearchOptions& options,
                                                         std::pmr::memory_resource&) {
    auto params = DiskANNSearchParams::Parse(options, /*filtered=*/false);
    if (!params.IsOk()) return params.TakeStatus();
    auto hits = DoSearchWithFilter(query.data, query.size, Filter(), params.Value(),
                                   options.GetInt("search.topk", 0));
    if (!hits.IsOk()) return hits.TakeStatus();
    return api::ToSearchResult(hits.TakeValue());
}

Result<api::SearchResult> DiskANNSearcherBackend::SearchWithFilter(
    const api::Query& query, Filter filter, const api::SearchOptions& options,
    std::pmr::memory_resource&) {
    auto params = DiskANNSearchParams::Parse(options, /*filtered=*/true);
    if (!params.IsOk()) return params.TakeStatus();
    auto hits = DoSearchWithFilter(query.data, query.size, filter, params.Value(),
                                   options.GetInt("search.topk", 0));
    if (!hits.IsOk()) return hits.TakeStatus();
    return api::ToSearchResult(hits.TakeValue());
}

Status DiskANNSearcherBackend::SearchBatch(const api::BatchSearchRequest& request,
                                           std::span<api::SearchResult> results) {
    const bool filtered = request.filter != nullptr && request.filter->IsActive();
    // A request made without the facade carries no parsed parameters.
    DiskANNSearchParams params;
    if (const auto* parsed = request.params.Find<DiskANNSearchParams>()) {
        params = *parsed;
    } else {
        auto read = DiskANNSearchParams::Parse(*request.options, filtered);
        if (!read.IsOk()) return read.TakeStatus();
        params = read.Value();
    }
    const Filter none;
    const Filter& filter = filtered ? *request.filter : none;
    const auto topk = static_cast<int64_t>(std::min<uint64_t>(request.topk, INT64_MAX));
    for (uint64_t i = 0; i < request.n; ++i) {
        auto result = DoSearchWithFilter(request.queries + i * request.dim, request.dim, filter,
                                         params, topk);
        if (!result.IsOk()) return result.TakeStatus();
        request.Deliver(i, result.TakeValue(), results[i]);
    }
    return Status::Ok();
}

Result<api::ScoredHits> DiskANNSearcherBackend::DoSearchWithFilter(
    const float* queryData, uint64_t querySize, const Filter& filter,
    const DiskANNSearchParams& params, int64_t topkOption) {
    if (!_opened) return Status(ErrorCode::FailedPrecondition, "DiskANNSearcher is not open");
    // No search returns more hits than the index has rows, so the heaps and
    // their reservations are bounded by the row count, not by k.
    const uint32_t topk = static_cast<uint32_t>(
        std::clamp<int64_t>(topkOption, 0, static_cast<int64_t>(_meta.count)));
    if (querySize < _meta.dimension) {
        return Status(ErrorCode::InvalidArgument, "Query dimension mismatch");
    }

    const uint32_t ef = std::min(std::max(topk, params.listSize), _meta.count);
    const DiskANNContextPool::Lease lease = _contexts.Acquire();
    DiskANNContext& ctx = *lease;
    // A beam never holds more distinct nodes than the index has.
    const uint32_t width = std::max<uint32_t>(1, std::min(params.beamWidth, _meta.count));
    ctx.UpdateContext(topk, ef, _meta.count, width, _storage.GraphNodeSize(),
                      _storage.Header().neighborCount);
    ctx._parallelNum = params.parallel;
    ctx._IOLimit = std::min(std::max(params.ioLimit, topk), ef);
    if (filter.IsActive()) {
        FilteredSearch filtered(_storage, _nodeOfRow, _cache, _scorer);
        ORVANE_RETURN_IF_ERROR(filtered.Run(queryData, filter, params.ioLimit, ctx));
        return AssembleTopkResult(ctx, ctx._admittedHeap);
    }
    ORVANE_RETURN_IF_ERROR(BeamSearch(queryData, ctx));
    return AssembleTopkResult(ctx, ctx._topkHeap);
}

Status DiskANNSearcherBackend::BeamSearch(const float* query, DiskANNContext& ctx) {
    ORVANE_RETURN_IF_ERROR(_scorer.Prepare({query, _meta.dimension}, ctx));
    const Filter none;
    const SearchDiskStorage::RecordView records(_storage);
    DiskNodeSource source(_storage, _cache, _scorer, query, none, records.Data());
    ORVANE_RETURN_IF_ERROR(source.SeedEntries(ctx));
    ORVANE_RETURN_IF_ERROR(source.RunRounds(ctx));
    source.LogSummary(ctx);
    return Status::Ok();
}

api::ScoredHits DiskANNSearcherBackend::AssembleTopkResult(const DiskANNContext& ctx,
                                                           const TopkHeap& heap) const {
    const auto items = heap.Items();
    std::vector<std::pair<uint32_t, float>> sorted(items.begin(), items.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.second < b.second; });
    const size_t n = std::min<size_t>(ctx._topk, sorted.size());
    const bool innerProduct = static_cast<dist::MetricE>(_meta.metricType) == dist::MetricE::ip;
    api::ScoredHits result;
    result.topk.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const float distance = innerProduct ? -sorted[i].second : sorted[i].second;
        result.topk.push_back({_storage.ids[sorted[i].first], distance});
    }
    result.stats.distanceCalculateCount = ctx._stats.compareCount;
    result.stats.filteredCount = ctx._stats.filteredCount;
    return result;
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
