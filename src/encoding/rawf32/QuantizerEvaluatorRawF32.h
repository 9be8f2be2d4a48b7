// The rawf32 evaluators: the stored rows are the vectors themselves
// (`_embeddings`, count * dimension floats, loaded by Open), scored with the
// metric kernels. Load reads nothing; EvalWithCode takes 4 * dimension bytes.
// The prepared query refers to the caller's floats, which must outlive it.
#pragma once

#include <memory_resource>
#include <vector>

#include "encoding/QuantizerEvaluator.h"
#include "encoding/rawf32/RawF32EncodeSpace.h"

namespace orvane::quantizer {

template <dist::MetricE M>
class QuantizerEvaluator<M, dist::encode_space::EncodingE::rawf32> final
    : public QuantizerEvaluatorBase {
  public:
    using Prepared = PreparedImpl<dist::encode_space::PreparedRawF32>;

    QuantizerEvaluator(std::pmr::memory_resource& resource, const QuantizerMeta& meta);

    core::Result<std::unique_ptr<PreparedBase>> PrepareQuery(
        std::span<const float> query) const override;
    core::ErrorCode BatchEval(const PreparedBase& prepared, std::span<const uint64_t> ids,
                              std::span<float> out) const override;
    core::ErrorCode EvalWithCode(const PreparedBase& prepared, uint64_t id,
                                 std::span<const uint8_t> code, float& out) const override;
    bool LowerIsBetter() const override { return dist::MetricT<M>::LowerIsBetter; }
    core::ErrorCode RangeEval(const PreparedBase& prepared, uint64_t first,
                              std::span<float> out) const override;
    std::span<const float> RawRows() const override { return _embeddings; }

  protected:
    core::Status DoOpen(const std::shared_ptr<SectionReader>& reader, uint64_t offset) override;
    core::Status DoLoad(const std::shared_ptr<SectionReader>& reader, uint64_t offset,
                        uint64_t& cursor) override;
    void DoGatherRows(std::span<const uint64_t> order) override;

  private:
    std::pmr::vector<float> _embeddings;
};

}  // namespace orvane::quantizer
