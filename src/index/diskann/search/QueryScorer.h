// QueryScorer: the distances a DiskANN query needs. Candidates are ranked by
// the in-memory encoding (every code in memory); a node read from its record
// is scored exactly, by the raw vector in the record or, for an index whose
// records hold a disk encoding, by that encoding's code. Every distance is
// lower-is-better: an evaluator whose values are better when higher has them
// negated, and the raw inner product is negated by the calculator.
//
// Thread-safety: loaded by Open on one thread; afterwards const and safe for
// any number of queries at once, each with its own context.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>

#include "distance/MetricE.h"
#include "encoding/QuantizerEvaluatorBase.h"
#include "index/diskann/format/DiskANNRecords.h"
#include "index/diskann/format/GraphNode.h"
#include "index/diskann/graph/DiskANNContext.h"
#include "index/diskann/graph/DistanceCalcutor.h"
#include "io/InputStream.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"

namespace orvane::index::diskann {

class QueryScorer : public core::NoCopyable {
  public:
    // Installs the exact distance of `metric`; false for an unknown metric.
    bool SetMetric(dist::MetricE metric, uint32_t dimension);
    // Opens the in-memory encoding from the encoder section; its count must
    // be the index's.
    core::Status LoadEncoder(io::InputStream& stream, const DiskANNIndexMeta& meta,
                             std::pmr::memory_resource& resource);
    // Loads the disk encoding's model from its section.
    core::Status LoadDiskEncoder(io::InputStream& stream, uint32_t count,
                                 std::pmr::memory_resource& resource);

    // Prepares `query` for both encodings into the context.
    core::Status Prepare(std::span<const float> query, DiskANNContext& ctx) const;
    // The in-memory codes' distances of `ids` to the prepared query.
    core::Status Encoded(std::span<const uint64_t> ids, std::span<float> out,
                         const DiskANNContext& ctx) const;
    // Asks for the in-memory codes of `ids`, to be scored soon.
    void PrefetchEncoded(std::span<const uint32_t> ids) const {
        _quantizerEvaluator->PrefetchRows(ids);
    }
    // The exact distance of node `id`, whose record is `node`.
    core::Status Exact(const float* query, uint32_t id, const GraphNode& node,
                       const DiskANNContext& ctx, float& distance) const;

  private:
    std::unique_ptr<quantizer::QuantizerEvaluatorBase> _quantizerEvaluator;
    std::unique_ptr<quantizer::QuantizerEvaluatorBase> _diskQuantizerEvaluator;
    DistanceCalcutor _calculator;
    uint32_t _dimension = 0;
};

}  // namespace orvane::index::diskann
