// GraphSearch: the best-first search over a DiskANN graph that both the
// builder (to find a new node's neighbours in the graph built so far) and the
// searcher (to answer a query from the node records on disk) run. It is
// generic over where nodes come from: a Source policy, bound at compile time,
// supplies the distances and the neighbour lists, so the hot loop makes no
// virtual call per node.
//
// Each round selects the beam: up to ctx._beamWidth nearest candidates, but
// none that is farther than the worst kept result once the result heap is
// full (the search ends when a round selects nothing). The source fetches the
// beam's nodes, and each node is expanded in the order the source leaves in
// ctx._beam: the source visits it (a query scores it exactly for the result
// heap), then its neighbours not yet visited are marked, scored together by
// the source, and queued as candidates unless they are farther than the worst
// kept result. Candidates and results hold lower-is-better distances.
//
// A Source provides:
//   static constexpr bool kScoredAreResults: a scored candidate also enters
//       the result heap (the builder, whose candidate distances are exact);
//       otherwise only Visit fills it.
//   bool BoundsCandidates() const: whether candidates farther than the worst
//       kept result are dropped (a filtered query keeps them all).
//   bool MayContinue(const DiskANNContext&) const: whether another round may
//       start (a query stops when its read budget is spent).
//   Status Score(std::span<const uint64_t> ids, std::span<float> out,
//       DiskANNContext&): the candidate distances of ids.
//   Status Fetch(DiskANNContext&): makes the nodes of ctx._beam available,
//       possibly reordering ctx._beam.
//   Status Visit(size_t j, uint32_t id, DiskANNContext&): node j of the beam
//       is being expanded.
//   std::span<const uint32_t> Neighbors(size_t j, uint32_t id,
//       DiskANNContext&): its neighbour list, valid until the next call.
//   void Anticipate(uint32_t id, DiskANNContext&): id is the nearest
//       candidate before a node's neighbours are scored, likely the next to
//       be expanded; the source may ask for its node's memory (a hint only).
//   void EndRound(DiskANNContext&): a round's nodes are all expanded.
#pragma once

#include <cstdint>
#include <span>

#include "index/diskann/graph/DiskANNContext.h"
#include "orvane/core/Status.h"

namespace orvane::index::diskann {

template <typename Source>
class GraphSearch {
  public:
    // Queues the not yet visited `entries`, marking them visited.
    static core::Status Seed(Source& source, std::span<const uint32_t> entries,
                             DiskANNContext& ctx) {
        ctx._evalIds.assign(entries.begin(), entries.end());
        ctx._evalOut.resize(entries.size());
        ORVANE_RETURN_IF_ERROR(source.Score(ctx._evalIds, ctx._evalOut, ctx));
        for (size_t i = 0; i < entries.size(); ++i) {
            if (ctx._visitMap.TestAndSet(entries[i])) continue;
            ctx._candidateHeap.Push({entries[i], ctx._evalOut[i]});
            if constexpr (Source::kScoredAreResults)
                ctx._topkHeap.Push({entries[i], ctx._evalOut[i]});
        }
        return core::Status::Ok();
    }

    // Runs rounds until the candidates run out, a round selects nothing or the
    // source stops it.
    static core::Status Run(Source& source, DiskANNContext& ctx) {
        auto& candidates = ctx._candidateHeap;
        auto& results = ctx._topkHeap;
        while (!candidates.Empty() && source.MayContinue(ctx)) {
            ctx._beam.clear();
            while (ctx._beam.size() < ctx._beamWidth && !candidates.Empty()) {
                const auto nearest = candidates.Top();
                if (results.Full() && nearest.second > results.Top().second) break;
                candidates.Pop();
                ctx._beam.push_back(nearest.first);
            }
            if (ctx._beam.empty()) break;
            ORVANE_RETURN_IF_ERROR(source.Fetch(ctx));
            for (size_t j = 0; j < ctx._beam.size(); ++j) {
                ORVANE_RETURN_IF_ERROR(Expand(source, j, ctx));
            }
            source.EndRound(ctx);
        }
        return core::Status::Ok();
    }

  private:
    static core::Status Expand(Source& source, size_t j, DiskANNContext& ctx) {
        const uint32_t id = ctx._beam[j];
        ORVANE_RETURN_IF_ERROR(source.Visit(j, id, ctx));
        ctx._evalIds.clear();
        for (uint32_t neighbor : source.Neighbors(j, id, ctx)) {
            if (!ctx._visitMap.TestAndSet(neighbor)) ctx._evalIds.push_back(neighbor);
        }
        if (ctx._evalIds.empty()) return core::Status::Ok();
        if (!ctx._candidateHeap.Empty()) source.Anticipate(ctx._candidateHeap.Top().first, ctx);
        ctx._evalOut.resize(ctx._evalIds.size());
        ORVANE_RETURN_IF_ERROR(source.Score(ctx._evalIds, ctx._evalOut, ctx));
        const bool bounded = source.BoundsCandidates();
        auto& results = ctx._topkHeap;
        for (size_t i = 0; i < ctx._evalIds.size(); ++i) {
            const auto node = static_cast<uint32_t>(ctx._evalIds[i]);
            const float value = ctx._evalOut[i];
            ++ctx._stats.compareCount;
            if (bounded && results.Full() && value > results.Top().second) continue;
            ctx._candidateHeap.Push({node, value});
            if constexpr (Source::kScoredAreResults) results.Push({node, value});
        }
        return core::Status::Ok();
    }
};

}  // namespace orvane::index::diskann
