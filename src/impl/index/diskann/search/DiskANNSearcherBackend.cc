#include "impl/index/diskann/search/DiskANNSearcherBackend.h"

#include <algorithm>
#include <string>
#include <thread>

#include "extensions/experimental/SearchWithFilterExtension.h"
#include "impl/index/diskann/search/DiskNodeSource.h"
#include "impl/index/diskann/search/FilteredSearch.h"
#include "schema/OptionValidators.h"
#include "impl/index/diskann/format/SectionIO.h"
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

namespace {

// The search's parallel number, or InvalidArgument outside 1 .. 1000.
Result<uint32_t> ParallelNumber(const api::SearchOptions& options) {
    const int64_t parallel = options.GetInt("search.parallel_number", 1);
    if (parallel < 1 || parallel > DiskANNSearcherBackend::kMaxParallelNumber) {
        ORVANE_LOG_ERROR("ParallelNumber is out of range[%u] vs [%u]",
                         static_cast<uint32_t>(parallel),
                         DiskANNSearcherBackend::kMaxParallelNumber);
        return Status(ErrorCode::InvalidArgument, "ParallelNumber is out of range");
    }
    return static_cast<uint32_t>(parallel);
}

// A positive int option below 2^32, `def` when absent; `zeroMessage` for
// values below 1, the key and the range above.
Result<uint32_t> PositiveOption(const api::SearchOptions& options, const std::string& key,
                                int64_t def, const char* zeroMessage) {
    const int64_t value = options.GetInt(key, def);
    if (value < 1) {
        ORVANE_LOG_ERROR("%s", zeroMessage);
        return Status(ErrorCode::InvalidArgument, zeroMessage);
    }
    if (value > int64_t{UINT32_MAX}) return schema::ValidatePositiveU32(key, value);
    return static_cast<uint32_t>(value);
}

}  // namespace

Result<api::SearchResult> DiskANNSearcherBackend::Search(const api::Query& query,
                                                         const api::SearchOptions& options,
                                                         std::pmr::memory_resource&) {
    auto parallel = ParallelNumber(options);
    if (!parallel.IsOk()) return parallel.TakeStatus();
    return DoSearchWithFilter(query, Filter(), parallel.Value(), options);
}

Result<api::SearchResult> DiskANNSearcherBackend::SearchWithFilter(
    const api::Query& query, Filter filter, const api::SearchOptions& options,
    std::pmr::memory_resource&) {
    const bool threadSafe = options.GetBool("search.thread_safe_filter", false);
    auto parallel = ParallelNumber(options);
    if (!parallel.IsOk()) return parallel.TakeStatus();
    if (parallel.Value() > 1 && !threadSafe) {
        ORVANE_LOG_ERROR(
            "Multi threaded search when filter is not thread safe: thread count [%u] vs thread "
            "safe filter [%d]",
            parallel.Value(), threadSafe ? 1 : 0);
        return Status(ErrorCode::InvalidArgument,
                      "Multi threaded search when filter is not thread safe");
    }
    return DoSearchWithFilter(query, filter, parallel.Value(), options);
}

Result<api::SearchResult> DiskANNSearcherBackend::DoSearchWithFilter(
    const api::Query& query, const Filter& filter, uint32_t parallel,
    const api::SearchOptions& options) {
    if (!_opened) return Status(ErrorCode::FailedPrecondition, "DiskANNSearcher is not open");
    const int64_t topkOption = options.GetInt("search.topk", 0);
    // No search returns more hits than the index has rows, so the heaps and
    // their reservations are bounded by the row count, not by k.
    const uint32_t topk = static_cast<uint32_t>(
        std::clamp<int64_t>(topkOption, 0, static_cast<int64_t>(_meta.count)));

    static const std::string kListSizeKey = "diskann.search.list_size";
    const auto listSizeIt = options.Values().find(kListSizeKey);
    if (listSizeIt == options.Values().end() ||
        !std::holds_alternative<int64_t>(listSizeIt->second)) {
        ORVANE_LOG_ERROR("Missing key[%s]", kListSizeKey.c_str());
        return Status(ErrorCode::InvalidArgument, "List size is required");
    }
    auto listSize = PositiveOption(options, kListSizeKey, 0, "List size must be > 0");
    if (!listSize.IsOk()) return listSize.TakeStatus();
    auto ioLimit =
        PositiveOption(options, "diskann.search.io_limit", UINT32_MAX, "IO limit must be > 0");
    if (!ioLimit.IsOk()) return ioLimit.TakeStatus();
    if (options.GetBool("diskann.search.use_reorder_data", false)) {
        ORVANE_LOG_ERROR("Do not support search use reorder data yet");
        return Status(ErrorCode::NotSupported, "Do not support search use reorder data yet");
    }
    auto beamWidth =
        PositiveOption(options, "diskann.search.beam_width", 2, "BeamSearch Width must be > 0");
    if (!beamWidth.IsOk()) return beamWidth.TakeStatus();
    if (query.size < _meta.dimension) {
        return Status(ErrorCode::InvalidArgument, "Query dimension mismatch");
    }

    const uint32_t ef = std::min(std::max(topk, listSize.Value()), _meta.count);
    const DiskANNContextPool::Lease lease = _contexts.Acquire();
    DiskANNContext& ctx = *lease;
    // A beam never holds more distinct nodes than the index has.
    const uint32_t width = std::max<uint32_t>(1, std::min(beamWidth.Value(), _meta.count));
    ctx.UpdateContext(topk, ef, _meta.count, width, _storage.GraphNodeSize(),
                      _storage.Header().neighborCount);
    ctx._parallelNum = parallel;
    ctx._IOLimit = std::min(std::max(ioLimit.Value(), topk), ef);
    if (filter.IsActive()) {
        FilteredSearch filtered(_storage, _nodeOfRow, _cache, _scorer);
        ORVANE_RETURN_IF_ERROR(filtered.Run(query.data, filter, ioLimit.Value(), ctx));
        return AssembleTopkResult(ctx, ctx._admittedHeap);
    }
    ORVANE_RETURN_IF_ERROR(BeamSearch(query, ctx));
    return AssembleTopkResult(ctx, ctx._topkHeap);
}

Status DiskANNSearcherBackend::BeamSearch(const api::Query& query, DiskANNContext& ctx) {
    ORVANE_RETURN_IF_ERROR(_scorer.Prepare({query.data, _meta.dimension}, ctx));
    DiskNodeSource source(_storage, _cache, _scorer, query.data, api::RowFilter());
    ORVANE_RETURN_IF_ERROR(source.SeedEntries(ctx));
    ORVANE_RETURN_IF_ERROR(source.RunRounds(ctx));
    source.LogSummary(ctx);
    return Status::Ok();
}

api::SearchResult DiskANNSearcherBackend::AssembleTopkResult(const DiskANNContext& ctx,
                                                             const TopkHeap& heap) const {
    const auto items = heap.Items();
    std::vector<std::pair<uint32_t, float>> sorted(items.begin(), items.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.second < b.second; });
    const size_t n = std::min<size_t>(ctx._topk, sorted.size());
    const bool innerProduct = static_cast<dist::MetricE>(_meta.metricType) == dist::MetricE::ip;
    api::SearchResult result;
    result.topk.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const float distance = innerProduct ? -sorted[i].second : sorted[i].second;
        result.topk.push_back({_storage.ids[sorted[i].first], distance});
    }
    result.searchStats.emplace("query_stats.distance_calculate_count",
                               std::to_string(ctx._stats.compareCount));
    result.searchStats.emplace("query_stats.filtered_count",
                               std::to_string(ctx._stats.filteredCount));
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
