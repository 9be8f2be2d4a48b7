// The search half of DiskANNSearcherBackend: option checks, the beam search
// over the node records and the assembly of the result.
#include <algorithm>
#include <cfloat>
#include <chrono>
#include <string>
#include <vector>

#include "impl/index/diskann/search/DiskANNSearcherBackend.h"
#include "schema/OptionValidators.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Result;
using core::Status;

namespace {

using Clock = std::chrono::steady_clock;

int64_t Nanos(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

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
    DiskANNSearchContext& ctx = _contextManager.GetContext();
    // A beam never holds more distinct nodes than the index has.
    const uint32_t width = std::max<uint32_t>(1, std::min(beamWidth.Value(), _meta.count));
    ctx.UpdateContext(topk, ef, _meta.count, width, _storage.GraphNodeSize(),
                      _storage.Header().neighborCount);
    ctx._parallelNum = parallel;
    ctx._IOLimit = std::min(std::max(ioLimit.Value(), topk), ef);
    if (filter.IsActive()) {
        ORVANE_RETURN_IF_ERROR(FilteredSearch(query, filter, ioLimit.Value(), ctx));
        return AssembleTopkResult(ctx, ctx._admittedHeap);
    }
    ORVANE_RETURN_IF_ERROR(BeamSearch(query, filter, ctx));
    return AssembleTopkResult(ctx, ctx._topkHeap);
}

Status DiskANNSearcherBackend::PrepareQueryForBeamSearch(const api::Query& query,
                                                         DiskANNSearchContext& ctx) {
    // The context keeps the prepared queries of its thread's previous search,
    // so that preparing this one reuses their storage.
    const std::span<const float> floats(query.data, _meta.dimension);
    if (Status st = _quantizerEvaluator->PrepareQueryInto(floats, ctx._preparedQuery); !st.IsOk()) {
        ORVANE_LOG_ERROR("Prepare query failed");
        return st;
    }
    if (_diskQuantizerEvaluator != nullptr) {
        if (Status st = _diskQuantizerEvaluator->PrepareQueryInto(
                floats, ctx._preparedQueryForDiskQuantizer);
            !st.IsOk()) {
            ORVANE_LOG_ERROR("Prepare query for disk quantizer failed");
            return st;
        }
    }
    return Status::Ok();
}

Status DiskANNSearcherBackend::BeamSearch(const api::Query& query, const Filter& filter,
                                          DiskANNSearchContext& ctx) {
    const Clock::time_point start = Clock::now();
    ORVANE_RETURN_IF_ERROR(PrepareQueryForBeamSearch(query, ctx));
    ORVANE_RETURN_IF_ERROR(SeedCandidates(ctx));
    ORVANE_RETURN_IF_ERROR(RunBeamRounds(query, filter, ctx));
    LogSearchSummary(ctx, Nanos(start, Clock::now()));
    return Status::Ok();
}

Status DiskANNSearcherBackend::SeedCandidates(DiskANNSearchContext& ctx) {
    // The entry points, scored by the in-memory encoding. Each is marked
    // visited as it is queued, so that reaching it again through a neighbour
    // list neither queues nor reports it twice.
    const std::vector<uint32_t>& entries = _storage.entryPoints;
    ctx._evalIds.assign(entries.begin(), entries.end());
    ctx._evalOut.resize(entries.size());
    if (_quantizerEvaluator->BatchEval(*ctx._preparedQuery, ctx._evalIds, ctx._evalOut) !=
        ErrorCode::Ok) {
        ORVANE_LOG_ERROR("Select entry point failed");
        return Status(ErrorCode::Internal, "Select entry point failed");
    }
    const bool lowerIsBetter = _quantizerEvaluator->LowerIsBetter();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (ctx._visitMap.TestAndSet(entries[i])) continue;
        ctx._candidateHeap.Push({entries[i], lowerIsBetter ? ctx._evalOut[i] : -ctx._evalOut[i]});
    }
    return Status::Ok();
}

