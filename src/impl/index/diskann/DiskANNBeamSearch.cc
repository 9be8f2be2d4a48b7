// The search half of DiskANNSearcherBackend: option checks, the beam search
// over the node records and the assembly of the result.
#include <algorithm>
#include <cfloat>
#include <chrono>
#include <string>
#include <vector>

#include "impl/index/diskann/DiskANNSearcherBackend.h"
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

}  // namespace

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
    const api::Query query(queryData, querySize);

    const uint32_t ef = std::min(std::max(topk, params.listSize), _meta.count);
    DiskANNSearchContext& ctx = _contextManager.GetContext();
    // A beam never holds more distinct nodes than the index has.
    const uint32_t width = std::max<uint32_t>(1, std::min(params.beamWidth, _meta.count));
    ctx.UpdateContext(topk, ef, _meta.count, width, _storage.GraphNodeSize(),
                      _storage.Header().neighborCount);
    ctx._parallelNum = params.parallel;
    ctx._IOLimit = std::min(std::max(params.ioLimit, topk), ef);
    if (filter.IsActive()) {
        ORVANE_RETURN_IF_ERROR(FilteredSearch(query, filter, params.ioLimit, ctx));
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

api::ScoredHits DiskANNSearcherBackend::AssembleTopkResult(DiskANNSearchContext& ctx,
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

}  // namespace orvane::index::diskann
