#include "encoding/rawf32/Rawf32Trainer.h"

#include "encoding/rawf32/RawF32EncodeSpace.h"
#include "encoding/rawf32/RawF32StreamReader.h"
#include "telemetry/Logger.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;
using dist::dimension_t;
using dist::encode_space::EncodedRowBuilder;
using dist::encode_space::EncodingE;

Rawf32Trainer::Rawf32Trainer(dimension_t dimension, dist::MetricE metric,
                             std::pmr::memory_resource& resource)
    : QuantizerTrainer(dimension, EncodingE::rawf32, metric, resource), _codes(&resource) {}

ErrorCode Rawf32Trainer::Pretrain(std::span<const float>, uint64_t, dimension_t dim) {
    if (dim != _dimension) {
        ORVANE_LOG_ERROR("Rawf32 dimension mismatch [%u] vs [%u]", dim, _dimension);
        return ErrorCode::InvalidArgument;
    }
    return ErrorCode::Ok;
}

uint64_t Rawf32Trainer::GetEncodedNodeSize() const {
    return uint64_t{_dimension} * sizeof(float);
}

Status Rawf32Trainer::DoReserve(uint64_t n) {
    if (_dimension != 0 && n > UINT64_MAX / _dimension) {
        return Status(ErrorCode::Corruption, "Quantizer reserve size overflow");
    }
    if (n * _dimension > _codes.max_size()) {
        return Status(ErrorCode::Corruption, "Quantizer reserve size overflow");
    }
    _codes.reserve(n * _dimension);
    return Status::Ok();
}

ErrorCode Rawf32Trainer::DoEncodeBatch(std::span<const float> data, uint64_t n, dimension_t dim) {
    if (dim != _dimension) {
        ORVANE_LOG_ERROR("Rawf32 dimension mismatch [%u] vs [%u]", dim, _dimension);
        return ErrorCode::InvalidArgument;
    }
    const size_t oldSize = _codes.size();
    _codes.resize(oldSize + n * dim);
    auto* out = reinterpret_cast<uint8_t*>(_codes.data() + oldSize);
    const dist::encode_space::RawF32Model model;
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t rowBytes = uint64_t{dim} * sizeof(float);
        EncodedRowBuilder row{std::span<uint8_t>(out + i * rowBytes, rowBytes), {}};
        const ErrorCode code =
            TagInvoke(dist::encode_space::EncodeTag{}, model, data.subspan(i * dim, dim), row);
        if (code != ErrorCode::Ok) {
            _codes.resize(oldSize);
            return code;
        }
    }
    return ErrorCode::Ok;
}

Status Rawf32Trainer::DoSerialize(const QuantizerWriter& writer) {
    return WriteSpan(writer, std::span<const float>(_codes));
}

Status Rawf32Trainer::DoSerializeInfo(const QuantizerWriter&) {
    return Status::Ok();
}

Status Rawf32Trainer::SerializeQuantizerInfo(const QuantizerWriter& writer) {
    ORVANE_RETURN_IF_ERROR(SerializeQuantizerMeta(writer));
    return DoSerializeInfo(writer);
}

Status Rawf32Trainer::SerializeEncode(uint64_t id, const QuantizerWriter& writer) {
    return WriteStoredRow(writer, std::span<const float>(_codes), id, _dimension,
                          "Rawf32 SerializeEncode id out of range.");
}

Status Rawf32Trainer::DoDeserialize(const std::shared_ptr<SectionReader>& reader, uint64_t offset) {
    if (_dimension == 0) return Status(ErrorCode::Corruption, "Rawf32 dimension is zero");
    return detail::ReadRawF32Rows(reader, offset, _count, _dimension, _codes);
}

}  // namespace orvane::quantizer
