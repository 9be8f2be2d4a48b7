// The sq8 evaluators: the model is the global header and the centroid; each
// stored vector is a 24-byte SQ8VectorHeader (loaded by both Open and Load)
// and dimension code bytes (loaded by Open only). EvalWithCode takes the
// dimension code bytes of a vector and pairs them with its stored header.
#pragma once

#include <memory_resource>
#include <vector>

#include "distance/encode_space/SQ8/SQ8EncodeSpace.h"
#include "impl/quantizer/QuantizerEvaluator.h"

namespace orvane::quantizer {

template <dist::MetricE M>
class QuantizerEvaluator<M, dist::encode_space::EncodingE::sq8> final
    : public QuantizerEvaluatorBase {
  public:
    using Prepared = PreparedImpl<dist::encode_space::PreparedSQ8>;

    QuantizerEvaluator(std::pmr::memory_resource& resource, const QuantizerMeta& meta);

    core::Result<std::unique_ptr<PreparedBase>> PrepareQuery(
        std::span<const float> query) const override;
    core::ErrorCode BatchEval(const PreparedBase& prepared, std::span<const uint64_t> ids,
                              std::span<float> out) const override;
    core::ErrorCode EvalWithCode(const PreparedBase& prepared, uint64_t id,
                                 std::span<const uint8_t> code, float& out) const override;
    bool LowerIsBetter() const override { return dist::MetricT<M>::LowerIsBetter; }

  protected:
    core::Status DoOpen(const std::shared_ptr<SectionReader>& reader, uint64_t offset) override;
    core::Status DoLoad(const std::shared_ptr<SectionReader>& reader, uint64_t offset,
                        uint64_t& cursor) override;

  private:
    dist::encode_space::SQ8GlobalHeader _global;
    std::pmr::vector<float> _centroid;
    std::pmr::vector<dist::encode_space::SQ8VectorHeader> _headers;
    std::pmr::vector<uint8_t> _codes;
};

}  // namespace orvane::quantizer
