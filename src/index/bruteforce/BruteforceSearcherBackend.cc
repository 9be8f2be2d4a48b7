#include "index/bruteforce/BruteforceSearcherBackend.h"
#include "orvane/extensions/SearchWithFilterExtension.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <string>
#include <utility>

#include "encoding/QuantizerEvaluatorLoader.h"
#include "api/searcher/FilterSearchFront.h"
#include "index/bruteforce/BruteforceBatchScan.h"
#include "index/bruteforce/BruteforceBlockScan.h"
#include "index/bruteforce/BruteforceIndexMeta.h"
#include "index/bruteforce/BruteforceKind.h"
#include "index/bruteforce/BruteforceOptions.h"
#include "index/bruteforce/BruteforceScan.h"
#include "index/bruteforce/BruteforceSections.h"
#include "index/common/MetricBridge.h"
#include "io/InputStream.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"

namespace orvane::index {

using core::ErrorCode;
using core::Result;
using core::Status;

namespace {

// `search.topk` as the scans take it: 0 when absent, clamped to 32 bits.
uint64_t TopkOption(const api::SearchOptions& options) {
    const int64_t topk = options.GetInt("search.topk", 0);
    return static_cast<uint64_t>(
        std::clamp<int64_t>(topk, 0, std::numeric_limits<uint32_t>::max()));
}

// The caller-facing form of a one-query scan.
Result<api::SearchResult> ToResult(Result<api::ScoredHits> hits) {
    if (!hits.IsOk()) return hits.TakeStatus();
    return api::ToSearchResult(hits.TakeValue());
}

}  // namespace

core::Result<SearcherBackendPtr> CreateBruteforceSearcherBackend(
    api::dimension_t dimension, const api::SearcherOptions&,
    const core::MemoryResourceConfig& resources) {
    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Search);
    if (!executor.IsOk()) {
        ORVANE_LOG_STATUS_WARN(executor.GetStatus(), "Failed to create executor");
        return executor.TakeStatus();
    }
    return SearcherBackendPtr(
        std::make_unique<BruteforceSearcherBackend>(dimension, executor.TakeValue(), resources));
}

BruteforceSearcherBackend::BruteforceSearcherBackend(api::dimension_t dimension,
                                                     std::shared_ptr<coro::Executor> executor,
                                                     const core::MemoryResourceConfig& resources)
    : _dimension(dimension),
      _resources(core::Normalize(resources)),
      _storageResource(*_resources.storage),
      _instantResource(*_resources.instant),
      _executor(std::move(executor)),
      _vectorIds(&_storageResource) {}

// The evaluator and the ids live in the shared resources, so they go first.
BruteforceSearcherBackend::~BruteforceSearcherBackend() {
    _quantizerEvaluator.reset();
    _vectorIds = std::pmr::vector<uint64_t>(&_storageResource);
}

Status BruteforceSearcherBackend::Open(io::InputStream& stream) {
    auto meta = bruteforce::ReadIndexMeta(stream);
    if (!meta.IsOk()) return meta.TakeStatus();
    const bruteforce::BruteforceIndexMeta stored = meta.Value();
    if (stored.dimension != _dimension) {
        ORVANE_LOG_ERROR("BruteforceSearcher dimension mismatch [%u] != [%u]", _dimension,
                         stored.dimension);
        return Status(ErrorCode::InvalidArgument, "BruteforceSearcher dimension mismatch");
    }
    ORVANE_LOG_INFO("BruteforceSearcher open dimension [%u], count [%u]", stored.dimension,
                    stored.count);

    auto vectors = stream.GetSectionReader(bruteforce::kIndexVectorName);
    if (!vectors.IsOk()) return vectors.TakeStatus();
    std::unique_ptr<quantizer::QuantizerEvaluatorBase> evaluator =
        quantizer::LoadQuantizerEvaluator(vectors.Value(), _storageResource);
    if (!evaluator) {
        return Status(ErrorCode::FailedPrecondition, "Failed to create quantizer evaluator");
    }
    ORVANE_RETURN_IF_ERROR(evaluator->Open(vectors.Value()));

    std::pmr::vector<uint64_t> ids(&_storageResource);
    ORVANE_RETURN_IF_ERROR(
        bruteforce::ReadIndexIds(stream, stored.count, bruteforce::kShortIdsSearcherLog, ids));
    if (evaluator->Count() != ids.size()) {
        ORVANE_LOG_ERROR("Vector id count mismatch [%zu vs %zu], failing to open searcher.",
                         static_cast<size_t>(evaluator->Count()), ids.size());
        return Status(ErrorCode::Internal, "Vector id count mismatch");
    }
    // A file whose stream was written for another dimension than its meta
    // says would be scored with the wrong row length.
    if (evaluator->Dimension() != _dimension) {
        return Status(ErrorCode::Corruption,
                      "BruteforceSearcher vector section dimension mismatch");
    }
    _count = stored.count;
    _quantizerEvaluator = std::move(evaluator);
    _vectorIds = std::move(ids);
    return Status::Ok();
}

