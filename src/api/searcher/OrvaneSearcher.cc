#include "orvane/api/OrvaneSearcher.h"

#include "api/searcher/OrvaneSearcherImpl.h"
#include "orvane/io/FileReader.h"
#include "io/InputStream.h"

namespace orvane::api {

using core::ErrorCode;
using core::Result;
using core::Status;

namespace {

Status NoImpl() {
    return Status(ErrorCode::FailedPrecondition, "searcher has been moved from");
}

}  // namespace

Result<OrvaneSearcher> OrvaneSearcher::Create(const SearcherOptions& options,
                                              const core::MemoryResourceConfig& memoryConfig) {
    auto impl = Impl::Create(options, memoryConfig);
    if (!impl.IsOk()) return impl.TakeStatus();
    return OrvaneSearcher(impl.TakeValue());
}

Result<OrvaneSearcher> OrvaneSearcher::Create(const SearcherOptions& options) {
    return Create(options, core::MemoryResourceConfig());
}

OrvaneSearcher::OrvaneSearcher(std::unique_ptr<Impl> impl) : _p(std::move(impl)) {}
OrvaneSearcher::OrvaneSearcher(OrvaneSearcher&&) noexcept = default;
OrvaneSearcher& OrvaneSearcher::operator=(OrvaneSearcher&&) noexcept = default;
OrvaneSearcher::~OrvaneSearcher() = default;

Status OrvaneSearcher::Open(const IOOptions& ioOptions) {
    auto reader = io::CreateFileReader(ioOptions);
    if (!reader.IsOk()) return reader.TakeStatus();
    return Open(reader.TakeValue(), ioOptions);
}

Status OrvaneSearcher::Open(std::unique_ptr<io::FileReader> reader, const IOOptions& ioOptions) {
    if (!_p) return NoImpl();
    if (!reader) return Status(ErrorCode::InvalidArgument, "FileReader is null");
    auto stream = std::make_unique<io::InputStream>(std::move(reader));
    ORVANE_RETURN_IF_ERROR(stream->Open(ioOptions));
    return _p->Open(std::move(stream));
}

Result<SearchResult> OrvaneSearcher::Search(const Query& query, const SearchOptions& options) {
    if (!_p) return NoImpl();
    return _p->DoSearch(query, options);
}

Result<SearchResult> OrvaneSearcher::Search(const Query& query, const SearchOptions& options,
                                            std::pmr::memory_resource& resource) {
    if (!_p) return NoImpl();
    return _p->DoSearch(query, options, resource);
}

Status OrvaneSearcher::SearchBatch(const float* queries, uint64_t n, const SearchOptions& options,
                                   std::vector<SearchResult>& results, const RowFilter* filter) {
    if (!_p) return NoImpl();
    return _p->DoSearchBatch(queries, n, options, filter, _p->DefaultResource(), results);
}

IndexInfo OrvaneSearcher::GetMeta() const {
    return _p ? _p->GetMeta() : IndexInfo{};
}

Status OrvaneSearcher::Close() {
    return _p ? _p->Close() : NoImpl();
}

Status OrvaneSearcher::Attach(ISearchExtension& extension) {
    return _p ? _p->Attach(extension) : NoImpl();
}

}  // namespace orvane::api
