#include "encoding/sq8/QuantizerEvaluatorSQ8.h"

#include "encoding/sq8/SQ8StreamReader.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;
using dist::MetricE;
using dist::encode_space::EncodingE;
using dist::encode_space::PreparedSQ8;
using dist::encode_space::SQ8GlobalHeader;
using dist::encode_space::SQ8T;
using dist::encode_space::SQ8VectorHeader;

template <MetricE M>
QuantizerEvaluator<M, EncodingE::sq8>::QuantizerEvaluator(std::pmr::memory_resource& resource,
                                                          const QuantizerMeta& meta)
    : QuantizerEvaluatorBase(resource, meta),
      _centroid(&resource),
      _headers(&resource),
      _codes(&resource),
      _codeStats(&resource) {}

template <MetricE M>
Status QuantizerEvaluator<M, EncodingE::sq8>::DoLoad(const std::shared_ptr<SectionReader>& reader,
                                                     uint64_t offset, uint64_t& cursor) {
    if (_meta.encodingType != EncodingE::sq8) {
        return Status(ErrorCode::InvalidArgument, "Encoding type mismatch for sq8 evaluator");
    }
    if (_meta.dimension == 0) {
        return Status(ErrorCode::InvalidArgument, "Quantizer dimension is zero");
    }
    detail::SectionPayloadReader in(reader, offset);
    ORVANE_RETURN_IF_ERROR(
        detail::ReadSQ8Model(in, _meta.dimension, _meta.count, _global, _centroid, _headers));
    cursor = in.Cursor();
    return Status::Ok();
}

template <MetricE M>
Status QuantizerEvaluator<M, EncodingE::sq8>::DoOpen(const std::shared_ptr<SectionReader>& reader,
                                                     uint64_t offset) {
    // Loaded into a scratch instance first so that a failure changes nothing here.
    QuantizerEvaluator loaded(_resource, _meta);
    uint64_t cursor = offset;
    ORVANE_RETURN_IF_ERROR(loaded.DoLoad(reader, offset, cursor));
    detail::SectionPayloadReader in(reader, cursor);
    ORVANE_RETURN_IF_ERROR(detail::ReadSQ8Codes(in, _meta.count, _meta.dimension, loaded._codes));
    loaded._codeStats.resize(_meta.count);
    for (uint64_t id = 0; id < _meta.count; ++id) {
        loaded._codeStats[id] = dist::encode_space::ComputeSQ8CodeStats(
            loaded._codes.data() + id * _meta.dimension, _meta.dimension);
    }
    _global = loaded._global;
    _centroid.swap(loaded._centroid);
    _headers.swap(loaded._headers);
    _codes.swap(loaded._codes);
    _codeStats.swap(loaded._codeStats);
    return Status::Ok();
}

template <MetricE M>
core::Result<std::unique_ptr<PreparedBase>> QuantizerEvaluator<M, EncodingE::sq8>::PrepareQuery(
    std::span<const float> query) const {
    ORVANE_RETURN_IF_ERROR(CheckQuery(query));
    PreparedSQ8 prepared =
        TagInvoke(dist::PrepareTag{}, dist::MetricT<M>{}, SQ8T{}, query,
                  std::span<const float>(_centroid), _global.centroidNormSq, _resource);
    const dist::encode_space::SQ8QuerySums sums =
        dist::encode_space::ComputeSQ8QuerySums(prepared.View());
    return std::unique_ptr<PreparedBase>(
        std::make_unique<Prepared>(ScanQuery{std::move(prepared), sums}));
}

template <MetricE M>
float QuantizerEvaluator<M, EncodingE::sq8>::Score(
    const ScanQuery& query, uint64_t id, const uint8_t* codes,
    const dist::encode_space::SQ8CodeStats& stats) const {
    const dist::encode_space::SQ8QueryView view = query.prepared.View();
    const float dot =
        isa::InvokeWithDynamicIsa(dist::encode_space::SQ8CodeDotDispatcher{}, view, codes);
    return dist::encode_space::FinishSQ8Expanded<M>(view, query.sums, _headers[id], stats, dot);
}

template <MetricE M>
ErrorCode QuantizerEvaluator<M, EncodingE::sq8>::BatchEval(const PreparedBase& prepared,
                                                           std::span<const uint64_t> ids,
                                                           std::span<float> out) const {
    if (const ErrorCode code = CheckBatch(ids, out); code != ErrorCode::Ok) return code;
    const ScanQuery& query = static_cast<const Prepared&>(prepared).Get();
    const dist::encode_space::SQ8QueryView view = query.prepared.View();
    // Rows before the first id past the end are scored, then that id stops the batch.
    uint64_t valid = 0;
    while (valid < ids.size() && ids[valid] < _meta.count) ++valid;
    // The dot products land in `out` and are finished in place.
    isa::InvokeWithDynamicIsa(dist::encode_space::SQ8CodeDotDispatcher{}, view, _codes.data(),
                              ids.data(), valid, out.data());
    for (uint64_t i = 0; i < valid; ++i) out[i] = FinishStored(query, ids[i], out[i]);
    return valid == ids.size() ? ErrorCode::Ok : ErrorCode::InvalidArgument;
}

template <MetricE M>
ErrorCode QuantizerEvaluator<M, EncodingE::sq8>::EvalWithCode(const PreparedBase& prepared,
                                                              uint64_t id,
                                                              std::span<const uint8_t> code,
                                                              float& out) const {
    if (const ErrorCode check = CheckCode(id, code, _meta.dimension); check != ErrorCode::Ok) {
        return check;
    }
    const ScanQuery& query = static_cast<const Prepared&>(prepared).Get();
    out = Score(query, id, code.data(),
                dist::encode_space::ComputeSQ8CodeStats(code.data(), _meta.dimension));
    return ErrorCode::Ok;
}

template <MetricE M>
ErrorCode QuantizerEvaluator<M, EncodingE::sq8>::RangeEval(const PreparedBase& prepared,
                                                           uint64_t first,
                                                           std::span<float> out) const {
    if (const ErrorCode code = CheckRange(first, out.size()); code != ErrorCode::Ok) return code;
    const ScanQuery& query = static_cast<const Prepared&>(prepared).Get();
    const dist::encode_space::SQ8QueryView view = query.prepared.View();
    isa::InvokeWithDynamicIsa(dist::encode_space::SQ8CodeDotDispatcher{}, view,
                              _codes.data() + first * _meta.dimension, out.size(), out.data());
    for (uint64_t i = 0; i < out.size(); ++i) out[i] = FinishStored(query, first + i, out[i]);
    return ErrorCode::Ok;
}

template <MetricE M>
std::vector<RowArray> QuantizerEvaluator<M, EncodingE::sq8>::MutableRowArrays() {
    return {RowArrayOf(_codes, _meta.dimension), RowArrayOf(_headers, 1),
            RowArrayOf(_codeStats, 1)};
}

template class QuantizerEvaluator<MetricE::l2, EncodingE::sq8>;
template class QuantizerEvaluator<MetricE::ip, EncodingE::sq8>;
template class QuantizerEvaluator<MetricE::cosine, EncodingE::sq8>;

}  // namespace orvane::quantizer
