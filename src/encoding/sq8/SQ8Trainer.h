// SQ8Trainer: the trainer of the sq8 encoding. Pretrain learns the centroid
// (the mean of the samples); each appended vector becomes dimension code bytes
// plus a 24-byte SQ8VectorHeader kept apart; a batch is spread over
// EncodeThreads() workers of the Build executor in blocks of rows. Its stream is the meta, the
// SQ8GlobalHeader, the centroid (absent if never pretrained), all headers and
// then all code bytes.
//
// Pretrain may be repeated: it replaces the centroid and drops every vector
// encoded so far. Deserialize needs a clean trainer (never pretrained or
// encoded into since construction or the last serialization).
#pragma once

#include <memory_resource>
#include <vector>

#include "encoding/CustomizedSerializeQuantizerInterface.h"
#include "encoding/QuantizerTrainer.h"
#include "encoding/sq8/SQ8Types.h"

namespace orvane::quantizer {

class SQ8Trainer : public QuantizerTrainer, public CustomizedSerializeQuantizerInterface {
  public:
    SQ8Trainer(dist::dimension_t dimension, dist::MetricE metric,
               std::pmr::memory_resource& resource);

    // InvalidArgument for a dim other than the trainer's, n = 0 or data
    // shorter than n rows.
    core::ErrorCode Pretrain(std::span<const float> data, uint64_t n,
                             dist::dimension_t dim) override;
    // The code bytes of one vector (the header is stored apart).
    uint64_t GetEncodedNodeSize() const override;

    core::Status SerializeQuantizerInfo(const QuantizerWriter& writer) override;
    // Writes the dimension code bytes of vector id, without its header.
    core::Status SerializeEncode(uint64_t id, const QuantizerWriter& writer) override;

    // The global header of the current centroid: the sum of its squares.
    dist::encode_space::SQ8GlobalHeader BuildGlobalHeader() const;

    const dist::encode_space::SQ8Model& Model() const { return _model; }
    std::span<const dist::encode_space::SQ8VectorHeader> Headers() const { return _headers; }
    std::span<const uint8_t> Codes() const { return _codes; }

  protected:
    core::Status DoSerialize(const QuantizerWriter& writer) override;
    core::Status DoSerializeInfo(const QuantizerWriter& writer) override;
    core::Status DoDeserialize(const std::shared_ptr<SectionReader>& reader,
                               uint64_t offset) override;
    core::ErrorCode DoEncodeBatch(std::span<const float> data, uint64_t n,
                                  dist::dimension_t dim) override;
    core::Status DoReserve(uint64_t n) override;

  private:
    // Rows encoded together by one worker.
    static constexpr uint64_t kEncodeBlockRows = 256;

    // Encodes rows [first, last) of `data` into the slots after codesBefore
    // and headersBefore, which the caller has made room for.
    core::ErrorCode EncodeRows(std::span<const float> data, dist::dimension_t dim, uint64_t first,
                               uint64_t last, uint64_t codesBefore, uint64_t headersBefore);

    dist::encode_space::SQ8Model _model;
    std::pmr::vector<dist::encode_space::SQ8VectorHeader> _headers;
    std::pmr::vector<uint8_t> _codes;
    bool _payloadDirty = false;
};

}  // namespace orvane::quantizer
