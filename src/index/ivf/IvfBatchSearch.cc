// A block of a batch's queries scanned list by list. One query at a time,
// every query streams its nprobe lists from memory; a batch of 1000 queries
// with nprobe 16 over 256 lists probes each list about 60 times, and a list
// of Fashion-MNIST (about 230 rows of 3 KiB) fits in a core's second-level
// cache. Scanning a block's probes grouped by list reads each list from
// memory once per block, which is what lets a batch on several cores scale
// on a machine whose cores share their memory bandwidth.
//
// The hits are those of SearchLists, row for row: each (query, list) pair is
// scored by the same RangeEval on the same prepared query into its own
// segment of a score buffer, and only when the block's lists are all scanned
// does each query offer its segments, lists nearest first and rows in list
// order, exactly as the one-query scan offers them.
#include <algorithm>
#include <memory>
#include <memory_resource>

#include "index/common/BestK.h"
#include "index/common/MetricBridge.h"
#include "index/ivf/IvfSearcherBackend.h"

namespace orvane::index::ivf {

using core::ErrorCode;
using core::Status;
using dist::MetricE;
using dist::encode_space::EncodingE;

bool IvfSearcherBackend::ScansBatchByLists() const {
    return _quantizerEvaluator != nullptr &&
           (_encoding == EncodingE::rawf32 || _encoding == EncodingE::sq8);
}

uint64_t IvfSearcherBackend::PreferredSliceRows() const {
    return ScansBatchByLists() ? kBatchQueryBlock : 0;
}

Status IvfSearcherBackend::SearchBlockByLists(const api::BatchSearchRequest& request,
                                              uint64_t first, uint64_t count, uint32_t topk,
                                              uint32_t nprobe,
                                              std::span<api::SearchResult> results) const {
    return WithMetric(_quantizerEvaluator->Metric(), [&](auto tag) {
        return SearchBlockByListsAs<decltype(tag)::Value>(request, first, count, topk, nprobe,
                                                          results);
    });
}

template <MetricE M>
Status IvfSearcherBackend::SearchBlockByListsAs(const api::BatchSearchRequest& request,
                                                uint64_t first, uint64_t count, uint32_t topk,
                                                uint32_t nprobe,
                                                std::span<api::SearchResult> results) const {
    std::pmr::monotonic_buffer_resource scratch(request.resource);
    const uint32_t numLists = _meta.numLists;
    const uint32_t m = std::min(numLists, nprobe);
    const uint64_t probes = count * m;

    // Per query: its lists nearest first, where each list's scores go, and
    // its prepared form.
    std::pmr::vector<uint32_t> probeList(probes, &scratch);
    std::pmr::vector<uint64_t> segment(probes, &scratch);
    std::pmr::vector<uint64_t> scanned(count, &scratch);
    std::vector<std::unique_ptr<quantizer::PreparedBase>> prepared(count);
    uint64_t total = 0;
    for (uint64_t qi = 0; qi < count; ++qi) {
        const std::span<const float> q(request.queries + (first + qi) * request.dim, _meta.dim);
        std::pmr::monotonic_buffer_resource rankScratch(&scratch);
        const std::pmr::vector<RankedList> nearest = RankLists(q, nprobe, rankScratch);
        const uint64_t before = total;
        for (uint32_t j = 0; j < m; ++j) {
            const uint32_t list = nearest[j].second;
            probeList[qi * m + j] = list;
            segment[qi * m + j] = total;
            total += _lists[list].ids.size();
        }
        scanned[qi] = total - before;
        auto ready = _quantizerEvaluator->PrepareQuery(q);
        if (!ready.IsOk()) return ready.TakeStatus();
        prepared[qi] = ready.TakeValue();
    }

    // The probes grouped by list (a counting sort keeps each list's probes in
    // query order).
    std::pmr::vector<uint64_t> listFirst(uint64_t{numLists} + 1, 0, &scratch);
    for (uint64_t p = 0; p < probes; ++p) ++listFirst[probeList[p] + 1];
    for (uint32_t l = 0; l < numLists; ++l) listFirst[l + 1] += listFirst[l];
    std::pmr::vector<uint64_t> byList(probes, &scratch);
    {
        std::pmr::vector<uint64_t> next(listFirst.begin(), listFirst.end() - 1, &scratch);
        for (uint64_t p = 0; p < probes; ++p) byList[next[probeList[p]]++] = p;
    }

    std::pmr::vector<float> scores(total, &scratch);
    for (uint32_t list = 0; list < numLists; ++list) {
        const uint64_t rows = _lists[list].ids.size();
        for (uint64_t at = listFirst[list]; at < listFirst[list + 1]; ++at) {
            const uint64_t p = byList[at];
            const ErrorCode code =
                _quantizerEvaluator->RangeEval(*prepared[p / m], _listStart[list],
                                               std::span<float>(scores.data() + segment[p], rows));
            if (code != ErrorCode::Ok) return Status(code, "quantizer batch eval failed");
        }
    }

    for (uint64_t qi = 0; qi < count; ++qi) {
        std::pmr::monotonic_buffer_resource heapScratch(&scratch);
        BestK<M> best(std::min<uint64_t>(topk, scanned[qi]), &heapScratch);
        for (uint32_t j = 0; j < m; ++j) {
            const std::span<const uint64_t> ids = _lists[probeList[qi * m + j]].ids;
            const float* s = scores.data() + segment[qi * m + j];
            for (size_t i = 0; i < ids.size(); ++i) best.Offer(ids[i], s[i]);
        }
        request.Deliver(first + qi, TakeScoredHits(best, scanned[qi]), results[first + qi]);
    }
    return Status::Ok();
}

}  // namespace orvane::index::ivf