Status BruteforceSearcherBackend::ParseSearchParams(const api::SearchOptions& options,
                                                    bool filtered,
                                                    api::KindSearchParams& out) const {
    auto params = bruteforce::BruteforceSearchParams::Parse(options, filtered);
    if (!params.IsOk()) return params.TakeStatus();
    out.Put(params.Value());
    return Status::Ok();
}

Result<api::SearchResult> BruteforceSearcherBackend::Search(const api::Query& query,
                                                            const api::SearchOptions& options,
                                                            std::pmr::memory_resource& resource) {
    auto params = bruteforce::BruteforceSearchParams::Parse(options, /*filtered=*/false);
    if (!params.IsOk()) return params.TakeStatus();
    if (query.data == nullptr || query.size != _dimension) {
        return Status(ErrorCode::InvalidArgument, "query data size does not match index dimension");
    }
    return ToResult(
        ScanOne(query.data, Filter(), params.Value().parallel, TopkOption(options), resource));
}

Result<api::SearchResult> BruteforceSearcherBackend::SearchWithFilter(
    const api::Query& query, Filter filter, const api::SearchOptions& options,
    std::pmr::memory_resource& resource) {
    auto plan = api::PrepareFilteredSearch(query, options, _dimension,
                                                  api::kBruteforceParallelRangeLog);
    if (!plan.IsOk()) return plan.TakeStatus();
    // An empty callable admits nothing: it is a filter that cannot say yes.
    if (!filter) filter = api::RowFilter::FromSortedIds({});
    return DoSearchWithFilter(query, filter, plan.Value().parallelNumber, options, resource);
}

Result<api::SearchResult> BruteforceSearcherBackend::DoSearchWithFilter(
    const api::Query& query, const Filter& filter, uint32_t parallel,
    const api::SearchOptions& options, std::pmr::memory_resource& resource) {
    return ToResult(ScanOne(query.data, filter, parallel, TopkOption(options), resource));
}

Result<api::ScoredHits> BruteforceSearcherBackend::ScanOne(const float* query, const Filter& filter,
                                                           uint32_t parallel, uint64_t k,
                                                           std::pmr::memory_resource& resource) {
    if (!_quantizerEvaluator) {
        return Status(ErrorCode::FailedPrecondition, "BruteforceSearcher is not opened");
    }
    auto prepared = _quantizerEvaluator->PrepareQuery(std::span<const float>(query, _dimension));
    if (!prepared.IsOk()) return prepared.TakeStatus();

    bruteforce::ScanRequest request{*_quantizerEvaluator,
                                    *prepared.Value(),
                                    filter,
                                    _vectorIds,
                                    k,
                                    std::max<uint32_t>(parallel, 1),
                                    *_executor,
                                    resource};
    return WithMetric(_quantizerEvaluator->Metric(), [&](auto tag) -> Result<api::ScoredHits> {
        return bruteforce::ScanRows<decltype(tag)::Value>(request);
    });
}

