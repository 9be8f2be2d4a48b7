#include "index/ivf/IvfSearcherBackend.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "distance/MetricDispatchers.h"
#include "encoding/EncodingRegistry.h"
#include "encoding/QuantizerEvaluatorLoader.h"
#include "index/common/BestK.h"
#include "index/common/MetricBridge.h"
#include "index/ivf/IvfKind.h"
#include "index/ivf/IvfOptions.h"
#include "index/ivf/IvfRowGather.h"
#include "io/InputStream.h"
#include "isa/DynamicIsa.h"
#include "schema/OptionValidators.h"
#include "telemetry/Logger.h"

namespace orvane::index {

core::Result<SearcherBackendPtr> CreateIvfSearcherBackend(
    api::dimension_t dimension, const api::SearcherOptions&,
    const core::MemoryResourceConfig& memory) {
    return SearcherBackendPtr(std::make_unique<ivf::IvfSearcherBackend>(dimension, memory));
}

}  // namespace orvane::index

namespace orvane::index::ivf {

using core::ErrorCode;
using core::Result;
using core::Status;
using dist::MetricE;
using dist::encode_space::EncodingE;
using SectionReaderPtr = std::shared_ptr<io::InputStream::SectionReader>;

namespace {

Status Corruption(const char* message) {
    return Status(ErrorCode::Corruption, message);
}

// Reads a whole section payload of `bytes` bytes into `out` (bytes / sizeof(T)
// elements; the caller checked the size).
template <typename T>
Status ReadPayload(const SectionReaderPtr& reader, uint64_t bytes, std::pmr::vector<T>& out) {
    return reader->ReadArray(0, bytes / sizeof(T), out);
}

// Whether `count` u64 entries starting at byte `offset` lie within `payload`
// bytes. Written so that no sum or product can wrap.
bool SpanFits(uint64_t offset, uint64_t count, uint64_t payload) {
    return offset <= payload && count <= (payload - offset) / sizeof(uint64_t);
}

// The entries of a u64 payload from byte `offset` (rounded down to a whole
// entry) on; the caller checked SpanFits.
std::span<const uint64_t> EntriesAt(const std::pmr::vector<uint64_t>& storage, uint64_t offset,
                                    uint64_t count) {
    return std::span<const uint64_t>(storage.data() + offset / sizeof(uint64_t), count);
}

// `search.topk` as the scan takes it: more hits than rows cannot come back, so
// a k beyond 32 bits (or a negative one, which the facade refuses) asks for
// every row scanned instead of being wrapped.
uint32_t ScanTopk(int64_t topk) {
    return topk < 0 || topk > int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<uint32_t>(topk);
}

}  // namespace

IvfSearcherBackend::IvfSearcherBackend(dist::dimension_t dimension,
                                       const core::MemoryResourceConfig& resources)
    : _resources(core::Normalize(resources)),
      _storageResource(*_resources.storage),
      _instantResource(*_resources.instant),
      _configuredDim(dimension),
      _centroids(&_storageResource),
      _dir(&_storageResource),
      _rowIdStorage(&_storageResource),
      _idsStorage(&_storageResource),
      _listStart(&_storageResource),
      _rowIdCopy(&_storageResource),
      _rowLocator(&_storageResource) {
    _meta.dim = dimension;
}

// Everything loaded draws from the resources this object keeps alive.
IvfSearcherBackend::~IvfSearcherBackend() {
    Reset();
}

void IvfSearcherBackend::Reset() {
    _quantizerEvaluator.reset();
    _lists.clear();
    _centroids = std::pmr::vector<float>(&_storageResource);
    _dir = std::pmr::vector<ListDirEntry>(&_storageResource);
    _rowIdStorage = std::pmr::vector<uint64_t>(&_storageResource);
    _idsStorage = std::pmr::vector<uint64_t>(&_storageResource);
    _listStart = std::pmr::vector<uint64_t>(&_storageResource);
    _longestList = 0;
    _idOfRow = {};
    _rowIdCopy = std::pmr::vector<uint64_t>(&_storageResource);
    _rowLocator.Clear();
    _meta = IndexMeta{};
    _meta.dim = _configuredDim;
}

Status IvfSearcherBackend::Open(io::InputStream& stream) {
    Reset();
    Status st = DoOpen(stream);
    if (!st.IsOk()) Reset();
    return st;
}

Status IvfSearcherBackend::DoOpen(io::InputStream& stream) {
    ORVANE_RETURN_IF_ERROR(LoadMeta(stream));
    ORVANE_RETURN_IF_ERROR(LoadCentroids(stream));
    ORVANE_RETURN_IF_ERROR(LoadListDir(stream));
    ORVANE_RETURN_IF_ERROR(LoadQuantizer(stream));

    auto rowIds = stream.GetSectionReader(kRowIdsSection);
    if (!rowIds.IsOk()) return rowIds.TakeStatus();
    const uint64_t rowBytes = rowIds.Value()->SectionPayloadSize();
    if (rowBytes % sizeof(uint64_t) != 0) return Corruption("rowid section misaligned");
    ORVANE_RETURN_IF_ERROR(ReadPayload(rowIds.Value(), rowBytes, _rowIdStorage));

    auto ids = stream.GetSectionReader(kIdsSection);
    if (!ids.IsOk()) return ids.TakeStatus();
    const uint64_t idsBytes = ids.Value()->SectionPayloadSize();
    if (idsBytes % sizeof(uint64_t) != 0) return Corruption("ids section misaligned");
    ORVANE_RETURN_IF_ERROR(ReadPayload(ids.Value(), idsBytes, _idsStorage));

    ORVANE_RETURN_IF_ERROR(LoadList());
    return ArrangeLists();
}

Status IvfSearcherBackend::LoadMeta(io::InputStream& stream) {
    auto reader = stream.GetSectionReader(kMetaSection);
    if (!reader.IsOk()) return reader.TakeStatus();
    if (reader.Value()->SectionPayloadSize() != sizeof(IndexMeta)) {
        return Corruption("meta section payload size mismatch");
    }
    IndexMeta meta;
    ORVANE_RETURN_IF_ERROR(reader.Value()->Read(
        0, sizeof(meta), std::span<char>(reinterpret_cast<char*>(&meta), sizeof(meta))));
    if (meta.version != kIvfFormatVersion) {
        return Status(ErrorCode::NotSupported, "ivf meta version mismatch");
    }
    if (meta.dim == 0 || meta.numLists == 0) return Corruption("invalid meta");
    if (meta.dim != _configuredDim) {
        ORVANE_LOG_ERROR("IvfSearcherBackend dimension mismatch [%u] != [%u]", _configuredDim,
                         meta.dim);
        return Corruption("IvfSearcherBackend dimension mismatch");
    }
    if (meta.metric != static_cast<uint32_t>(MetricE::l2)) {
        return Status(ErrorCode::NotSupported, "ivf currently supports L2 only");
    }
    if (quantizer::FindEncoding(static_cast<EncodingE>(meta.encoding)) == nullptr) {
        return Corruption("invalid encoding in meta");
    }
    _meta = meta;
    _metric = static_cast<MetricE>(meta.metric);
    _encoding = static_cast<EncodingE>(meta.encoding);
    return Status::Ok();
}

Status IvfSearcherBackend::LoadCentroids(io::InputStream& stream) {
    auto reader = stream.GetSectionReader(kCentroidsSection);
    if (!reader.IsOk()) return reader.TakeStatus();
    // numLists * dim < 2^64; the byte count is compared by division so it cannot wrap.
    const uint64_t floats = uint64_t{_meta.numLists} * _meta.dim;
    const uint64_t bytes = reader.Value()->SectionPayloadSize();
    if (bytes % sizeof(float) != 0 || bytes / sizeof(float) != floats) {
        return Corruption("centroid size mismatch");
    }
    return ReadPayload(reader.Value(), bytes, _centroids);
}

Status IvfSearcherBackend::LoadListDir(io::InputStream& stream) {
    auto reader = stream.GetSectionReader(kListDirSection);
    if (!reader.IsOk()) return reader.TakeStatus();
    const uint64_t bytes = reader.Value()->SectionPayloadSize();
    if (bytes != uint64_t{_meta.numLists} * sizeof(ListDirEntry)) {
        return Corruption("list dir size mismatch");
    }
    return ReadPayload(reader.Value(), bytes, _dir);
}

Status IvfSearcherBackend::LoadQuantizer(io::InputStream& stream) {
    auto reader = stream.GetSectionReader(kQuantizerSection);
    if (!reader.IsOk()) return reader.TakeStatus();
    _quantizerEvaluator = quantizer::LoadQuantizerEvaluator(reader.Value(), _instantResource);
    if (!_quantizerEvaluator) {
        return Status(ErrorCode::FailedPrecondition, "quantizer evaluator is null");
    }
    if (_quantizerEvaluator->Dimension() != _meta.dim ||
        _quantizerEvaluator->Count() != _meta.count) {
        return Corruption("quantizer meta mismatch with index meta");
    }
    return _quantizerEvaluator->Open(reader.Value());
}

Status IvfSearcherBackend::LoadList() {
    const uint64_t rowBytes = _rowIdStorage.size() * sizeof(uint64_t);
    const uint64_t idsBytes = _idsStorage.size() * sizeof(uint64_t);
    const uint64_t count = _quantizerEvaluator->Count();
    std::vector<ListView> lists(_meta.numLists);
    uint64_t total = 0;
    for (size_t i = 0; i < _dir.size(); ++i) {
        const ListDirEntry& e = _dir[i];
        if (!SpanFits(e.rowOffset, e.rowCount, rowBytes)) {
            return Corruption("row offset out of range");
        }
        if (!SpanFits(e.idsOffset, e.idsCount, idsBytes)) {
            return Corruption("ids offset out of range");
        }
        // Row i of a list is scored under id i; the two spans must pair up.
        if (e.rowCount != e.idsCount) return Corruption("list row count differs from ids count");
        lists[i].rowIds = EntriesAt(_rowIdStorage, e.rowOffset, e.rowCount);
        lists[i].ids = EntriesAt(_idsStorage, e.idsOffset, e.idsCount);
        // Each rowCount is below 2^61, so the sum cannot wrap before exceeding count.
        total += e.rowCount;
        if (total > count) return Corruption("quantizer count mismatch");
    }
    if (total != count) return Corruption("quantizer count mismatch");
    ORVANE_RETURN_IF_ERROR(CheckPartition(lists, count));
    _lists = std::move(lists);
    return Status::Ok();
}

Status IvfSearcherBackend::CheckPartition(const std::vector<ListView>& lists,
                                          uint64_t count) const {
    // The lists partition the rows: every row position and every id slot
    // belongs to exactly one list (else a row is scored, and returned, twice).
    std::vector<bool> rowSeen(count);
    std::vector<bool> idSeen(_idsStorage.size());
    for (const ListView& list : lists) {
        // A position beyond the vectors would fail every search through this list.
        for (const uint64_t row : list.rowIds) {
            if (row >= count) return Corruption("row position out of range");
            if (rowSeen[row]) return Corruption("row position in more than one list");
            rowSeen[row] = true;
        }
        if (list.ids.empty()) continue;
        const auto first = static_cast<uint64_t>(list.ids.data() - _idsStorage.data());
        for (uint64_t slot = first; slot < first + list.ids.size(); ++slot) {
            if (idSeen[slot]) return Corruption("id slot in more than one list");
            idSeen[slot] = true;
        }
    }
    return Status::Ok();
}

Status IvfSearcherBackend::ArrangeLists() {
    std::pmr::vector<uint64_t> order(&_instantResource);
    order.reserve(_quantizerEvaluator->Count());
    _listStart.assign(1, 0);
    for (const ListView& list : _lists) {
        order.insert(order.end(), list.rowIds.begin(), list.rowIds.end());
        _listStart.push_back(order.size());
        _longestList = std::max<uint64_t>(_longestList, list.rowIds.size());
    }
    ORVANE_RETURN_IF_ERROR(GatherRows(*_quantizerEvaluator, order, _instantResource));
    IndexRowIds();
    return Status::Ok();
}

void IvfSearcherBackend::IndexRowIds() {
    bool inListOrder = _idsStorage.size() >= _listStart.back();
    for (size_t j = 0; j < _lists.size() && inListOrder; ++j) {
        inListOrder =
            _lists[j].ids.empty() || _lists[j].ids.data() == _idsStorage.data() + _listStart[j];
    }
    if (inListOrder) {
        _idOfRow = std::span<const uint64_t>(_idsStorage.data(), _listStart.back());
    } else {
        _rowIdCopy.clear();
        _rowIdCopy.reserve(_listStart.back());
        for (const ListView& list : _lists) {
            _rowIdCopy.insert(_rowIdCopy.end(), list.ids.begin(), list.ids.end());
        }
        _idOfRow = _rowIdCopy;
    }
    _rowLocator.Build(_idOfRow);
}

Result<IvfSearcherBackend::SearchParams> IvfSearcherBackend::ReadSearchParams(
    const api::SearchOptions& options) const {
    if (_meta.dim == 0 || _lists.empty()) {
        return Status(ErrorCode::FailedPrecondition, "ivf searcher not opened");
    }
    const auto topk = options.Values().find("search.topk");
    if (topk == options.Values().end() || !std::holds_alternative<int64_t>(topk->second)) {
        return Status(ErrorCode::InvalidArgument, "topk is missing");
    }
    auto parsed = IvfSearchParams::Parse(options);
    if (!parsed.IsOk()) return parsed.TakeStatus();
    SearchParams params;
    params.nprobe = parsed.Value().ListsToScan(_meta.numLists);
    if (params.nprobe == 0) return Status(ErrorCode::InvalidArgument, "Option nprobe must be > 0");
    params.topk = ScanTopk(std::get<int64_t>(topk->second));
    return params;
}

Status IvfSearcherBackend::ParseSearchParams(const api::SearchOptions& options, bool,
                                             api::KindSearchParams& out) const {
    auto params = IvfSearchParams::Parse(options);
    if (!params.IsOk()) return params.TakeStatus();
    out.Put(params.Value());
    return Status::Ok();
}

Result<api::SearchResult> IvfSearcherBackend::Search(const api::Query& query,
                                                     const api::SearchOptions& options,
                                                     std::pmr::memory_resource& resource) {
    auto params = ReadSearchParams(options);
    if (!params.IsOk()) return params.TakeStatus();
    if (query.data == nullptr || query.size != _meta.dim) {
        return Status(ErrorCode::InvalidArgument, "query data size does not match index dimension");
    }
    auto hits = WithMetric(_quantizerEvaluator->Metric(), [&](auto tag) {
        return SearchLists<decltype(tag)::Value>(query.data, params.Value().topk,
                                                 params.Value().nprobe, resource);
    });
    if (!hits.IsOk()) return hits.TakeStatus();
    return api::ToSearchResult(hits.TakeValue());
}

Status IvfSearcherBackend::SearchBatch(const api::BatchSearchRequest& request,
                                       std::span<api::SearchResult> results) {
    if (request.filter != nullptr && request.filter->IsActive()) {
        return SearchBatchFiltered(request, results);
    }
    if (_meta.dim == 0 || _lists.empty()) {
        return Status(ErrorCode::FailedPrecondition, "ivf searcher not opened");
    }
    // A request made without the facade carries no parsed parameters.
    IvfSearchParams params;
    if (const auto* parsed = request.params.Find<IvfSearchParams>()) {
        params = *parsed;
    } else {
        auto read = IvfSearchParams::Parse(*request.options);
        if (!read.IsOk()) return read.TakeStatus();
        params = read.Value();
    }
    if (request.n > 0 && (request.queries == nullptr || request.dim != _meta.dim)) {
        return Status(ErrorCode::InvalidArgument, "query data size does not match index dimension");
    }
    const uint32_t k = ScanTopk(static_cast<int64_t>(std::min<uint64_t>(request.topk, INT64_MAX)));
    if (request.n > 1 && ScansBatchByLists()) {
        const uint32_t nprobe = params.ListsToScan(_meta.numLists);
        if (nprobe == 0) return Status(ErrorCode::InvalidArgument, "Option nprobe must be > 0");
        // A block holds the scores of all its queries' lists: fewer queries a
        // block when each probes many rows, so that the scores stay within
        // kBatchScoreBudget floats however large nprobe and the lists are.
        const uint64_t rowsPerQuery =
            std::max<uint64_t>(1, uint64_t{std::min(nprobe, _meta.numLists)} * _longestList);
        const uint64_t block =
            std::clamp<uint64_t>(kBatchScoreBudget / rowsPerQuery, 1, kBatchQueryBlock);
        for (uint64_t first = 0; first < request.n; first += block) {
            const uint64_t count = std::min<uint64_t>(block, request.n - first);
            ORVANE_RETURN_IF_ERROR(SearchBlockByLists(request, first, count, k, nprobe, results));
        }
        return Status::Ok();
    }
    for (uint64_t i = 0; i < request.n; ++i) {
        auto result = SearchOne(request.queries + i * request.dim, k, params, *request.resource);
        if (!result.IsOk()) return result.TakeStatus();
        request.Deliver(i, result.TakeValue(), results[i]);
    }
    return Status::Ok();
}

Result<api::ScoredHits> IvfSearcherBackend::SearchOne(const float* query, uint32_t topk,
                                                      const IvfSearchParams& params,
                                                      std::pmr::memory_resource& resource) const {
    const uint32_t nprobe = params.ListsToScan(_meta.numLists);
    if (nprobe == 0) return Status(ErrorCode::InvalidArgument, "Option nprobe must be > 0");
    return WithMetric(_quantizerEvaluator->Metric(), [&](auto tag) {
        return SearchLists<decltype(tag)::Value>(query, topk, nprobe, resource);
    });
}

std::pmr::vector<IvfSearcherBackend::RankedList> IvfSearcherBackend::RankLists(
    std::span<const float> q, uint32_t ordered, std::pmr::memory_resource& scratch) const {
    const uint32_t numLists = _meta.numLists;
    std::pmr::vector<float> centroidDist(numLists, &scratch);
    isa::InvokeWithDynamicIsa(dist::L2BatchDispatcher{}, q.data(), _centroids.data(), _meta.dim,
                              uint64_t{numLists}, centroidDist.data());
    std::pmr::vector<RankedList> lists(numLists, &scratch);
    for (uint32_t i = 0; i < numLists; ++i) lists[i] = {centroidDist[i], i};
    const uint32_t m = std::min(numLists, ordered);
    std::partial_sort(lists.begin(), lists.begin() + m, lists.end());
    return lists;
}

void IvfSearcherBackend::OrderRest(std::pmr::vector<RankedList>& lists, uint32_t ordered) {
    std::sort(lists.begin() + std::min<size_t>(ordered, lists.size()), lists.end());
}

template <MetricE M>
Result<api::ScoredHits> IvfSearcherBackend::SearchLists(const float* query, uint32_t topk,
                                                        uint32_t nprobe,
                                                        std::pmr::memory_resource& resource) const {
    std::pmr::monotonic_buffer_resource scratch(&resource);
    const std::span<const float> q(query, _meta.dim);

    // The nprobe nearest centroids, nearest first.
    const std::pmr::vector<RankedList> nearest = RankLists(q, nprobe, scratch);
    const uint32_t m = std::min(_meta.numLists, nprobe);

    auto prepared = _quantizerEvaluator->PrepareQuery(q);
    if (!prepared.IsOk()) return prepared.TakeStatus();

    uint64_t scanned = 0;
    uint64_t longest = 0;
    for (uint32_t j = 0; j < m; ++j) {
        const uint64_t rows = _lists[nearest[j].second].ids.size();
        scanned += rows;
        longest = std::max(longest, rows);
    }
    std::pmr::vector<float> scores(longest, &scratch);
    BestK<M> best(std::min<uint64_t>(topk, scanned), &scratch);
    for (uint32_t j = 0; j < m; ++j) {
        const uint32_t list = nearest[j].second;
        const std::span<const uint64_t> ids = _lists[list].ids;
        const std::span<float> out(scores.data(), ids.size());
        const ErrorCode code =
            _quantizerEvaluator->RangeEval(*prepared.Value(), _listStart[list], out);
        if (code != ErrorCode::Ok) return Status(code, "quantizer batch eval failed");
        for (size_t i = 0; i < ids.size(); ++i) best.Offer(ids[i], out[i]);
    }

    return TakeScoredHits(best, scanned);
}

api::IndexInfo IvfSearcherBackend::GetMeta() const {
    return api::IndexInfo{_meta.count, _meta.dim};
}

}  // namespace orvane::index::ivf