Status DiskANNSearcherBackend::RunBeamRounds(const api::Query& query, const Filter& filter,
                                             DiskANNSearchContext& ctx) {
    while (!ctx._candidateHeap.Empty() && ctx._stats.IOCount < ctx._IOLimit) {
        const Clock::time_point roundStart = Clock::now();
        ctx._diskReadNodeIds.clear();
        ctx._cachedNodeIds.clear();
        uint32_t selected = 0;
        uint64_t hits = 0;
        while (selected < ctx._beamWidth && !ctx._candidateHeap.Empty()) {
            const auto nearest = ctx._candidateHeap.Top();
            if (ctx._topkHeap.Full() && nearest.second > ctx._topkHeap.Top().second) break;
            ctx._candidateHeap.Pop();
            ++selected;
            if (_nodeCache.count(nearest.first) != 0) {
                ++hits;
                ctx._cachedNodeIds.push_back(nearest.first);
            } else {
                ctx._diskReadNodeIds.push_back(nearest.first);
            }
        }
        _cacheCheckCount.fetch_add(selected, std::memory_order_relaxed);
        _cacheHitCount.fetch_add(hits, std::memory_order_relaxed);
        if (selected == 0) break;
        const Clock::time_point selectedAt = Clock::now();
        for (uint32_t id : ctx._cachedNodeIds) {
            const GraphNode& node = _cachedGraphNode.nodes[_nodeCache.find(id)->second];
            ORVANE_RETURN_IF_ERROR(ExpandOneNode(query, filter, id, node, ctx));
        }
        const Clock::time_point cachedAt = Clock::now();
        if (!ctx._diskReadNodeIds.empty()) {
            if (ctx._diskReadNodeIds.size() > ctx._diskReadNodes.nodes.size()) {
                ORVANE_LOG_ERROR("disk read node count [%zu] larger than beam width [%zu]",
                                 ctx._diskReadNodeIds.size(), ctx._diskReadNodes.nodes.size());
                return Status(ErrorCode::Internal, "Disk read node index out of bounds");
            }
            ORVANE_RETURN_IF_ERROR(ProcessDiskBatch(query, filter, ctx));
            ctx._stats.IOCount += static_cast<uint32_t>(ctx._diskReadNodeIds.size());
        }
        const Clock::time_point roundEnd = Clock::now();
        ctx._stats.searchBeamDuration += Nanos(roundStart, selectedAt);
        ctx._stats.processBeamDuration += Nanos(selectedAt, cachedAt);
        ctx._stats.readAndProcessBeamDuration += Nanos(cachedAt, roundEnd);
        ++ctx._stats.hopsCount;
    }
    return Status::Ok();
}

void DiskANNSearcherBackend::LogSearchSummary(const DiskANNSearchContext& ctx,
                                              int64_t totalNanos) const {
    if (!telemetry::Logger::Instance().ShouldLog(telemetry::LogLevel::Debug)) return;
    const int64_t checks = static_cast<int64_t>(CacheCheckCount());
    const int64_t cacheHits = static_cast<int64_t>(CacheHitCount());
    ORVANE_LOG_DEBUG(
        "Finish one Beam Search, IOCount: [%d], hops: [%d], compare count: [%d], filtered "
        "count: [%d], cache hit count:[%ld], cache check count: [%ld], cache hit ratio: "
        "[%.2f%%]",
        ctx._stats.IOCount, ctx._stats.hopsCount, ctx._stats.compareCount, ctx._stats.filteredCount,
        cacheHits, checks,
        checks == 0 ? 0.0 : static_cast<double>(cacheHits) * 100.0 / static_cast<double>(checks));
    const int64_t total = std::max<int64_t>(1, totalNanos);
    const int64_t diskNanos = ctx._stats.readAndProcessBeamDuration;
    const int64_t cachedNanos = ctx._stats.processBeamDuration;
    ORVANE_LOG_DEBUG(
        "BeamSearch time: [%ld] ms, inwhich, read beam time [%ld], [%.2f%%], process beam time "
        "[%ld], [%.2f%%]",
        total / 1000000, diskNanos, static_cast<double>(diskNanos) * 100.0 / total, cachedNanos,
        static_cast<double>(cachedNanos) * 100.0 / total);
}

