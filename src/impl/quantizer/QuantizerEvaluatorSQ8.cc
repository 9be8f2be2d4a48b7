#include "impl/quantizer/QuantizerEvaluatorSQ8.h"

#include "impl/quantizer/QuantizerStreamReaders.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;
using dist::MetricE;
using dist::encode_space::EncodedRow;
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
      _codes(&resource) {}

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
    _global = loaded._global;
    _centroid.swap(loaded._centroid);
    _headers.swap(loaded._headers);
    _codes.swap(loaded._codes);
    return Status::Ok();
}

template <MetricE M>
core::Result<std::unique_ptr<PreparedBase>> QuantizerEvaluator<M, EncodingE::sq8>::PrepareQuery(
    std::span<const float> query) const {
    ORVANE_RETURN_IF_ERROR(CheckQuery(query));
    return std::unique_ptr<PreparedBase>(std::make_unique<Prepared>(
        TagInvoke(dist::PrepareTag{}, dist::MetricT<M>{}, SQ8T{}, query,
                  std::span<const float>(_centroid), _global.centroidNormSq, _resource)));
}

template <MetricE M>
ErrorCode QuantizerEvaluator<M, EncodingE::sq8>::BatchEval(const PreparedBase& prepared,
                                                           std::span<const uint64_t> ids,
                                                           std::span<float> out) const {
    if (const ErrorCode code = CheckBatch(ids, out); code != ErrorCode::Ok) return code;
    const PreparedSQ8& q = static_cast<const Prepared&>(prepared).Get();
    const uint64_t dim = _meta.dimension;
    const uint64_t count = _meta.count;
    for (size_t i = 0; i < ids.size(); ++i) {
        const uint64_t id = ids[i];
        if (id >= count) return ErrorCode::InvalidArgument;
        const EncodedRow row{_codes.data() + id * dim, dim,
                             reinterpret_cast<const uint8_t*>(&_headers[id]),
                             sizeof(SQ8VectorHeader)};
        out[i] = TagInvoke(dist::EvalEncodedTag{}, dist::MetricT<M>{}, SQ8T{}, q, row);
    }
    return ErrorCode::Ok;
}

template <MetricE M>
ErrorCode QuantizerEvaluator<M, EncodingE::sq8>::EvalWithCode(const PreparedBase& prepared,
                                                              uint64_t id,
                                                              std::span<const uint8_t> code,
                                                              float& out) const {
    if (const ErrorCode check = CheckCode(id, code, _meta.dimension); check != ErrorCode::Ok) {
        return check;
    }
    const PreparedSQ8& q = static_cast<const Prepared&>(prepared).Get();
    out = TagInvoke(
        dist::EvalEncodedTag{}, dist::MetricT<M>{}, SQ8T{}, q,
        EncodedRow{code.data(), code.size(), reinterpret_cast<const uint8_t*>(&_headers[id]),
                   sizeof(SQ8VectorHeader)});
    return ErrorCode::Ok;
}

template class QuantizerEvaluator<MetricE::l2, EncodingE::sq8>;
template class QuantizerEvaluator<MetricE::ip, EncodingE::sq8>;
template class QuantizerEvaluator<MetricE::cosine, EncodingE::sq8>;

}  // namespace orvane::quantizer
