#include <algorithm>
#include <cmath>
#include <cstdint>

#include "index/diskann/search/FilteredSearch.h"

#include "index/diskann/search/DiskNodeSource.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;

namespace {

// Admitted nodes wanted among the nodes of a filtered walk, per requested hit.
constexpr double kAdmittedMargin = 2.0;
// Nodes ranked by the in-memory codes per evaluator call.
constexpr size_t kScoreChunk = 256;
// Records read per batch while re-ranking.
constexpr uint32_t kRerankSlots = 16;

// The list a walk keeps so that about kAdmittedMargin * topk of its nodes are
// admitted when a fraction `admitted` of all nodes is: max(ef, margin * topk /
// admitted), at most `count`.
uint64_t WidenedList(uint32_t ef, uint32_t topk, double admitted, uint32_t count) {
    const double wanted = kAdmittedMargin * topk / admitted;
    if (!(wanted < static_cast<double>(count))) return count;
    return std::min<uint64_t>(count,
                              std::max<uint64_t>(ef, static_cast<uint64_t>(std::ceil(wanted))));
}

}  // namespace

Status FilteredSearch::Run(const float* query, const api::RowFilter& filter, uint32_t ioLimit,
                           DiskANNContext& ctx) {
    const uint32_t count = _count;
    if (count == 0 || ctx._topk == 0) return Status::Ok();
    if (filter.HasList() && filter.AllowedIds().empty()) return Status::Ok();
    const uint32_t maxReads = std::min(std::max(ioLimit, ctx._topk), count);
    const uint64_t degree = std::max<uint64_t>(1, _storage.Header().neighborCount);
    // A predicate has no count: its walk starts as an unfiltered one and
    // learns the fraction from the nodes it expands.
    const double fraction =
        filter.HasList() ? std::min(1.0, static_cast<double>(filter.AllowedIds().size()) / count)
                         : 1.0;
    const uint64_t walked = WidenedList(ctx._ef, ctx._topk, fraction, count);
    ORVANE_RETURN_IF_ERROR(_scorer.Prepare({query, _storage.Dimension()}, ctx));
    const SearchDiskStorage::RecordView records(_storage);
    _records = records.Data();
    if (filter.HasList() && fraction * count <= static_cast<double>(walked * degree)) {
        CollectAdmittedNodes(filter, ctx);
        return ScoreNodesDirectly(query, std::min(ctx._ef, maxReads), ctx);
    }
    return GraphWalk(query, filter, fraction, maxReads, ctx);
}

void FilteredSearch::CollectAdmittedNodes(const api::RowFilter& filter,
                                          DiskANNContext& ctx) const {
    const uint32_t count = _count;
    ctx._directNodes.clear();
    if (filter.HasList()) {
        for (uint64_t row : filter.AllowedIds()) {
            if (auto node = _rows.Find(row)) ctx._directNodes.push_back(*node);
        }
    } else {
        for (uint32_t node = 0; node < count; ++node) {
            if (filter.Allows(_storage.ids[node])) ctx._directNodes.push_back(node);
        }
    }
    ctx._stats.filteredCount = count - static_cast<uint32_t>(ctx._directNodes.size());
}

Status FilteredSearch::GraphWalk(const float* query, const api::RowFilter& filter,
                                 double fraction, uint32_t maxReads, DiskANNContext& ctx) {
    const uint32_t count = _count;
    const uint64_t degree = std::max<uint64_t>(1, _storage.Header().neighborCount);
    // A walk over more nodes than this scores more codes than the whole index.
    const uint64_t scanList = std::max<uint64_t>(ctx._ef, count / degree);
    uint64_t list = WidenedList(ctx._ef, ctx._topk, fraction, count);
    DiskNodeSource source(_storage, _cache, _scorer, query, filter, _records);
    ORVANE_RETURN_IF_ERROR(source.SeedEntries(ctx));
    bool scanAll = false;
    for (;;) {
        ctx._topkHeap.SetLimit(list);
        ctx._IOLimit = static_cast<uint32_t>(std::min<uint64_t>(list, maxReads));
        ORVANE_RETURN_IF_ERROR(source.RunRounds(ctx));
        if (!filter.HasList()) {
            const uint64_t expanded = uint64_t{ctx._admittedCount} + ctx._stats.filteredCount;
            fraction = expanded == 0 ? 0.0 : static_cast<double>(ctx._admittedCount) / expanded;
        }
        const uint64_t wanted =
            fraction > 0 ? WidenedList(ctx._ef, ctx._topk, fraction, count) : uint64_t{count};
        if (ctx._admittedHeap.Items().size() >= ctx._topk && list >= wanted) break;
        // The caller's read budget is spent, or the walk has nothing left.
        if (ctx._stats.IOCount >= maxReads || list >= count || ctx._candidateHeap.Empty()) break;
        const uint64_t next = std::max(wanted, 2 * list);
        if (fraction == 0 || next > scanList) {
            scanAll = true;
            break;
        }
        list = std::min<uint64_t>(next, count);
    }
    if (scanAll) {
        // The filter is too selective for the walk: score the admitted rows
        // directly, re-ranking with the reads the walk left (at least topk).
        const uint32_t rejectedOnWalk = ctx._stats.filteredCount;
        CollectAdmittedNodes(filter, ctx);
        ctx._stats.filteredCount += rejectedOnWalk;
        const uint32_t left = maxReads - std::min(maxReads, ctx._stats.IOCount);
        ORVANE_RETURN_IF_ERROR(
            ScoreNodesDirectly(query, std::min(ctx._ef, std::max(left, ctx._topk)), ctx));
    }
    source.LogSummary(ctx);
    return Status::Ok();
}

