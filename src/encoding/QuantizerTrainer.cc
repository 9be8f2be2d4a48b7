#include "encoding/QuantizerTrainer.h"

#include <utility>

#include "telemetry/Logger.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;
using dist::dimension_t;

QuantizerTrainer::QuantizerTrainer(dimension_t dimension, dist::encode_space::EncodingE encoding,
                                   dist::MetricE metric, std::pmr::memory_resource& resource)
    : _dimension(dimension), _encodingType(encoding), _metricType(metric), _resource(resource) {}

QuantizerTrainer::~QuantizerTrainer() = default;

core::ErrorCode QuantizerTrainer::FailPretrain(core::ErrorCode code, std::string reason) {
    ORVANE_LOG_ERROR("%s", reason.c_str());
    _lastError = std::move(reason);
    return code;
}

Status QuantizerTrainer::Reserve(uint64_t n) {
    ORVANE_RETURN_IF_ERROR(DoReserve(n));
    _reservedCount = n;
    return Status::Ok();
}

ErrorCode QuantizerTrainer::EncodeBatch(std::span<const float> data, uint64_t n, dimension_t dim) {
    // After a checkpoint resume the count may exceed a reservation not yet renewed.
    if (_count > _reservedCount || n > _reservedCount - _count) {
        ORVANE_LOG_ERROR("QuantizerTrainer::EncodeBatch: appendCount is larger than reserveCount");
        return ErrorCode::InvalidArgument;
    }
    if (dim != 0 && n > data.size() / dim) {
        ORVANE_LOG_ERROR(
            "QuantizerTrainer::EncodeBatch: data holds [%zu] floats, fewer than [%lu] rows of "
            "[%u]",
            data.size(), static_cast<unsigned long>(n), dim);
        return ErrorCode::InvalidArgument;
    }
    const ErrorCode code = DoEncodeBatch(data, n, dim);
    if (code == ErrorCode::Ok) _count += n;
    return code;
}

QuantizerMeta QuantizerTrainer::MakeMeta() const {
    QuantizerMeta meta;
    meta.version = 0;
    meta.count = static_cast<uint32_t>(_count);
    meta.dimension = _dimension;
    meta.encodingType = _encodingType;
    meta.metricType = _metricType;
    return meta;
}

Status QuantizerTrainer::SerializeQuantizerMeta(const QuantizerWriter& writer) const {
    return WriteObject(writer, MakeMeta());
}

Status QuantizerTrainer::Serialize(const QuantizerWriter& writer) {
    ORVANE_RETURN_IF_ERROR(SerializeQuantizerMeta(writer));
    return DoSerialize(writer);
}

Status QuantizerTrainer::Deserialize(const std::shared_ptr<SectionReader>& reader) {
    if (reader == nullptr) return Status(ErrorCode::InvalidArgument, "Null SectionReader");
    QuantizerMeta meta;
    ORVANE_RETURN_IF_ERROR(reader->Read(
        0, sizeof(meta), std::span<char>(reinterpret_cast<char*>(&meta), sizeof(meta))));
    if (meta.version != kQuantizerStreamVersion) {
        return Status(ErrorCode::Corruption, "Unknown quantizer stream version");
    }
    // Reading another encoding's stream would misparse it into this model.
    if (meta.encodingType != _encodingType) {
        return Status(ErrorCode::InvalidArgument, "Quantizer encoding type mismatch");
    }
    const uint64_t oldCount = _count;
    const dimension_t oldDimension = _dimension;
    const dist::MetricE oldMetric = _metricType;
    _count = meta.count;
    _dimension = meta.dimension;
    _metricType = meta.metricType;
    Status status = DoDeserialize(reader, kQuantizerMetaSize);
    if (!status.IsOk()) {
        _count = oldCount;
        _dimension = oldDimension;
        _metricType = oldMetric;
    }
    return status;
}

Status QuantizerTrainer::DoDeserialize(const std::shared_ptr<SectionReader>&, uint64_t) {
    return Status(ErrorCode::NotSupported, "lack of DoDeserialize implementation");
}

}  // namespace orvane::quantizer
