// DiskNodeSource: the GraphSearch source of a DiskANN query. Nodes are the
// records of the index file: each round's beam is served from the node cache
// where it can be and read from the file otherwise (one ReadBatch of up to
// the query's parallel number of records at a time, or parsed where they lie
// when the reader holds the file in memory), cached nodes expanded first.
// Candidates are ranked by the in-memory codes; a node expanded is scored
// exactly into the result heap and, when it passes the filter, into the
// admitted heap of a filtered query. Rounds stop once ctx._IOLimit records
// have been read.
//
// The durations of the debug summary cost two clock reads per round (after
// the reads, after the expansions), taken only when debug logging is on.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "index/diskann/graph/DiskANNContext.h"
#include "index/diskann/search/NodeCache.h"
#include "index/diskann/search/QueryScorer.h"
#include "index/diskann/search/SearchDiskStorage.h"
#include "orvane/api/RowFilter.h"
#include "orvane/core/Status.h"

namespace orvane::index::diskann {

class DiskNodeSource {
  public:
    static constexpr bool kScoredAreResults = false;
    using Clock = std::chrono::steady_clock;

    // A query of storage.Dimension() floats at `query`; `filter` may be
    // inactive. The query must already be prepared in the context. `records`
    // is the storage's RecordView data held for the query (null: records are
    // copied into the context's read buffers).
    DiskNodeSource(const SearchDiskStorage& storage, NodeCache& cache, const QueryScorer& scorer,
                   const float* query, const api::RowFilter& filter, const uint8_t* records);

    // Queues the entry points, scored by the in-memory codes.
    core::Status SeedEntries(DiskANNContext& ctx);
    // Beam rounds until the candidates run out, the nearest candidate is worse
    // than the worst kept node, or the read budget is spent.
    core::Status RunRounds(DiskANNContext& ctx);
    // The debug summary of the search so far.
    void LogSummary(const DiskANNContext& ctx) const;

    // The GraphSearch policy.
    bool BoundsCandidates() const { return !_filter.IsActive(); }
    bool MayContinue(const DiskANNContext& ctx) const { return ctx._stats.IOCount < ctx._IOLimit; }
    core::Status Score(std::span<const uint64_t> ids, std::span<float> out,
                       DiskANNContext& ctx) const {
        return _scorer.Encoded(ids, out, ctx);
    }
    core::Status Fetch(DiskANNContext& ctx);
    core::Status Visit(size_t j, uint32_t id, DiskANNContext& ctx);
    std::span<const uint32_t> Neighbors(size_t j, uint32_t, DiskANNContext& ctx) const {
        return ctx._beamNodes[j]->neighbors;
    }
    // With the records in place, the likely next node's record is asked for
    // while this node's neighbours are scored (six interleaved pairs, R32 PQ
    // 98, mmap reader: +4.5% QPS). A copied record cannot be asked for ahead.
    void Anticipate(uint32_t id, DiskANNContext&) const {
        if (_records != nullptr) _storage.PrefetchNode(id, _records);
    }
    void EndRound(DiskANNContext& ctx);

  private:
    const SearchDiskStorage& _storage;
    NodeCache& _cache;
    const QueryScorer& _scorer;
    const float* _query;
    const api::RowFilter& _filter;
    const uint8_t* const _records;
    const bool _timed;
    Clock::time_point _start;
    Clock::time_point _mark;  // end of the last round (or the start)
    Clock::time_point _read;  // end of this round's reads
};

}  // namespace orvane::index::diskann