Status FilteredSearch::ScoreNodesDirectly(const float* query, uint32_t rerank,
                                          DiskANNContext& ctx) {
    // Rank by the in-memory codes, keeping the best `rerank` in the top-k heap.
    ctx._topkHeap.Clear();
    ctx._topkHeap.SetLimit(std::max<uint32_t>(rerank, 1));
    const auto& nodes = ctx._directNodes;
    for (size_t first = 0; first < nodes.size(); first += kScoreChunk) {
        const size_t n = std::min(kScoreChunk, nodes.size() - first);
        ctx._evalIds.assign(nodes.begin() + first, nodes.begin() + first + n);
        ctx._evalOut.resize(n);
        ORVANE_RETURN_IF_ERROR(_scorer.Encoded(ctx._evalIds, ctx._evalOut, ctx));
        ctx._stats.compareCount += static_cast<uint32_t>(n);
        for (size_t i = 0; i < n; ++i) ctx._topkHeap.Push({nodes[first + i], ctx._evalOut[i]});
    }

    // Re-rank them exactly, from the cache or from their records.
    ctx._admittedHeap.Clear();
    ctx._rerankIds.clear();
    for (const auto& item : ctx._topkHeap.Items()) ctx._rerankIds.push_back(item.first);
    const uint64_t nodeSize = _storage.GraphNodeSize();
    if (ctx._rerankNodes.nodes.size() != kRerankSlots ||
        ctx._rerankNodes.buffer.size() != kRerankSlots * nodeSize) {
        ctx._rerankNodes.Resize(kRerankSlots, nodeSize);
    }
    const uint32_t parallel = std::clamp<uint32_t>(ctx._parallelNum, 1, kRerankSlots);
    ctx._readRequests.resize(parallel);
    auto& pending = ctx._diskReadNodeIds;
    pending.clear();
    auto readPending = [&]() -> Status {
        if (pending.empty()) return Status::Ok();
        ORVANE_RETURN_IF_ERROR(_storage.ReadNodes(pending, ctx._rerankNodes, 0, parallel,
                                                  ctx._readRequests, _records));
        for (size_t j = 0; j < pending.size(); ++j) {
            float distance = 0;
            ORVANE_RETURN_IF_ERROR(
                _scorer.Exact(query, pending[j], ctx._rerankNodes.nodes[j], ctx, distance));
            ctx._admittedHeap.Push({pending[j], distance});
        }
        ctx._stats.IOCount += static_cast<uint32_t>(pending.size());
        pending.clear();
        return Status::Ok();
    };
    for (uint32_t id : ctx._rerankIds) {
        if (const GraphNode* cached = _cache.Find(id)) {
            float distance = 0;
            ORVANE_RETURN_IF_ERROR(_scorer.Exact(query, id, *cached, ctx, distance));
            ctx._admittedHeap.Push({id, distance});
            continue;
        }
        pending.push_back(id);
        if (pending.size() == kRerankSlots) ORVANE_RETURN_IF_ERROR(readPending());
    }
    ORVANE_RETURN_IF_ERROR(readPending());
    ctx._admittedCount = static_cast<uint32_t>(ctx._rerankIds.size());
    return Status::Ok();
}

}  // namespace orvane::index::diskann
