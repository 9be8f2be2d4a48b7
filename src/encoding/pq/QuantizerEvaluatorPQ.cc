#include "encoding/pq/QuantizerEvaluatorPQ.h"

#include <algorithm>

#include "encoding/pq/PQStreamReader.h"
#include "telemetry/Logger.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;
using dist::MetricE;
using dist::encode_space::EncodedRow;
using dist::encode_space::EncodingE;
using dist::encode_space::PQGlobalHeader;
using dist::encode_space::PQT;
using dist::encode_space::PreparedPQ;

template <MetricE M>
requires dist::encode_space::PQMetric<M> QuantizerEvaluator<M, EncodingE::pq>::QuantizerEvaluator(
    std::pmr::memory_resource& resource, const QuantizerMeta& meta)
    : QuantizerEvaluatorBase(resource, meta),
      _chunkOffsets(&resource),
      _codebooks(&resource),
      _codebooksByComponent(&resource),
      _codes(&resource),
      _rotationMatrix(&resource) {}

template <MetricE M>
requires dist::encode_space::PQMetric<M> Status QuantizerEvaluator<M, EncodingE::pq>::DoLoad(
    const std::shared_ptr<SectionReader>& reader, uint64_t offset, uint64_t& cursor) {
    if (_meta.encodingType != EncodingE::pq) {
        return Status(ErrorCode::InvalidArgument, "Encoding type mismatch for PQ evaluator");
    }
    if (_meta.dimension == 0) {
        return Status(ErrorCode::InvalidArgument, "Quantizer dimension is zero");
    }
    detail::SectionPayloadReader in(reader, offset);
    PQGlobalHeader header;
    if (Status st = detail::ReadPQHeader(in, header); !st.IsOk()) {
        ORVANE_LOG_ERROR("Read PQ evaluator global header failed, status = [%s]",
                         st.Message().c_str());
        return st;
    }
    if (header.metricType != M) {
        ORVANE_LOG_ERROR("PQ Evaluator metric type miss match");
        return Status(ErrorCode::InvalidArgument, "build metric  mismatch");
    }
    ORVANE_RETURN_IF_ERROR(detail::ReadPQModel(in, _meta.dimension, header, _chunkOffsets,
                                               _codebooks, _rotationMatrix));
    _codebooksByComponent =
        dist::encode_space::TransposePQCodebooks(_codebooks, _meta.dimension, _resource);
    _header = header;
    cursor = in.Cursor();
    return Status::Ok();
}

template <MetricE M>
requires dist::encode_space::PQMetric<M> Status QuantizerEvaluator<M, EncodingE::pq>::DoOpen(
    const std::shared_ptr<SectionReader>& reader, uint64_t offset) {
    // Loaded into a scratch instance first so that a failure changes nothing here.
    QuantizerEvaluator loaded(_resource, _meta);
    uint64_t cursor = offset;
    ORVANE_RETURN_IF_ERROR(loaded.DoLoad(reader, offset, cursor));
    detail::SectionPayloadReader in(reader, cursor);
    ORVANE_RETURN_IF_ERROR(detail::ReadPQRows(in, _meta.count, loaded.RowSize(), loaded._codes));
    _header = loaded._header;
    _chunkOffsets.swap(loaded._chunkOffsets);
    _codebooks.swap(loaded._codebooks);
    _codebooksByComponent.swap(loaded._codebooksByComponent);
    _codes.swap(loaded._codes);
    _rotationMatrix.swap(loaded._rotationMatrix);
    return Status::Ok();
}

template <MetricE M>
requires dist::encode_space::PQMetric<M> core::Result<std::unique_ptr<PreparedBase>>
QuantizerEvaluator<M, EncodingE::pq>::PrepareQuery(std::span<const float> query)
const {
    std::unique_ptr<PreparedBase> prepared;
    ORVANE_RETURN_IF_ERROR(PrepareQueryInto(query, prepared));
    return prepared;
}

template <MetricE M>
requires dist::encode_space::PQMetric<M> Status
QuantizerEvaluator<M, EncodingE::pq>::PrepareQueryInto(std::span<const float> query,
                                                       std::unique_ptr<PreparedBase>& prepared)
const {
    ORVANE_RETURN_IF_ERROR(CheckQuery(query));
    auto* reuse = dynamic_cast<Prepared*>(prepared.get());
    if (reuse == nullptr) {
        auto fresh = std::make_unique<Prepared>(PreparedPQ(&_resource));
        reuse = fresh.get();
        prepared = std::move(fresh);
    }
    dist::encode_space::PreparePQQueryInto(M, query, _header, _chunkOffsets, _codebooksByComponent,
                                           _rotationMatrix, reuse->Mutable());
    return Status::Ok();
}

