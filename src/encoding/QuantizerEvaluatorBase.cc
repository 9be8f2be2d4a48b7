#include "encoding/QuantizerEvaluatorBase.h"

#include "telemetry/Logger.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;

QuantizerEvaluatorBase::QuantizerEvaluatorBase(std::pmr::memory_resource& resource,
                                               const QuantizerMeta& meta)
    : _meta(meta), _resource(resource) {}

QuantizerEvaluatorBase::~QuantizerEvaluatorBase() = default;

Status QuantizerEvaluatorBase::PrepareQueryInto(std::span<const float> query,
                                                std::unique_ptr<PreparedBase>& prepared) const {
    auto fresh = PrepareQuery(query);
    if (!fresh.IsOk()) return fresh.TakeStatus();
    prepared = fresh.TakeValue();
    return Status::Ok();
}

Status QuantizerEvaluatorBase::CheckVersion() const {
    if (_meta.version == kQuantizerStreamVersion) return Status::Ok();
    ORVANE_LOG_ERROR("Unknown quantizer stream version [%u]", _meta.version);
    return Status(ErrorCode::Corruption, "Unknown quantizer stream version");
}

Status QuantizerEvaluatorBase::Open(const std::shared_ptr<SectionReader>& reader) {
    ORVANE_RETURN_IF_ERROR(CheckVersion());
    ORVANE_RETURN_IF_ERROR(DoOpen(reader, kQuantizerMetaSize));
    _opened = true;
    _loaded = true;
    return Status::Ok();
}

Status QuantizerEvaluatorBase::Load(const std::shared_ptr<SectionReader>& reader) {
    ORVANE_RETURN_IF_ERROR(CheckVersion());
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

ErrorCode QuantizerEvaluatorBase::CheckRange(uint64_t first, uint64_t n) const {
    if (n == 0) return first <= _meta.count ? ErrorCode::Ok : ErrorCode::InvalidArgument;
    if (!_opened) return ErrorCode::FailedPrecondition;
    if (first > _meta.count || n > _meta.count - first) return ErrorCode::InvalidArgument;
    return ErrorCode::Ok;
}

}  // namespace orvane::quantizer