Status BruteforceSearcherBackend::SearchBatch(const api::BatchSearchRequest& request,
                                              std::span<api::SearchResult> results) {
    const bool filtered = request.filter != nullptr && request.filter->IsActive();
    // A request made without the facade carries no parsed parameters.
    bruteforce::BruteforceSearchParams params;
    if (const auto* parsed = request.params.Find<bruteforce::BruteforceSearchParams>()) {
        params = *parsed;
    } else {
        auto read = bruteforce::BruteforceSearchParams::Parse(*request.options, filtered);
        if (!read.IsOk()) return read.TakeStatus();
        params = read.Value();
    }
    if (request.n > 0 && (request.queries == nullptr || request.dim != _dimension)) {
        return Status(ErrorCode::InvalidArgument, "query data size does not match index dimension");
    }
    const api::RowFilter* rowFilter = request.filter;
    const Filter none;
    const Filter& filter = filtered ? *rowFilter : none;
    if (request.n > 1 && params.parallel <= 1 && _quantizerEvaluator &&
        bruteforce::ScansBatchByRowBlocks(*_quantizerEvaluator)) {
        const bruteforce::BlockScanRequest blocks{*_quantizerEvaluator, request.queries,
                                                  request.n,            filter,
                                                  _vectorIds,           request.topk,
                                                  *request.resource};
        auto scanned = WithMetric(_quantizerEvaluator->Metric(), [&](auto tag) {
            return bruteforce::ScanBatchByRowBlocks<decltype(tag)::Value>(blocks);
        });
        if (!scanned.IsOk()) return scanned.TakeStatus();
        for (uint64_t i = 0; i < request.n; ++i) {
            request.Deliver(i, std::move(scanned.Value()[i]), results[i]);
        }
        return Status::Ok();
    }
    if (request.n < 2 || !_quantizerEvaluator ||
        !bruteforce::CanScanBatchByProducts(*_quantizerEvaluator)) {
        for (uint64_t i = 0; i < request.n; ++i) {
            auto result = ScanOne(request.queries + i * request.dim, filter, params.parallel,
                                  request.topk, *request.resource);
            if (!result.IsOk()) return result.TakeStatus();
            request.Deliver(i, result.TakeValue(), results[i]);
        }
        return Status::Ok();
    }
    auto scanned = bruteforce::ScanBatchByProducts(
        {*_quantizerEvaluator, std::span<const float>(request.queries, request.n * request.dim),
         request.n, filter, _vectorIds, request.topk, params.parallel, *_executor,
         *request.resource});
    if (!scanned.IsOk()) return scanned.TakeStatus();
    for (uint64_t i = 0; i < request.n; ++i) {
        request.Deliver(i, std::move(scanned.Value()[i]), results[i]);
    }
    return Status::Ok();
}

Result<api::SearchResult> BruteforceSearcherBackend::SearchFiltered(
    const api::Query& query, const api::RowFilter& filter, const api::SearchOptions& options,
    std::pmr::memory_resource& resource) {
    return SearchWithFilter(query, filter, options, resource);
}

Status BruteforceSearcherBackend::Attach(api::ISearchExtension& extension) {
    if (extension.Name() != extensions::SearchWithFilterExtension::kName) {
        return Status(ErrorCode::NotSupported, "extension not supported by bruteforce searcher");
    }
    // The name is the extension type's promise; the cast checks it.
    auto* filterExtension = dynamic_cast<extensions::SearchWithFilterExtension*>(&extension);
    if (filterExtension == nullptr) {
        return Status(ErrorCode::NotSupported, "extension not supported by bruteforce searcher");
    }
    filterExtension->SetFunc([this](const api::Query& query, Filter filter,
                                    const api::SearchOptions& options,
                                    std::pmr::memory_resource& resource) {
        return SearchWithFilter(query, std::move(filter), options, resource);
    });
    return Status::Ok();
}

uint64_t BruteforceSearcherBackend::PreferredSliceRows() const {
    if (!_quantizerEvaluator) return 0;
    if (bruteforce::CanScanBatchByProducts(*_quantizerEvaluator)) {
        return bruteforce::kBatchQueryBlock;
    }
    return bruteforce::ScansBatchByRowBlocks(*_quantizerEvaluator) ? bruteforce::kBlockScanQueries
                                                                   : 0;
}

api::IndexInfo BruteforceSearcherBackend::GetMeta() const {
    api::IndexInfo info;
    if (!_vectorIds.empty()) {
        info.count = _vectorIds.size();
    } else if (_quantizerEvaluator) {
        info.count = _quantizerEvaluator->Count();
    }
    // Dimension 0 until opened, as the facade expects of every back end.
    info.dim = _quantizerEvaluator ? _dimension : 0;
    return info;
}

}  // namespace orvane::index