Status DiskANNSearcherBackend::ProcessDiskBatch(const api::Query& query, const Filter& filter,
                                                DiskANNSearchContext& ctx) {
    const size_t inFlight = std::min<size_t>(ctx._parallelNum, ctx._diskReadNodeIds.size());
    ctx._readRequests.resize(inFlight);
    const Status read = ReadNodes(ctx._diskReadNodeIds, ctx._diskReadNodes, 0,
                                  static_cast<uint32_t>(inFlight), ctx._readRequests);
    if (!read.IsOk()) {
        // The caller sees one status for any node that could not be read or
        // parsed; what went wrong with the node is in the log.
        ORVANE_LOG_STATUS_WARN(read, "Node processing failed");
        return Status(ErrorCode::Internal, "Node processing failed");
    }
    for (size_t j = 0; j < ctx._diskReadNodeIds.size(); ++j) {
        ORVANE_RETURN_IF_ERROR(ExpandOneNode(query, filter, ctx._diskReadNodeIds[j],
                                             ctx._diskReadNodes.nodes[j], ctx));
    }
    return Status::Ok();
}

Status DiskANNSearcherBackend::ExactDistance(const api::Query& query, uint32_t id,
                                             const GraphNode& node, DiskANNSearchContext& ctx,
                                             float& distance) const {
    if (_diskQuantizerEvaluator != nullptr) {
        const ErrorCode code = _diskQuantizerEvaluator->EvalWithCode(
            *ctx._preparedQueryForDiskQuantizer, id, node.embedding, distance);
        if (code != ErrorCode::Ok) {
            return Status(code,
                          "expand node failed when calculating distance using disk quantizer");
        }
        if (!_diskQuantizerEvaluator->LowerIsBetter()) distance = -distance;
        return Status::Ok();
    }
    // Records lie at multiples of 4 bytes in the holder, so the raw floats are
    // aligned.
    const auto* vector = reinterpret_cast<const float*>(node.embedding.data());
    distance = _calculator.Distance(std::span<const float>(query.data, _meta.dimension),
                                    std::span<const float>(vector, _meta.dimension));
    return Status::Ok();
}

Status DiskANNSearcherBackend::ExpandOneNode(const api::Query& query, const Filter& filter,
                                             uint32_t id, const GraphNode& node,
                                             DiskANNSearchContext& ctx) {
    // A rejected node is no result, but it still steers the walk: it enters
    // the top-k heap, which bounds the walk, and only admitted nodes enter the
    // admitted heap, which holds the results of a filtered search.
    const bool filtered = filter.IsActive();
    const bool admitted = !filtered || filter.Allows(_storage.ids[id]);
    if (!admitted) ++ctx._stats.filteredCount;
    float distance = 0;
    ORVANE_RETURN_IF_ERROR(ExactDistance(query, id, node, ctx, distance));
    ctx._topkHeap.Push({id, distance});
    if (filtered && admitted) {
        ctx._admittedHeap.Push({id, distance});
        ++ctx._admittedCount;
    }

    ctx._evalIds.clear();
    for (uint32_t neighbor : node.neighbors) {
        if (!ctx._visitMap.TestAndSet(neighbor)) ctx._evalIds.push_back(neighbor);
    }
    if (ctx._evalIds.empty()) return Status::Ok();
    ctx._evalOut.resize(ctx._evalIds.size());
    const ErrorCode code =
        _quantizerEvaluator->BatchEval(*ctx._preparedQuery, ctx._evalIds, ctx._evalOut);
    if (code != ErrorCode::Ok) return Status(code, "expand node failed");
    const bool lowerIsBetter = _quantizerEvaluator->LowerIsBetter();
    for (size_t i = 0; i < ctx._evalIds.size(); ++i) {
        const float value = lowerIsBetter ? ctx._evalOut[i] : -ctx._evalOut[i];
        ++ctx._stats.compareCount;
        // A filtered walk may widen its list later, so it keeps every
        // candidate; the selection applies the same bound.
        if (!filtered && ctx._topkHeap.Full() && value > ctx._topkHeap.Top().second) continue;
        ctx._candidateHeap.Push({static_cast<uint32_t>(ctx._evalIds[i]), value});
    }
    return Status::Ok();
}

api::SearchResult DiskANNSearcherBackend::AssembleTopkResult(DiskANNSearchContext& ctx,
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

}  // namespace orvane::index::diskann
