// PQTrainer: writing and reading the pq quantizer stream.
#include <algorithm>
#include <array>
#include <cstring>

#include "encoding/pq/PQStreamReader.h"
#include "encoding/pq/PQTrainer.h"
#include "telemetry/Logger.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;
using dist::MetricE;
using dist::encode_space::PQGlobalHeader;

Status PQTrainer::DoSerializeInfo(const QuantizerWriter& writer) {
    ORVANE_RETURN_IF_ERROR(WriteObject(writer, _model.header));
    ORVANE_RETURN_IF_ERROR(WriteSpan(writer, std::span<const uint32_t>(_model.chunkOffsets)));
    ORVANE_RETURN_IF_ERROR(WriteSpan(writer, std::span<const float>(_model.codebooks)));
    if (_model.header.UsesOpq()) {
        ORVANE_RETURN_IF_ERROR(WriteSpan(writer, std::span<const float>(_model.rotation)));
    }
    return Status::Ok();
}

Status PQTrainer::SerializeQuantizerInfo(const QuantizerWriter& writer) {
    ORVANE_RETURN_IF_ERROR(SerializeQuantizerMeta(writer));
    return DoSerializeInfo(writer);
}

Status PQTrainer::WriteRow(uint64_t id, const QuantizerWriter& writer) const {
    const uint32_t m = _model.header.numChunks;
    ORVANE_RETURN_IF_ERROR(WriteSpan(writer, std::span<const uint8_t>(_codes).subspan(id * m, m)));
    if (_metricType != MetricE::ip) return Status::Ok();
    static constexpr std::array<uint8_t, 3> kZeros = {0, 0, 0};
    ORVANE_RETURN_IF_ERROR(WriteSpan(
        writer, std::span<const uint8_t>(kZeros).first(dist::encode_space::PQIpPadding(m))));
    return WriteObject(writer, _ipFactors[id]);
}

Status PQTrainer::SerializeEncode(uint64_t id, const QuantizerWriter& writer) {
    if (id >= _count) {
        ORVANE_LOG_ERROR("PQ SerializeEncode id out of range [%lu] vs [%lu]",
                         static_cast<unsigned long>(id), static_cast<unsigned long>(_count));
        return Status(ErrorCode::FailedPrecondition, "PQ SerializeEncode id out of range.");
    }
    if (_codes.empty()) {
        ORVANE_LOG_ERROR("PQ SerializeEncode codes is empty");
        return Status(ErrorCode::FailedPrecondition, "PQ SerializeEncode codes is empty.");
    }
    return WriteRow(id, writer);
}

Status PQTrainer::DoSerialize(const QuantizerWriter& writer) {
    ORVANE_RETURN_IF_ERROR(DoSerializeInfo(writer));
    for (uint64_t id = 0; id < _count; ++id) ORVANE_RETURN_IF_ERROR(SerializeEncode(id, writer));
    return Status::Ok();
}

Status PQTrainer::SerializeWithMapping(const QuantizerWriter& writer,
                                       const std::vector<uint64_t>& mapping) {
    if (mapping.size() != _count) {
        return Status(ErrorCode::InvalidArgument, "PQ SerializeWithMapping mapping size mismatch");
    }
    ORVANE_RETURN_IF_ERROR(WriteObject(writer, _model.header));
    ORVANE_RETURN_IF_ERROR(WriteSpan(writer, std::span<const uint32_t>(_model.chunkOffsets)));
    ORVANE_RETURN_IF_ERROR(WriteSpan(writer, std::span<const float>(_model.codebooks)));
    for (uint64_t id : mapping) ORVANE_RETURN_IF_ERROR(SerializeEncode(id, writer));
    if (_model.header.UsesOpq()) {
        ORVANE_RETURN_IF_ERROR(WriteSpan(writer, std::span<const float>(_model.rotation)));
    }
    return Status::Ok();
}

Status PQTrainer::DoDeserialize(const std::shared_ptr<SectionReader>& reader, uint64_t offset) {
    if (_dimension == 0) return Status(ErrorCode::Corruption, "PQ dimension is zero");
    detail::SectionPayloadReader in(reader, offset);
    PQGlobalHeader header;
    if (Status st = detail::ReadPQHeader(in, header); !st.IsOk()) {
        ORVANE_LOG_ERROR("Read PQ evaluator global header failed");
        return st;
    }
    if (header.metricType != _metricType) {
        return Status(ErrorCode::InvalidArgument, "PQTrainer metric mismatch");
    }
    dist::encode_space::PQModel model;
    if (Status st = detail::ReadPQModel(in, _dimension, header, model.chunkOffsets, model.codebooks,
                                        model.rotation);
        !st.IsOk()) {
        ORVANE_LOG_ERROR("Read PQ evaluator model failed: %s", st.Message().c_str());
        return st;
    }
    const uint64_t rowSize = dist::encode_space::PQRowSize(header.numChunks, _metricType);
    std::pmr::vector<uint8_t> rows(&_resource);
    if (Status st = detail::ReadPQRows(in, _count, rowSize, rows); !st.IsOk()) {
        ORVANE_LOG_ERROR(_metricType == MetricE::ip ? "Read PQ trainer quantized vectors failed"
                                                    : "Read PQ evaluator quantized vectors failed");
        return st;
    }

    // Split the stored rows into codes and IP factors.
    const uint32_t m = header.numChunks;
    std::pmr::vector<uint8_t> codes(_count * m, 0, &_resource);
    std::pmr::vector<float> factors(&_resource);
    if (_metricType == MetricE::ip) factors.resize(_count);
    for (uint64_t i = 0; i < _count; ++i) {
        const uint8_t* row = rows.data() + i * rowSize;
        std::copy(row, row + m, codes.data() + i * m);
        if (_metricType == MetricE::ip) {
            std::memcpy(&factors[i], row + dist::encode_space::PQIpFactorOffset(m), sizeof(float));
        }
    }
    model.header = header;
    model.threadCount = _model.threadCount;
    _model = std::move(model);
    _codes.swap(codes);
    _ipFactors.swap(factors);
    return Status::Ok();
}

}  // namespace orvane::quantizer
