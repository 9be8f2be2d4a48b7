#include "index/demo/DemoSearcherBackend.h"

#include <algorithm>
#include <string>

#include "encoding/rawf32/RawF32EncodeSpace.h"
#include "index/common/BestK.h"
#include "index/demo/DemoIndexMeta.h"
#include "index/demo/DemoKind.h"
#include "io/InputStream.h"
#include "telemetry/Logger.h"

namespace orvane::index {

using core::ErrorCode;
using core::Result;
using core::Status;

core::Result<SearcherBackendPtr> CreateDemoSearcherBackend(
    api::dimension_t dimension, const api::SearcherOptions&,
    const core::MemoryResourceConfig& memory) {
    std::pmr::memory_resource* storage =
        memory.storage ? memory.storage.get() : std::pmr::get_default_resource();
    return SearcherBackendPtr(std::make_unique<DemoSearcherBackend>(dimension, storage));
}

Status DemoSearcherBackend::Open(io::InputStream& stream) {
    auto metaReader = stream.GetSectionReader(demo::kMetaSection);
    if (!metaReader.IsOk()) return metaReader.TakeStatus();
    demo::DemoIndexMeta meta;
    ORVANE_RETURN_IF_ERROR(metaReader.Value()->Read(
        0, sizeof(meta), std::span<char>(reinterpret_cast<char*>(&meta), sizeof(meta))));
    if (meta.dimension != _dimension) {
        ORVANE_LOG_ERROR("DemoSearcher dimension mismatch [%u] != [%u]", meta.dimension,
                         _dimension);
        return Status(ErrorCode::InvalidArgument, "DemoSearcher dimension mismatch");
    }
    auto vectorReader = stream.GetSectionReader(demo::kVectorSection);
    if (!vectorReader.IsOk()) return vectorReader.TakeStatus();
    const uint64_t floats = static_cast<uint64_t>(meta.count) * meta.dimension;
    // A damaged meta record must not make us allocate or read past the section.
    if (floats * sizeof(float) > vectorReader.Value()->SectionSize()) {
        return Status(ErrorCode::Corruption, "DemoSearcher vector section is too small");
    }
    _embeddings.resize(floats);
    ORVANE_LOG_INFO("DemoSearcher open dimension [%u], count [%zu]", meta.dimension,
                    static_cast<size_t>(meta.count));
    Status read = vectorReader.Value()->Read(
        0, floats * sizeof(float),
        std::span<char>(reinterpret_cast<char*>(_embeddings.data()), floats * sizeof(float)));
    if (!read.IsOk()) _embeddings.clear();
    return read;
}

Result<api::SearchResult> DemoSearcherBackend::Search(const api::Query& query,
                                                      const api::SearchOptions& options,
                                                      std::pmr::memory_resource& resource) {
    return api::ToSearchResult(SearchRow(
        query.data, static_cast<uint64_t>(std::max<int64_t>(0, options.GetInt("search.topk", 0))),
        resource));
}

Status DemoSearcherBackend::SearchBatch(const api::BatchSearchRequest& request,
                                        std::span<api::SearchResult> results) {
    if (request.filter != nullptr && request.filter->IsActive()) {
        return SearcherBackend::SearchBatch(request, results);
    }
    for (uint64_t i = 0; i < request.n; ++i) {
        request.Deliver(
            i, SearchRow(request.queries + i * request.dim, request.topk, *request.resource),
            results[i]);
    }
    return Status::Ok();
}

api::ScoredHits DemoSearcherBackend::SearchRow(const float* query, uint64_t topk,
                                               std::pmr::memory_resource& resource) const {
    const uint64_t count = _dimension == 0 ? 0 : _embeddings.size() / _dimension;
    std::pmr::monotonic_buffer_resource scratch(&resource);
    std::pmr::vector<float> distances(count, &scratch);
    using namespace dist;
    using namespace dist::encode_space;
    const auto prepared = TagInvoke(PrepareTag{}, MetricT<MetricE::l2>{}, RawF32T{},
                                    std::span<const float>(query, _dimension));
    TagInvoke(BatchEvalEncodedTag{}, MetricT<MetricE::l2>{}, RawF32T{}, prepared,
              RawF32Batch(_embeddings.data(), _dimension, count), distances.data());
    BestK<MetricE::l2> best(std::min(topk, count), &scratch);
    best.OfferBatch(distances.data(), 0, count);
    return TakeScoredHits(best, count);
}

Status DemoSearcherBackend::Attach(api::ISearchExtension& extension) {
    return Status(ErrorCode::NotSupported,
                  "extension " + std::string(extension.Name()) + " not supported by demo searcher");
}

api::IndexInfo DemoSearcherBackend::GetMeta() const {
    api::IndexInfo info;
    info.dim = _dimension;
    info.count = _dimension == 0 ? 0 : _embeddings.size() / _dimension;
    return info;
}

}  // namespace orvane::index
