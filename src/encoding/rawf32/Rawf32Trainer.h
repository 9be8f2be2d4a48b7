// Rawf32Trainer: the trainer of the rawf32 encoding. Learns nothing and keeps
// every appended vector unchanged; a stored row is 4 * dimension bytes of
// floats. Its stream is the meta followed by count rows of dimension floats.
#pragma once

#include <memory_resource>
#include <vector>

#include "encoding/CustomizedSerializeQuantizerInterface.h"
#include "encoding/QuantizerTrainer.h"

namespace orvane::quantizer {

class Rawf32Trainer : public QuantizerTrainer, public CustomizedSerializeQuantizerInterface {
  public:
    Rawf32Trainer(dist::dimension_t dimension, dist::MetricE metric,
                  std::pmr::memory_resource& resource);

    // Ok when dim equals the trainer's dimension, else InvalidArgument.
    core::ErrorCode Pretrain(std::span<const float> data, uint64_t n,
                             dist::dimension_t dim) override;
    uint64_t GetEncodedNodeSize() const override;

    core::Status SerializeQuantizerInfo(const QuantizerWriter& writer) override;
    core::Status SerializeEncode(uint64_t id, const QuantizerWriter& writer) override;

    // The stored rows, count * dimension floats.
    std::span<const float> Codes() const { return _codes; }

  protected:
    core::Status DoSerialize(const QuantizerWriter& writer) override;
    core::Status DoSerializeInfo(const QuantizerWriter& writer) override;
    core::Status DoDeserialize(const std::shared_ptr<SectionReader>& reader,
                               uint64_t offset) override;
    core::ErrorCode DoEncodeBatch(std::span<const float> data, uint64_t n,
                                  dist::dimension_t dim) override;
    core::Status DoReserve(uint64_t n) override;

  private:
    std::pmr::vector<float> _codes;
};

}  // namespace orvane::quantizer
