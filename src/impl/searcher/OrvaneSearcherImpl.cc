#include "impl/searcher/OrvaneSearcherImpl.h"

#include <string>

#include "impl/index/IndexKindRegistry.h"
#include "io/InputStream.h"
#include "schema/OptionValidation.h"
#include "schema/SchemaCatalog.h"
#include "schema/SchemaTables.h"
#include "telemetry/Logger.h"

namespace orvane::api {

using core::ErrorCode;
using core::Result;
using core::Status;

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

Result<SearchResult> OrvaneSearcher::Impl::DoSearch(const Query& query,
                                                    const SearchOptions& options) {
    std::pmr::memory_resource* resource = _memoryConfig.instant ? _memoryConfig.instant.get()
                                          : _memoryConfig.storage
                                              ? _memoryConfig.storage.get()
                                              : std::pmr::get_default_resource();
    return DoSearch(query, options, *resource);
}

Result<SearchResult> OrvaneSearcher::Impl::DoSearch(const Query& query,
                                                    const SearchOptions& options,
                                                    std::pmr::memory_resource& resource) {
    if (!_opened) {
        return Status(ErrorCode::FailedPrecondition, "searcher not opened (dimension is zero)");
    }
    const IndexInfo meta = _backend->GetMeta();
    if (meta.dim == 0) {
        return Status(ErrorCode::FailedPrecondition,
                      "searcher dimension is zero, did you call open()?");
    }
    if (query.data == nullptr) return Status(ErrorCode::InvalidArgument, "query data is null");
    if (query.size != meta.dim) {
        return Status(ErrorCode::InvalidArgument, "query data size does not match index dimension");
    }
    // Only the common search keys are checked here; kind-specific keys are
    // read by the back end.
    ORVANE_RETURN_IF_ERROR(schema::Validate(options, schema::kSearchOptionsSchema.View(),
                                            schema::UnknownKeyPolicy::kIgnore));
    auto result = _backend->Search(query, options, resource);
    if (!result.IsOk()) return result;
    const auto topk = static_cast<uint64_t>(options.GetInt("search.topk", 0));
    auto& hits = result.Value().topk;
    if (hits.size() > topk) hits.resize(topk);
    return result;
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
    return _backend->Attach(extension);
}

}  // namespace orvane::api
