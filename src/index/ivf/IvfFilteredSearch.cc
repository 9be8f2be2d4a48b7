// The filtered half of IvfSearcherBackend: the choice between scoring the
// admitted rows directly and scanning lists, the scan that widens list by list
// until it has found topk admitted rows, and the search-with-filter extension.
// The strategy is described with the class.
#include <algorithm>
#include <string>

#include "api/searcher/FilterSearchFront.h"
#include "orvane/extensions/SearchWithFilterExtension.h"
#include "index/common/BestK.h"
#include "index/common/MetricBridge.h"
#include "index/common/SimpleBitMap.h"
#include "index/ivf/IvfSearcherBackend.h"

namespace orvane::index::ivf {

using core::ErrorCode;
using core::Result;
using core::Status;
using dist::MetricE;

namespace {

// Scoring a row found through the locator costs about this many rows of a
// list scan (a lookup, then a read away from its neighbours).
constexpr double kDirectCost = 2.0;
// Scoring a list's admitted rows one by one costs about this many rows of a
// pass over the whole list (the reads skip, so the hardware stops streaming):
// a list of which at least 1 / kGatherCost is admitted is scored whole.
constexpr uint64_t kGatherCost = 3;
// Rows scored per evaluator call on the direct path.
constexpr size_t kScoreBlock = 256;
// Lists beyond the nprobe nearest are scanned until this many admitted rows
// per requested hit have been scored: the first topk admitted rows found in
// far lists are rarely the nearest ones.
constexpr uint64_t kAdmittedMargin = 2;

constexpr char kIvfParallelRangeLog[] = "ParallelNumber is out of range[%u vs %u]";

// Whether scoring `admitted` rows directly beats a scan that reads the
// `probed` rows of the nprobe lists, widened until about topk admitted rows
// are found among `count`.
bool DirectIsCheaper(uint64_t admitted, uint64_t probed, uint32_t topk, uint64_t count) {
    if (admitted == 0) return true;
    const double wanted =
        static_cast<double>(topk) * static_cast<double>(count) / static_cast<double>(admitted);
    const double scanned =
        std::min(static_cast<double>(count), std::max(static_cast<double>(probed), wanted));
    return kDirectCost * static_cast<double>(admitted) <= scanned;
}

}  // namespace

Result<api::SearchResult> IvfSearcherBackend::SearchFiltered(const api::Query& query,
                                                             const api::RowFilter& filter,
                                                             const api::SearchOptions& options,
                                                             std::pmr::memory_resource& resource) {
    auto params = ReadSearchParams(options);
    if (!params.IsOk()) return params.TakeStatus();
    auto plan = api::PrepareFilteredSearch(query, options, _meta.dim, kIvfParallelRangeLog);
    if (!plan.IsOk()) return plan.TakeStatus();
    if (!filter.IsActive()) return Search(query, options, resource);
    return WithMetric(_quantizerEvaluator->Metric(), [&](auto tag) {
        return SearchListsFiltered<decltype(tag)::Value>(query, filter, params.Value(), resource);
    });
}

Status IvfSearcherBackend::SearchBatchFiltered(const api::BatchSearchRequest& request,
                                               std::span<api::SearchResult> results) {
    if (request.n == 0) return Status::Ok();
    auto params = ReadSearchParams(*request.options);
    if (!params.IsOk()) return params.TakeStatus();
    auto plan =
        api::PrepareFilteredSearch(request.Row(0), *request.options, _meta.dim, kIvfParallelRangeLog);
    if (!plan.IsOk()) return plan.TakeStatus();
    return WithMetric(_quantizerEvaluator->Metric(), [&](auto tag) -> Status {
        for (uint64_t i = 0; i < request.n; ++i) {
            auto result = SearchListsFiltered<decltype(tag)::Value>(
                request.Row(i), *request.filter, params.Value(), *request.resource);
            if (!result.IsOk()) return result.TakeStatus();
            results[i] = result.TakeValue();
        }
        return Status::Ok();
    });
}

template <MetricE M>
Result<api::SearchResult> IvfSearcherBackend::SearchListsFiltered(
    const api::Query& query, const api::RowFilter& filter, const SearchParams& params,
    std::pmr::memory_resource& resource) const {
    std::pmr::monotonic_buffer_resource scratch(&resource);
    const std::span<const float> q(query.data, _meta.dim);
    const uint64_t count = _idOfRow.size();
    const uint32_t numLists = _meta.numLists;
    const uint32_t m = std::min(numLists, params.nprobe);

    auto prepared = _quantizerEvaluator->PrepareQuery(q);
    if (!prepared.IsOk()) return prepared.TakeStatus();
    std::pmr::vector<RankedList> nearest = RankLists(q, m, scratch);
    uint64_t probed = 0;
    for (uint32_t j = 0; j < m; ++j) probed += _lists[nearest[j].second].ids.size();

    BestK<M> best(std::min<uint64_t>(params.topk, count), &scratch);
    std::pmr::vector<uint64_t> rows(&scratch);
    std::pmr::vector<float> scores(&scratch);
    uint64_t scored = 0;
    uint64_t refused = 0;
    const bool direct = filter.HasList() && _rowLocator.Available() &&
                        DirectIsCheaper(filter.AllowedIds().size(), probed, params.topk, count);
    if (direct) {
        // Every admitted row, in scan order so that the reads move forward.
        rows.reserve(filter.AllowedIds().size());
        for (const uint64_t id : filter.AllowedIds()) {
            _rowLocator.ForEachRow(id, [&](uint64_t row) { rows.push_back(row); });
        }
        std::sort(rows.begin(), rows.end());
        scores.resize(std::min(kScoreBlock, rows.size()));
        for (size_t first = 0; first < rows.size(); first += kScoreBlock) {
            const size_t n = std::min(kScoreBlock, rows.size() - first);
            const std::span<float> out(scores.data(), n);
            const ErrorCode code = _quantizerEvaluator->BatchEval(
                *prepared.Value(), std::span<const uint64_t>(rows.data() + first, n), out);
            if (code != ErrorCode::Ok) return Status(code, "quantizer batch eval failed");
            for (size_t i = 0; i < n; ++i) best.Offer(_idOfRow[rows[first + i]], out[i]);
        }
        scored = rows.size();
        refused = count - rows.size();
    } else {
        // A list's ids are marked once on the rows that hold them when the
        // locator finds each with one lookup (ascending ids read its table
        // in order); testing a row is then one bit instead of a binary search.
        SimpleBitMap admitted(&scratch);
        const bool marked = filter.HasList() && _rowLocator.IsDense();
        if (marked) {
            admitted.Resize(count);
            for (const uint64_t id : filter.AllowedIds()) {
                _rowLocator.ForEachRow(id, [&](uint64_t row) { admitted.Set(row); });
            }
        }
        const uint64_t wanted = kAdmittedMargin * uint64_t{params.topk};
        rows.resize(_longestList);
        scores.resize(_longestList);
        for (uint32_t j = 0; j < numLists; ++j) {
            // Past the nprobe nearest lists only while admitted rows are missing.
            if (j >= m && scored >= wanted) break;
            if (j == m) OrderRest(nearest, m);
            const uint32_t list = nearest[j].second;
            const std::span<const uint64_t> ids = _lists[list].ids;
            const uint64_t start = _listStart[list];
            size_t n = 0;
            if (marked) {
                for (size_t i = 0; i < ids.size(); ++i) {
                    rows[n] = start + i;
                    n += admitted.Test(start + i) ? 1 : 0;
                }
            } else {
                for (size_t i = 0; i < ids.size(); ++i) {
                    rows[n] = start + i;
                    n += filter.Allows(ids[i]) ? 1 : 0;
                }
            }
            refused += ids.size() - n;
            if (n == 0) continue;
            scored += n;
            if (kGatherCost * n >= ids.size()) {
                const std::span<float> out(scores.data(), ids.size());
                const ErrorCode code =
                    _quantizerEvaluator->RangeEval(*prepared.Value(), start, out);
                if (code != ErrorCode::Ok) return Status(code, "quantizer batch eval failed");
                for (size_t i = 0; i < n; ++i) {
                    const uint64_t at = rows[i] - start;
                    best.Offer(ids[at], out[at]);
                }
                continue;
            }
            const std::span<float> out(scores.data(), n);
            const ErrorCode code = _quantizerEvaluator->BatchEval(
                *prepared.Value(), std::span<const uint64_t>(rows.data(), n), out);
            if (code != ErrorCode::Ok) return Status(code, "quantizer batch eval failed");
            for (size_t i = 0; i < n; ++i) best.Offer(ids[rows[i] - start], out[i]);
        }
    }

    api::SearchResult result;
    result.topk.reserve(best.Size());
    for (const ScoredRow& hit : best.TakeBestFirst()) {
        result.topk.push_back({hit.first, hit.second});
    }
    result.searchStats.emplace(api::kQueryStatsDistanceCalculateCount, std::to_string(scored));
    result.searchStats.emplace(api::kQueryStatsFilteredCount, std::to_string(refused));
    return result;
}

Status IvfSearcherBackend::Attach(api::ISearchExtension& extension) {
    auto* filtered = extension.Name() == extensions::SearchWithFilterExtension::kName
                         ? dynamic_cast<extensions::SearchWithFilterExtension*>(&extension)
                         : nullptr;
    if (filtered == nullptr) {
        return Status(ErrorCode::NotSupported, "extension " + std::string(extension.Name()) +
                                                   " not supported by ivf searcher");
    }
    filtered->SetFunc([this](const api::Query& query, api::RowFilter filter,
                             const api::SearchOptions& options,
                             std::pmr::memory_resource& resource) {
        // An empty callable admits nothing: it is a filter that cannot say yes.
        if (!filter) filter = api::RowFilter::FromSortedIds({});
        return SearchFiltered(query, filter, options, resource);
    });
    return Status::Ok();
}

}  // namespace orvane::index::ivf
