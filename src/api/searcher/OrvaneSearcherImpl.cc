#include "api/searcher/OrvaneSearcherImpl.h"

#include <algorithm>
#include <functional>
#include <string>

#include "orvane/extensions/SearchWithFilterExtension.h"
#include "index/IndexKindRegistry.h"
#include "api/searcher/BatchSpreader.h"
#include "io/InputStream.h"
#include "schema/OptionValidation.h"
#include "schema/SchemaCatalog.h"
#include "schema/SchemaTables.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"
#include "util/FiniteCheck.h"

namespace orvane::api {

using core::ErrorCode;
using core::Result;
using core::Status;

namespace {

// Largest n x topk of one call: the result lists of a larger call would not
// fit in memory anyway.
constexpr uint64_t kMaxBatchResultSlots = uint64_t{1} << 32;

// Option keys longer than a short string, made once rather than per call.
const std::string& BatchThreadsKey() {
    static const std::string key(schema::fields::kBatchThreads.key);
    return key;
}
const std::string& ParallelKey() {
    static const std::string key(schema::fields::kParallelNumber.key);
    return key;
}
const std::string& ThreadSafeFilterKey() {
    static const std::string key(schema::fields::kThreadSafeFilter.key);
    return key;
}

}  // namespace

Result<std::unique_ptr<OrvaneSearcher::Impl>> OrvaneSearcher::Impl::Create(
    const SearcherOptions& options, const core::MemoryResourceConfig& memoryConfig) {
    auto typeIt = options.Values().find("index.type");
    if (typeIt == options.Values().end() || !std::holds_alternative<std::string>(typeIt->second)) {
        return Status(ErrorCode::InvalidArgument, "index.type is required");
    }
    const std::string& type = std::get<std::string>(typeIt->second);
    ORVANE_RETURN_IF_ERROR(schema::Validate(options, schema::LookupSearcherSchema(type),
                                            schema::UnknownKeyPolicy::kLogAndIgnore));
    auto dim = schema::ReadIndexDimension(options.Values());
    if (!dim.IsOk()) return dim.TakeStatus();
    core::MemoryResourceConfig normalized = core::Normalize(memoryConfig);
    const index::IndexKindDescriptor* kind = index::FindIndexKind(type);
    if (kind == nullptr) {
        return Status(ErrorCode::NotFound, "no backend for preset: " + type);
    }
    auto backend = kind->createSearcher(dim.Value(), options, normalized);
    if (!backend.IsOk()) return backend.TakeStatus();
    return std::make_unique<Impl>(backend.TakeValue(), std::move(normalized));
}

OrvaneSearcher::Impl::Impl(std::unique_ptr<Backend> backend,
                           core::MemoryResourceConfig memoryConfig)
    : _backend(std::move(backend)), _memoryConfig(std::move(memoryConfig)) {}

OrvaneSearcher::Impl::~Impl() {
    ORVANE_LOG_INFO("Closing OrvaneSearcher::Impl.");
    if (_opened) {
        ORVANE_LOG_WARN("Should close searcher before destruction.");
        Status closed = Close();
        if (!closed.IsOk()) {
            ORVANE_LOG_ERROR("OrvaneSearcher::Impl close failed: code=[%d] msg=[%s]",
                             static_cast<int>(closed.Code()), closed.Message().c_str());
        }
    }
    _inputStream.reset();
    _memoryConfig = core::MemoryResourceConfig();
    _backend.reset();
}

Status OrvaneSearcher::Impl::Open(std::unique_ptr<io::InputStream> stream) {
    if (_opened) return Status(ErrorCode::Unavailable, "searcher already opened");
    Status opened = _backend->Open(*stream);
    if (!opened.IsOk()) {
        Status closed = stream->Close();
        return closed.IsOk() ? opened : closed;
    }
    _inputStream = std::move(stream);
    _opened = true;
    return Status::Ok();
}

std::pmr::memory_resource& OrvaneSearcher::Impl::DefaultResource() const {
    if (_memoryConfig.instant) return *_memoryConfig.instant;
    if (_memoryConfig.storage) return *_memoryConfig.storage;
    return *std::pmr::get_default_resource();
}

Result<SearchResult> OrvaneSearcher::Impl::DoSearch(const Query& query,
                                                    const SearchOptions& options) {
    return DoSearch(query, options, DefaultResource());
}

Result<SearchResult> OrvaneSearcher::Impl::DoSearch(const Query& query,
                                                    const SearchOptions& options,
                                                    std::pmr::memory_resource& resource) {
    return SearchOne(query, options, nullptr, Entry::kSingle, resource);
}

Result<SearchResult> OrvaneSearcher::Impl::SearchOne(const Query& query,
                                                     const SearchOptions& options,
                                                     const RowFilter* filter, Entry entry,
                                                     std::pmr::memory_resource& resource) {
    // The query's own size is checked here; a batch's rows have the index
    // dimension by construction.
    if (_opened && query.data != nullptr && _backend->GetMeta().dim != 0 &&
        query.size != _backend->GetMeta().dim) {
        return Status(ErrorCode::InvalidArgument, "query data size does not match index dimension");
    }
    auto plan = CheckCall(query.data, 1, options, filter, entry);
    if (!plan.IsOk()) return plan.TakeStatus();
    SearchResult result;
    ORVANE_RETURN_IF_ERROR(RunCall(query.data, 1, plan.Value(), options, filter, resource,
                                   std::span<SearchResult>(&result, 1)));
    return result;
}

Status OrvaneSearcher::Impl::DoSearchBatch(const float* queries, uint64_t n,
                                           const SearchOptions& options, const RowFilter* filter,
                                           std::pmr::memory_resource& resource,
                                           std::vector<SearchResult>& results) {
    results.clear();
    auto plan = CheckCall(queries, n, options, filter, Entry::kBatch);
    if (!plan.IsOk()) return plan.TakeStatus();
    if (n == 0) return Status::Ok();
    results.resize(n);
    Status status = RunCall(queries, n, plan.Value(), options, filter, resource, results);
    if (!status.IsOk()) results.clear();
    return status;
}

Result<OrvaneSearcher::Impl::CallPlan> OrvaneSearcher::Impl::CheckCall(const float* queries,
                                                                       uint64_t n,
                                                                       const SearchOptions& options,
                                                                       const RowFilter* filter,
                                                                       Entry entry) const {
    if (!_opened) {
        return Status(ErrorCode::FailedPrecondition, "searcher not opened (dimension is zero)");
    }
    const IndexInfo meta = _backend->GetMeta();
    if (meta.dim == 0) {
        return Status(ErrorCode::FailedPrecondition,
                      "searcher dimension is zero, did you call open()?");
    }
    if (queries == nullptr && n > 0) {
        return Status(ErrorCode::InvalidArgument, "query data is null");
    }
    // A NaN or infinite query has no nearest neighbours; its hits would be
    // arbitrary. A batch is scanned only once its size is known to be sane.
    auto finite = [&]() -> Status {
        auto row = util::FindNonFiniteRow(queries, n, meta.dim);
        if (!row) return Status::Ok();
        std::string message = "query data holds a NaN or infinite value";
        if (entry == Entry::kBatch) message += ": row " + std::to_string(*row);
        return Status(ErrorCode::InvalidArgument, std::move(message));
    };
    CallPlan plan;
    if (entry != Entry::kBatch) ORVANE_RETURN_IF_ERROR(finite());
    if (entry == Entry::kExtension) {
        // The filtering back ends check and honour the extension's options
        // themselves, with their own messages.
        return plan;
    }
    // Only the common search keys are checked here; kind-specific keys are
    // read by the back end.
    ORVANE_RETURN_IF_ERROR(schema::Validate(options, schema::kSearchOptionsSchema.View(),
                                            schema::UnknownKeyPolicy::kIgnore));
    plan.topk = static_cast<uint64_t>(options.GetInt("search.topk", 0));
    if (n > kMaxBatchResultSlots / plan.topk) {
        return Status(ErrorCode::InvalidArgument,
                      "n_queries x topk exceeds the result limit of 2^32 hits");
    }
    if (entry == Entry::kBatch) ORVANE_RETURN_IF_ERROR(finite());
    // Batch threads divided by the threads of one query, so the two together
    // never ask for more than the batch allows.
    const auto threads = static_cast<uint64_t>(
        options.GetInt(BatchThreadsKey(), util::ExecutorManager::DefaultThreadCount()));
    const auto perQuery =
        static_cast<uint64_t>(std::max<int64_t>(options.GetInt(ParallelKey(), 1), 1));
    plan.workers = static_cast<uint32_t>(
        std::clamp<uint64_t>(threads / perQuery, 1, std::max<uint64_t>(n, 1)));
    // A predicate not declared thread safe is called from one thread only.
    if (filter != nullptr && filter->IsActive() && !filter->HasList() &&
        !options.GetBool(ThreadSafeFilterKey(), false)) {
        plan.workers = 1;
    }
    return plan;
}

Status OrvaneSearcher::Impl::RunCall(const float* queries, uint64_t n, const CallPlan& plan,
                                     const SearchOptions& options, const RowFilter* filter,
                                     std::pmr::memory_resource& resource,
                                     std::span<SearchResult> results) {
    const uint32_t dim = _backend->GetMeta().dim;
    BatchSearchRequest request;
    request.queries = queries;
    request.n = n;
    request.dim = dim;
    // A filter extension's call is not cut by the facade, but its back end
    // still searches for the `search.topk` the options ask for.
    request.topk =
        plan.topk != 0
            ? plan.topk
            : static_cast<uint64_t>(std::max<int64_t>(options.GetInt("search.topk", 0), 0));
    request.filter = filter;
    request.options = &options;
    request.resource = &resource;
    // The rows' statistics, written into the caller's maps once the call is done.
    SearchStats oneRow;
    std::vector<SearchStats> rows;
    if (n == 1) {
        request.stats = &oneRow;
    } else {
        rows.resize(n);
        request.stats = rows.data();
    }

    // Several queries at once: each runs on one thread, so that no worker of
    // the search pool waits for a query's tasks queued to that same pool.
    SearchOptions single;
    std::shared_ptr<coro::Executor> executor;
    if (plan.workers > 1) {
        auto got = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Search);
        if (got.IsOk()) {
            executor = got.TakeValue();
            single = options;
            single.Values()[ParallelKey()] = int64_t{1};
            request.options = &single;
        }
    }
    // The kind's own keys, read once for every slice of the call.
    const bool filtered = filter != nullptr && filter->IsActive();
    ORVANE_RETURN_IF_ERROR(_backend->ParseSearchParams(*request.options, filtered, request.params));
    // Each slice cuts its rows to `search.topk` and writes their statistics
    // itself, so no part of the call but the checks runs on one thread alone.
    auto searchRows = [&](uint64_t begin, uint64_t end) -> Status {
        BatchSearchRequest part = request;
        part.queries = queries + begin * dim;
        part.n = end - begin;
        part.stats = request.stats + begin;
        const std::span<SearchResult> rowsOut = results.subspan(begin, end - begin);
        ORVANE_RETURN_IF_ERROR(_backend->SearchBatch(part, rowsOut));
        for (uint64_t i = 0; i < part.n; ++i) {
            SearchResult& result = rowsOut[i];
            if (plan.topk != 0 && result.topk.size() > plan.topk) result.topk.resize(plan.topk);
            if (part.stats[i].counted) WriteSearchStats(part.stats[i], result);
        }
        return Status::Ok();
    };
    if (!executor) return searchRows(0, n);
    return SpreadSlices(n, BatchSliceRows(n, plan.workers, _backend->PreferredSliceRows()),
                        plan.workers, executor.get(), searchRows);
}

Status OrvaneSearcher::Impl::Close() {
    if (!_opened) return Status::Ok();
    ORVANE_RETURN_IF_ERROR(_inputStream->Close());
    _opened = false;
    return Status::Ok();
}

Status OrvaneSearcher::Impl::Attach(ISearchExtension& extension) {
    if (!_opened) {
        return Status(ErrorCode::FailedPrecondition,
                      "searcher not opened (searcher should be opened before attach to extension)");
    }
    ORVANE_RETURN_IF_ERROR(_backend->Attach(extension));
    // The filter extension searches through the facade, so a filtered query
    // gets the same checks as a plain one.
    if (auto* filtered = dynamic_cast<extensions::SearchWithFilterExtension*>(&extension)) {
        filtered->SetFunc(
            [this](const Query& query, api::RowFilter f,
                   const SearchOptions& options, std::pmr::memory_resource& resource) {
                return SearchOne(query, options, &f, Entry::kExtension, resource);
            });
    }
    return Status::Ok();
}

}  // namespace orvane::api
