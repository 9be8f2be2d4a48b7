#include "impl/searcher/OrvaneSearcherImpl.h"

#include <algorithm>
#include <functional>
#include <string>

#include "extensions/experimental/SearchWithFilterExtension.h"
#include "impl/index/IndexKindRegistry.h"
#include "impl/searcher/BatchSpreader.h"
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
// Rows one worker claims at a time: enough to read a kind's options once for
// many queries, few enough to keep the workers evenly loaded.
constexpr uint64_t kBatchSliceRows = 32;

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
    return SearchOne(query, options, nullptr, resource);
}

Result<SearchResult> OrvaneSearcher::Impl::SearchOne(const Query& query,
                                                     const SearchOptions& options,
                                                     const RowFilter* filter,
                                                     std::pmr::memory_resource& resource) {
    // The query's own size is checked here; a batch's rows have the index
    // dimension by construction.
    if (_opened && query.data != nullptr && _backend->GetMeta().dim != 0 &&
        query.size != _backend->GetMeta().dim) {
        return Status(ErrorCode::InvalidArgument, "query data size does not match index dimension");
    }
    auto plan = CheckCall(query.data, 1, options, filter, false);
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
    auto plan = CheckCall(queries, n, options, filter, true);
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
                                                                       bool nameRow) const {
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
    // Only the common search keys are checked here; kind-specific keys are
    // read by the back end.
    ORVANE_RETURN_IF_ERROR(schema::Validate(options, schema::kSearchOptionsSchema.View(),
                                            schema::UnknownKeyPolicy::kIgnore));
    CallPlan plan;
    plan.topk = static_cast<uint64_t>(options.GetInt("search.topk", 0));
    if (n > kMaxBatchResultSlots / plan.topk) {
        return Status(ErrorCode::InvalidArgument,
                      "n_queries x topk exceeds the result limit of 2^32 hits");
    }
    // A NaN or infinite query has no nearest neighbours; its hits would be arbitrary.
    if (auto row = util::FindNonFiniteRow(queries, n, meta.dim)) {
        std::string message = "query data holds a NaN or infinite value";
        if (nameRow) message += ": row " + std::to_string(*row);
        return Status(ErrorCode::InvalidArgument, std::move(message));
    }
    // Batch threads divided by the threads of one query, so the two together
    // never ask for more than the batch allows.
    const auto threads = static_cast<uint64_t>(options.GetInt(
        schema::fields::kBatchThreads.key.data(), util::ExecutorManager::DefaultThreadCount()));
    const auto perQuery = static_cast<uint64_t>(options.GetInt("search.parallel_number", 1));
    plan.workers = static_cast<uint32_t>(std::clamp<uint64_t>(threads / perQuery, 1, n));
    // A predicate not declared thread safe is called from one thread only.
    if (filter != nullptr && filter->IsActive() && !filter->HasList() &&
        !options.GetBool("search.thread_safe_filter", false)) {
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
    request.topk = plan.topk;
    request.filter = filter;
    request.options = &options;
    request.resource = &resource;

    // Several queries at once: each runs on one thread, so that no worker of
    // the search pool waits for a query's tasks queued to that same pool.
    SearchOptions single;
    std::shared_ptr<coro::Executor> executor;
    if (plan.workers > 1) {
        auto got = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Search);
        if (got.IsOk()) {
            executor = got.TakeValue();
            single = options;
            single.Values()["search.parallel_number"] = int64_t{1};
            request.options = &single;
        }
    }
    const uint64_t slice =
        std::clamp<uint64_t>(n / (uint64_t{plan.workers} * 4), 1, kBatchSliceRows);
    Status status = SpreadSlices(
        n, slice, executor ? plan.workers : 1, executor.get(), [&](uint64_t begin, uint64_t end) {
            BatchSearchRequest part = request;
            part.queries = queries + begin * dim;
            part.n = end - begin;
            return _backend->SearchBatch(part, results.subspan(begin, end - begin));
        });
    if (!status.IsOk()) return status;
    for (SearchResult& result : results) {
        if (result.topk.size() > plan.topk) result.topk.resize(plan.topk);
    }
    return Status::Ok();
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
            [this](const Query& query, extensions::SearchWithFilterExtension::Filter f,
                   const SearchOptions& options, std::pmr::memory_resource& resource) {
                return SearchOne(query, options, &f, resource);
            });
    }
    return Status::Ok();
}

}  // namespace orvane::api
