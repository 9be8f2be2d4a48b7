#include "encoding/rawf32/QuantizerEvaluatorRawF32.h"

#include "encoding/rawf32/RawF32StreamReader.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;
using dist::MetricE;
using dist::encode_space::EncodedRow;
using dist::encode_space::EncodingE;
using dist::encode_space::PreparedRawF32;
using dist::encode_space::RawF32T;

template <MetricE M>
QuantizerEvaluator<M, EncodingE::rawf32>::QuantizerEvaluator(std::pmr::memory_resource& resource,
                                                             const QuantizerMeta& meta)
    : QuantizerEvaluatorBase(resource, meta), _embeddings(&resource) {}

template <MetricE M>
Status QuantizerEvaluator<M, EncodingE::rawf32>::DoLoad(const std::shared_ptr<SectionReader>&,
                                                        uint64_t offset, uint64_t& cursor) {
    if (_meta.encodingType != EncodingE::rawf32) {
        return Status(ErrorCode::InvalidArgument, "Encoding type mismatch for rawf32 evaluator");
    }
    if (_meta.dimension == 0) {
        return Status(ErrorCode::InvalidArgument, "Quantizer dimension is zero");
    }
    cursor = offset;
    return Status::Ok();
}

template <MetricE M>
Status QuantizerEvaluator<M, EncodingE::rawf32>::DoOpen(
    const std::shared_ptr<SectionReader>& reader, uint64_t offset) {
    uint64_t cursor = offset;
    ORVANE_RETURN_IF_ERROR(DoLoad(reader, offset, cursor));
    return detail::ReadRawF32Rows(reader, cursor, _meta.count, _meta.dimension, _embeddings);
}

template <MetricE M>
core::Result<std::unique_ptr<PreparedBase>> QuantizerEvaluator<M, EncodingE::rawf32>::PrepareQuery(
    std::span<const float> query) const {
    ORVANE_RETURN_IF_ERROR(CheckQuery(query));
    return std::unique_ptr<PreparedBase>(std::make_unique<Prepared>(
        TagInvoke(dist::PrepareTag{}, dist::MetricT<M>{}, RawF32T{}, query)));
}

template <MetricE M>
ErrorCode QuantizerEvaluator<M, EncodingE::rawf32>::BatchEval(const PreparedBase& prepared,
                                                              std::span<const uint64_t> ids,
                                                              std::span<float> out) const {
    if (const ErrorCode code = CheckBatch(ids, out); code != ErrorCode::Ok) return code;
    const PreparedRawF32& q = static_cast<const Prepared&>(prepared).Get();
    // Rows before the first id out of range are scored; that id stops the batch.
    const uint64_t count = _meta.count;
    size_t valid = 0;
    while (valid < ids.size() && ids[valid] < count) ++valid;
    isa::InvokeWithDynamicIsa(dist::MetricGatherDispatcher<M>{}, q._q.data(), _embeddings.data(),
                              _meta.dimension, ids.data(), uint64_t{valid}, out.data());
    return valid == ids.size() ? ErrorCode::Ok : ErrorCode::InvalidArgument;
}

template <MetricE M>
ErrorCode QuantizerEvaluator<M, EncodingE::rawf32>::EvalWithCode(const PreparedBase& prepared,
                                                                 uint64_t id,
                                                                 std::span<const uint8_t> code,
                                                                 float& out) const {
    const uint64_t rowBytes = uint64_t{_meta.dimension} * sizeof(float);
    if (const ErrorCode check = CheckCode(id, code, rowBytes); check != ErrorCode::Ok) return check;
    const PreparedRawF32& q = static_cast<const Prepared&>(prepared).Get();
    out = TagInvoke(dist::EvalEncodedTag{}, dist::MetricT<M>{}, RawF32T{}, q,
                    EncodedRow{code.data(), rowBytes, nullptr, 0});
    return ErrorCode::Ok;
}

template <MetricE M>
ErrorCode QuantizerEvaluator<M, EncodingE::rawf32>::RangeEval(const PreparedBase& prepared,
                                                              uint64_t first,
                                                              std::span<float> out) const {
    if (const ErrorCode code = CheckRange(first, out.size()); code != ErrorCode::Ok) return code;
    if (out.empty()) return ErrorCode::Ok;
    const PreparedRawF32& q = static_cast<const Prepared&>(prepared).Get();
    const uint64_t dim = _meta.dimension;
    TagInvoke(dist::BatchEvalEncodedTag{}, dist::MetricT<M>{}, RawF32T{}, q,
              dist::encode_space::RawF32Batch(_embeddings.data() + first * dim, _meta.dimension,
                                              out.size()),
              out.data());
    return ErrorCode::Ok;
}

template <MetricE M>
std::vector<RowArray> QuantizerEvaluator<M, EncodingE::rawf32>::MutableRowArrays() {
    return {RowArrayOf(_embeddings, _meta.dimension)};
}

template class QuantizerEvaluator<MetricE::l2, EncodingE::rawf32>;
template class QuantizerEvaluator<MetricE::ip, EncodingE::rawf32>;
template class QuantizerEvaluator<MetricE::cosine, EncodingE::rawf32>;

std::span<const float> RawF32Rows(const QuantizerEvaluatorBase& evaluator) {
    using L2 = QuantizerEvaluator<MetricE::l2, EncodingE::rawf32>;
    using Ip = QuantizerEvaluator<MetricE::ip, EncodingE::rawf32>;
    using Cosine = QuantizerEvaluator<MetricE::cosine, EncodingE::rawf32>;
    if (const auto* l2 = dynamic_cast<const L2*>(&evaluator)) return l2->Rows();
    if (const auto* ip = dynamic_cast<const Ip*>(&evaluator)) return ip->Rows();
    if (const auto* cosine = dynamic_cast<const Cosine*>(&evaluator)) return cosine->Rows();
    return {};
}

}  // namespace orvane::quantizer
