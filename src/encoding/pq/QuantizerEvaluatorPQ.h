// The pq evaluators (l2 and ip; pq has no cosine evaluator). The model is the
// PQGlobalHeader, the chunk offsets, the codebooks and, with OPQ, the
// rotation; each stored vector is one PQRowSize row (loaded by Open only).
// A prepared query is its m x 256 distance table, so scoring a row costs m
// table lookups; batches score several rows at once, each summed in chunk
// order, so that the lookups of different rows overlap.
#pragma once

#include <memory_resource>
#include <vector>

#include "encoding/QuantizerEvaluator.h"
#include "encoding/RowArrays.h"
#include "encoding/pq/PQEncodeSpace.h"

namespace orvane::quantizer {

template <dist::MetricE M>
requires dist::encode_space::PQMetric<M>
class QuantizerEvaluator<M, dist::encode_space::EncodingE::pq> final
    : public QuantizerEvaluatorBase,
      public RowArrays {
  public:
    using Prepared = PreparedImpl<dist::encode_space::PreparedPQ>;

    QuantizerEvaluator(std::pmr::memory_resource& resource, const QuantizerMeta& meta);

    core::Result<std::unique_ptr<PreparedBase>> PrepareQuery(
        std::span<const float> query) const override;
    core::Status PrepareQueryInto(std::span<const float> query,
                                  std::unique_ptr<PreparedBase>& prepared) const override;
    core::ErrorCode BatchEval(const PreparedBase& prepared, std::span<const uint64_t> ids,
                              std::span<float> out) const override;
    core::ErrorCode EvalWithCode(const PreparedBase& prepared, uint64_t id,
                                 std::span<const uint8_t> code, float& out) const override;
    bool LowerIsBetter() const override { return dist::MetricT<M>::LowerIsBetter; }
    void PrefetchRows(std::span<const uint32_t> ids) const override;
    core::ErrorCode RangeEval(const PreparedBase& prepared, uint64_t first,
                              std::span<float> out) const override;
    std::vector<RowArray> MutableRowArrays() override;

  protected:
    core::Status DoOpen(const std::shared_ptr<SectionReader>& reader, uint64_t offset) override;
    core::Status DoLoad(const std::shared_ptr<SectionReader>& reader, uint64_t offset,
                        uint64_t& cursor) override;

  private:
    uint64_t RowSize() const { return dist::encode_space::PQRowSize(_header.numChunks, M); }

    dist::encode_space::PQGlobalHeader _header;
    std::pmr::vector<uint32_t> _chunkOffsets;
    std::pmr::vector<float> _codebooks;
    // The codebooks component-major, from which query tables are computed.
    std::pmr::vector<float> _codebooksByComponent;
    std::pmr::vector<uint8_t> _codes;
    std::pmr::vector<float> _rotationMatrix;
};

}  // namespace orvane::quantizer
