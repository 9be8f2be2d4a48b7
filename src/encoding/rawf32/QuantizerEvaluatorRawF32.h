// The rawf32 evaluators: the stored rows are the vectors themselves
// (`_embeddings`, count * dimension floats, loaded by Open), scored with the
// metric kernels. Load reads nothing; EvalWithCode takes 4 * dimension bytes.
// The prepared query refers to the caller's floats, which must outlive it.
// RawF32Rows hands the stored floats to code that scores many queries at once
// by matrix products (the bruteforce batch scan).
#pragma once

#include <memory_resource>
#include <vector>

#include "encoding/QuantizerEvaluator.h"
#include "encoding/RowArrays.h"
#include "encoding/rawf32/RawF32EncodeSpace.h"

namespace orvane::quantizer {

template <dist::MetricE M>
class QuantizerEvaluator<M, dist::encode_space::EncodingE::rawf32> final
    : public QuantizerEvaluatorBase,
      public RowArrays {
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
    std::vector<RowArray> MutableRowArrays() override;
    // The stored rows, Count() x Dimension() floats; empty before Open.
    std::span<const float> Rows() const { return _embeddings; }

  protected:
    core::Status DoOpen(const std::shared_ptr<SectionReader>& reader, uint64_t offset) override;
    core::Status DoLoad(const std::shared_ptr<SectionReader>& reader, uint64_t offset,
                        uint64_t& cursor) override;

  private:
    std::pmr::vector<float> _embeddings;
};

// The stored rows of `evaluator` as Count() x Dimension() floats, row after
// row, when it is a rawf32 evaluator; empty for other encodings and before Open.
std::span<const float> RawF32Rows(const QuantizerEvaluatorBase& evaluator);

}  // namespace orvane::quantizer