template <MetricE M>
requires dist::encode_space::PQMetric<M> ErrorCode QuantizerEvaluator<M, EncodingE::pq>::BatchEval(
    const PreparedBase& prepared, std::span<const uint64_t> ids, std::span<float> out)
const {
    if (const ErrorCode code = CheckBatch(ids, out); code != ErrorCode::Ok) return code;
    const PreparedPQ& q = static_cast<const Prepared&>(prepared).Get();
    const uint64_t rowSize = RowSize();
    const uint64_t count = _meta.count;
    // Rows are scored a block at a time. Stored rows lie scattered over the
    // code array, so all of a block's rows are prefetched before any is read.
    constexpr size_t kBlock = 64;
    constexpr uint64_t kLine = 64;
    const uint8_t* rows[kBlock];
    for (size_t first = 0; first < ids.size(); first += kBlock) {
        const size_t n = std::min(kBlock, ids.size() - first);
        for (size_t i = 0; i < n; ++i) {
            const uint64_t id = ids[first + i];
            if (id >= count) {
                // Earlier rows keep their scores; the bad id ends the batch.
                dist::encode_space::ScorePQRows<M>(q, _header.numChunks, rows, i,
                                                   out.data() + first);
                return ErrorCode::InvalidArgument;
            }
            rows[i] = _codes.data() + id * rowSize;
            for (uint64_t line = 0; line < rowSize; line += kLine) {
                __builtin_prefetch(rows[i] + line);
            }
        }
        dist::encode_space::ScorePQRows<M>(q, _header.numChunks, rows, n, out.data() + first);
    }
    return ErrorCode::Ok;
}

template <MetricE M>
requires dist::encode_space::PQMetric<M>
void QuantizerEvaluator<M, EncodingE::pq>::PrefetchRows(std::span<const uint32_t> ids) const {
    const uint64_t rowSize = RowSize();
    for (uint32_t id : ids) {
        if (id >= _meta.count) continue;
        const uint8_t* row = _codes.data() + id * rowSize;
        for (uint64_t line = 0; line < rowSize; line += 64) __builtin_prefetch(row + line);
    }
}

template <MetricE M>
requires dist::encode_space::PQMetric<M> ErrorCode
QuantizerEvaluator<M, EncodingE::pq>::EvalWithCode(const PreparedBase& prepared, uint64_t id,
                                                   std::span<const uint8_t> code, float& out)
const {
    if (IsLoaded() && code.size() != RowSize()) {
        ORVANE_LOG_ERROR("Batch size mismatch: code size [%lu], expect code size [%lu]",
                         static_cast<unsigned long>(code.size()),
                         static_cast<unsigned long>(RowSize()));
    }
    if (const ErrorCode check = CheckCode(id, code, RowSize()); check != ErrorCode::Ok) {
        return check;
    }
    const PreparedPQ& q = static_cast<const Prepared&>(prepared).Get();
    out = TagInvoke(dist::EvalEncodedTag{}, dist::MetricT<M>{}, PQT{}, q,
                    EncodedRow{code.data(), code.size(), reinterpret_cast<const uint8_t*>(&_header),
                               sizeof(_header)});
    return ErrorCode::Ok;
}

template <MetricE M>
requires dist::encode_space::PQMetric<M> ErrorCode QuantizerEvaluator<M, EncodingE::pq>::RangeEval(
    const PreparedBase& prepared, uint64_t first, std::span<float> out)
const {
    if (const ErrorCode code = CheckRange(first, out.size()); code != ErrorCode::Ok) return code;
    const PreparedPQ& q = static_cast<const Prepared&>(prepared).Get();
    const uint64_t rowSize = RowSize();
    constexpr size_t kBlock = 64;
    const uint8_t* rows[kBlock];
    const uint8_t* row = _codes.data() + first * rowSize;
    for (size_t done = 0; done < out.size(); done += kBlock) {
        const size_t n = std::min(kBlock, out.size() - done);
        for (size_t i = 0; i < n; ++i, row += rowSize) rows[i] = row;
        dist::encode_space::ScorePQRows<M>(q, _header.numChunks, rows, n, out.data() + done);
    }
    return ErrorCode::Ok;
}

template <MetricE M>
requires dist::encode_space::PQMetric<M> std::vector<RowArray>
QuantizerEvaluator<M, EncodingE::pq>::MutableRowArrays() {
    return {RowArrayOf(_codes, RowSize())};
}

template class QuantizerEvaluator<MetricE::l2, EncodingE::pq>;
template class QuantizerEvaluator<MetricE::ip, EncodingE::pq>;

}  // namespace orvane::quantizer
