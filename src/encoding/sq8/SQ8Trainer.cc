#include "encoding/sq8/SQ8Trainer.h"

#include <algorithm>
#include <cmath>

#include "encoding/sq8/SQ8EncodeSpace.h"
#include "encoding/sq8/SQ8StreamReader.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"
#include "util/parallel/MultiThreadStepProcess.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;
using dist::dimension_t;
using dist::encode_space::EncodedRowBuilder;
using dist::encode_space::EncodingE;
using dist::encode_space::SQ8GlobalHeader;
using dist::encode_space::SQ8VectorHeader;

SQ8Trainer::SQ8Trainer(dimension_t dimension, dist::MetricE metric,
                       std::pmr::memory_resource& resource)
    : QuantizerTrainer(dimension, EncodingE::sq8, metric, resource),
      _headers(&resource),
      _codes(&resource) {}

ErrorCode SQ8Trainer::Pretrain(std::span<const float> data, uint64_t n, dimension_t dim) {
    if (dim != _dimension) return ErrorCode::InvalidArgument;
    // The mean of no vectors is undefined (it would divide by zero).
    if (n == 0) {
        ORVANE_LOG_ERROR("SQ8 Pretrain needs at least one vector");
        return ErrorCode::InvalidArgument;
    }
    if (dim == 0 || n > data.size() / dim) return ErrorCode::InvalidArgument;
    std::vector<float> sums(dim, 0.0f);
    for (uint64_t row = 0; row < n; ++row) {
        const float* x = data.data() + row * dim;
        for (dimension_t i = 0; i < dim; ++i) sums[i] += x[i];
    }
    const float inverse = 1.0f / static_cast<float>(n);
    for (float& s : sums) s *= inverse;
    _model.centroid.swap(sums);
    _count = 0;
    _headers.clear();
    _codes.clear();
    _payloadDirty = true;
    return ErrorCode::Ok;
}

uint64_t SQ8Trainer::GetEncodedNodeSize() const {
    return _dimension;
}

Status SQ8Trainer::DoReserve(uint64_t n) {
    if (_model.centroid.empty()) {
        return Status(ErrorCode::FailedPrecondition, "Reserve must be called after Pretrain");
    }
    if ((_dimension != 0 && n > UINT64_MAX / _dimension) || n > _headers.max_size() ||
        n * _dimension > _codes.max_size()) {
        return Status(ErrorCode::Corruption, "Quantizer reserve size overflow");
    }
    _headers.reserve(n);
    _codes.reserve(n * _dimension);
    return Status::Ok();
}

ErrorCode SQ8Trainer::EncodeRows(std::span<const float> data, dimension_t dim, uint64_t first,
                                 uint64_t last, uint64_t codesBefore, uint64_t headersBefore) {
    for (uint64_t row = first; row < last; ++row) {
        EncodedRowBuilder out{
            std::span<uint8_t>(_codes.data() + codesBefore + row * dim, dim),
            std::span<uint8_t>(reinterpret_cast<uint8_t*>(&_headers[headersBefore + row]),
                               sizeof(SQ8VectorHeader))};
        const ErrorCode code =
            TagInvoke(dist::encode_space::EncodeTag{}, _model, data.subspan(row * dim, dim), out);
        if (code != ErrorCode::Ok) return code;
    }
    return ErrorCode::Ok;
}

ErrorCode SQ8Trainer::DoEncodeBatch(std::span<const float> data, uint64_t n, dimension_t dim) {
    if (dim != _dimension || n == 0) return ErrorCode::InvalidArgument;
    if (_model.centroid.empty()) return ErrorCode::FailedPrecondition;
    _payloadDirty = true;
    // Every row has its own slots, so rows are encoded in any order, blocks of
    // them on several workers, into the same bytes.
    const uint64_t codesBefore = _codes.size();
    const uint64_t headersBefore = _headers.size();
    _codes.resize(codesBefore + n * dim);
    _headers.resize(headersBefore + n);
    const uint64_t blocks = (n + kEncodeBlockRows - 1) / kEncodeBlockRows;
    const uint64_t tasks = std::min<uint64_t>(_encodeThreads, blocks);
    ErrorCode code = ErrorCode::Unavailable;
    if (tasks > 1) {
        auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
        if (executor.IsOk()) {
            code = util::MultiThreadStepProcess(
                0, blocks, tasks, *executor.Value(), [&](uint64_t, uint64_t block) {
                    const uint64_t first = block * kEncodeBlockRows;
                    return EncodeRows(data, dim, first, std::min(n, first + kEncodeBlockRows),
                                      codesBefore, headersBefore);
                });
        }
    }
    // One worker, or workers refused: the calling thread encodes every row.
    if (code == ErrorCode::Unavailable)
        code = EncodeRows(data, dim, 0, n, codesBefore, headersBefore);
    if (code != ErrorCode::Ok) {
        // A failed batch leaves nothing behind: the next one starts at Count().
        _codes.resize(codesBefore);
        _headers.resize(headersBefore);
    }
    return code;
}

SQ8GlobalHeader SQ8Trainer::BuildGlobalHeader() const {
    SQ8GlobalHeader global;
    for (float c : _model.centroid) global.centroidNormSq = std::fma(c, c, global.centroidNormSq);
    return global;
}

Status SQ8Trainer::DoSerializeInfo(const QuantizerWriter& writer) {
    _payloadDirty = false;
    ORVANE_RETURN_IF_ERROR(WriteObject(writer, BuildGlobalHeader()));
    ORVANE_RETURN_IF_ERROR(WriteSpan(writer, std::span<const float>(_model.centroid)));
    return WriteSpan(writer, std::span<const SQ8VectorHeader>(_headers));
}

Status SQ8Trainer::DoSerialize(const QuantizerWriter& writer) {
    ORVANE_RETURN_IF_ERROR(DoSerializeInfo(writer));
    return WriteSpan(writer, std::span<const uint8_t>(_codes));
}

Status SQ8Trainer::SerializeQuantizerInfo(const QuantizerWriter& writer) {
    ORVANE_RETURN_IF_ERROR(SerializeQuantizerMeta(writer));
    return DoSerializeInfo(writer);
}

Status SQ8Trainer::SerializeEncode(uint64_t id, const QuantizerWriter& writer) {
    return WriteStoredRow(writer, std::span<const uint8_t>(_codes), id, _dimension,
                          "SQ8 SerializeEncode id out of range.");
}

Status SQ8Trainer::DoDeserialize(const std::shared_ptr<SectionReader>& reader, uint64_t offset) {
    if (_payloadDirty) {
        return Status(ErrorCode::Internal, "SQ8Trainer should deserialize from a clean state.");
    }
    if (_dimension == 0) return Status(ErrorCode::Corruption, "SQ8 dimension is zero");
    if (reader != nullptr && offset > reader->SectionPayloadSize()) {
        return Status(ErrorCode::Corruption, "Quantizer payload is smaller than meta size");
    }
    detail::SectionPayloadReader in(reader, offset);
    SQ8GlobalHeader global;
    dist::encode_space::SQ8Model model;
    std::pmr::vector<SQ8VectorHeader> headers(&_resource);
    std::pmr::vector<uint8_t> codes(&_resource);
    ORVANE_RETURN_IF_ERROR(
        detail::ReadSQ8Model(in, _dimension, _count, global, model.centroid, headers));
    ORVANE_RETURN_IF_ERROR(detail::ReadSQ8Codes(in, _count, _dimension, codes));
    _model = std::move(model);
    _headers.swap(headers);
    _codes.swap(codes);
    return Status::Ok();
}

}  // namespace orvane::quantizer
