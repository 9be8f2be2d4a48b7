// The sq8 evaluators: the model is the global header and the centroid; each
// stored vector is a 24-byte SQ8VectorHeader (loaded by both Open and Load)
// and dimension code bytes (loaded by Open only). EvalWithCode takes the
// dimension code bytes of a vector and pairs them with its stored header.
//
// Rows are scored in the expanded form of SQ8ExpandedEval.h, which reads each
// code byte once for one multiply-add; Open keeps the sums of every stored
// row's codes (8 bytes per row) for it. A row has the same score whether it is
// scored alone, in a list of ids or in a range.
#pragma once

#include <memory_resource>
#include <vector>

#include "encoding/QuantizerEvaluator.h"
#include "encoding/RowArrays.h"
#include "encoding/sq8/SQ8EncodeSpace.h"
#include "encoding/sq8/SQ8ExpandedEval.h"

namespace orvane::quantizer {

template <dist::MetricE M>
class QuantizerEvaluator<M, dist::encode_space::EncodingE::sq8> final
    : public QuantizerEvaluatorBase,
      public RowArrays {
  public:
    // The prepared query with the sums the expanded form needs.
    struct ScanQuery {
        dist::encode_space::PreparedSQ8 prepared;
        dist::encode_space::SQ8QuerySums sums;
    };
    using Prepared = PreparedImpl<ScanQuery>;

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

  protected:
    core::Status DoOpen(const std::shared_ptr<SectionReader>& reader, uint64_t offset) override;
    core::Status DoLoad(const std::shared_ptr<SectionReader>& reader, uint64_t offset,
                        uint64_t& cursor) override;

  private:
    float Score(const ScanQuery& query, uint64_t id, const uint8_t* codes,
                const dist::encode_space::SQ8CodeStats& stats) const;
    // Turns the dot product of stored row `id` into its score.
    float FinishStored(const ScanQuery& query, uint64_t id, float dot) const {
        return dist::encode_space::FinishSQ8Expanded<M>(query.prepared.View(), query.sums,
                                                        _headers[id], _codeStats[id], dot);
    }

    dist::encode_space::SQ8GlobalHeader _global;
    std::pmr::vector<float> _centroid;
    std::pmr::vector<dist::encode_space::SQ8VectorHeader> _headers;
    std::pmr::vector<uint8_t> _codes;
    std::pmr::vector<dist::encode_space::SQ8CodeStats> _codeStats;  // per stored row, after Open
};

}  // namespace orvane::quantizer
