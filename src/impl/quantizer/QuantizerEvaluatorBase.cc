#include "impl/quantizer/QuantizerEvaluatorBase.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;

QuantizerEvaluatorBase::QuantizerEvaluatorBase(std::pmr::memory_resource& resource,
                                               const QuantizerMeta& meta)
    : _meta(meta), _resource(resource) {}

QuantizerEvaluatorBase::~QuantizerEvaluatorBase() = default;

Status QuantizerEvaluatorBase::Open(const std::shared_ptr<SectionReader>& reader) {
    ORVANE_RETURN_IF_ERROR(DoOpen(reader, kQuantizerMetaSize));
    _opened = true;
    _loaded = true;
    return Status::Ok();
}

Status QuantizerEvaluatorBase::Load(const std::shared_ptr<SectionReader>& reader) {
    uint64_t cursor = kQuantizerMetaSize;
    ORVANE_RETURN_IF_ERROR(DoLoad(reader, kQuantizerMetaSize, cursor));
    _loaded = true;
    return Status::Ok();
}

Status QuantizerEvaluatorBase::CheckQuery(std::span<const float> query) const {
    if (!_loaded) {
        return Status(ErrorCode::FailedPrecondition, "Quantizer evaluator is not loaded");
    }
    if (query.size() != _meta.dimension) {
        return Status(ErrorCode::InvalidArgument, "Query dimension mismatch");
    }
    return Status::Ok();
}

ErrorCode QuantizerEvaluatorBase::CheckBatch(std::span<const uint64_t> ids,
                                             std::span<float> out) const {
    if (ids.size() != out.size()) return ErrorCode::InvalidArgument;
    if (!ids.empty() && !_opened) return ErrorCode::FailedPrecondition;
    return ErrorCode::Ok;
}

ErrorCode QuantizerEvaluatorBase::CheckCode(uint64_t id, std::span<const uint8_t> code,
                                            uint64_t rowBytes) const {
    if (!_loaded) return ErrorCode::FailedPrecondition;
    if (code.size() != rowBytes || id >= _meta.count) return ErrorCode::InvalidArgument;
    return ErrorCode::Ok;
}

}  // namespace orvane::quantizer
