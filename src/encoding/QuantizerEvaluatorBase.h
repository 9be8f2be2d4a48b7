// QuantizerEvaluatorBase: the search-time counterpart of a trainer, and the
// whole scoring interface the index kinds use. It reads a quantizer stream
// (QuantizerMeta.h) from a section, turns a query into a prepared form once
// (PrepareQuery, PrepareQueryInto), then scores the prepared query against
// stored rows given by ids (BatchEval) or by a range (RangeEval), or against
// code bytes the caller supplies (EvalWithCode).
//
// Lifecycle: created by LoadQuantizerEvaluator with the stream's meta ->
// Open (model and every vector's code) or Load (the model only, plus the sq8
// per-vector headers) -> any number of PrepareQuery / EvalWithCode /
// BatchEval / RangeEval calls, which may run concurrently, each with its own
// prepared query. A failed Open or Load leaves the evaluator as it was.
// BatchEval and RangeEval need Open; EvalWithCode and PrepareQuery need Open
// or Load (else FailedPrecondition).
//
// What only one kind needs is not declared here: the per-row arrays that IVF
// re-orders are a separate interface every evaluator also implements
// (RowArrays.h), and the stored floats that the bruteforce batch scan
// multiplies are read from the rawf32 evaluator itself (RawF32Rows in
// rawf32/QuantizerEvaluatorRawF32.h).
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <utility>

#include "distance/MetricE.h"
#include "encoding/EncodingE.h"
#include "encoding/QuantizerMeta.h"
#include "io/InputStream.h"
#include "orvane/core/ErrorCode.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/core/Result.h"
#include "orvane/core/Status.h"

namespace orvane::quantizer {

// A query in the form one evaluator scores; only valid with the evaluator
// (and, for rawf32, the query floats) that produced it.
class PreparedBase {
  public:
    virtual ~PreparedBase() = default;
};

// The prepared form of one encode space, as an evaluator hands it out.
template <typename Prepared>
class PreparedImpl final : public PreparedBase {
  public:
    explicit PreparedImpl(Prepared prepared) : _prepared(std::move(prepared)) {}
    const Prepared& Get() const { return _prepared; }
    Prepared& Mutable() { return _prepared; }

  private:
    Prepared _prepared;
};

class QuantizerEvaluatorBase : public core::NoCopyable {
  public:
    using SectionReader = io::InputStream::SectionReader;

    QuantizerEvaluatorBase(std::pmr::memory_resource& resource, const QuantizerMeta& meta);
    virtual ~QuantizerEvaluatorBase();

    // InvalidArgument "Query dimension mismatch" for a query of another length.
    virtual core::Result<std::unique_ptr<PreparedBase>> PrepareQuery(
        std::span<const float> query) const = 0;
    // Prepares `query` into `prepared`, reusing its storage when an earlier
    // call of this evaluator filled it, so that a searcher keeping one per
    // thread allocates nothing per query; otherwise (empty, or from another
    // evaluator) replaces it. The same checks as PrepareQuery; on failure
    // `prepared` is unchanged.
    virtual core::Status PrepareQueryInto(std::span<const float> query,
                                          std::unique_ptr<PreparedBase>& prepared) const;
    // out[i] = score of stored vector ids[i], in order. InvalidArgument when the
    // lengths differ or at the first id not below Count() (earlier outputs stay
    // written); FailedPrecondition before Open. Allocates nothing.
    virtual core::ErrorCode BatchEval(const PreparedBase& prepared, std::span<const uint64_t> ids,
                                      std::span<float> out) const = 0;
    // Score of one vector given its stored code bytes; InvalidArgument (out
    // untouched) for a code of the wrong size or an id not below Count().
    virtual core::ErrorCode EvalWithCode(const PreparedBase& prepared, uint64_t id,
                                         std::span<const uint8_t> code, float& out) const = 0;
    virtual bool LowerIsBetter() const = 0;
    // Asks the processor for the codes of `ids` (ids not below Count() are
    // skipped), to be scored soon; changes nothing and never fails.
    virtual void PrefetchRows(std::span<const uint32_t> ids) const { (void)ids; }
    // out[i] = score of stored row first + i for i < out.size(), reading the
    // rows' codes in order (rawf32: one batch-kernel call; sq8: one dot-kernel
    // call per row; pq: blocks of rows whose lookups overlap). InvalidArgument
    // when the range passes Count(), FailedPrecondition before Open. Allocates
    // nothing.
    virtual core::ErrorCode RangeEval(const PreparedBase& prepared, uint64_t first,
                                      std::span<float> out) const = 0;

    // Loads the model and every vector's code from the stream after the meta.
    core::Status Open(const std::shared_ptr<SectionReader>& reader);
    // Loads the model only; codes come with each EvalWithCode.
    core::Status Load(const std::shared_ptr<SectionReader>& reader);

    uint64_t Count() const { return _meta.count; }
    dist::dimension_t Dimension() const { return _meta.dimension; }
    dist::MetricE Metric() const { return _meta.metricType; }
    dist::encode_space::EncodingE EncodingType() const { return _meta.encodingType; }
    const QuantizerMeta& Meta() const { return _meta; }
    bool IsOpened() const { return _opened; }
    bool IsLoaded() const { return _loaded; }

  protected:
    // Both read from `offset` on and must change nothing on failure.
    // Corruption "Unknown quantizer stream version" for a meta of another version.
    core::Status CheckVersion() const;
    virtual core::Status DoOpen(const std::shared_ptr<SectionReader>& reader, uint64_t offset) = 0;
    // `cursor` receives the offset just past what was read.
    virtual core::Status DoLoad(const std::shared_ptr<SectionReader>& reader, uint64_t offset,
                                uint64_t& cursor) = 0;

    // The checks every instance makes before scoring.
    // PrepareQuery: loaded, and a query of Dimension() floats.
    core::Status CheckQuery(std::span<const float> query) const;
    // BatchEval: ids and out of one length, and opened.
    core::ErrorCode CheckBatch(std::span<const uint64_t> ids, std::span<float> out) const;
    // EvalWithCode: loaded, a code of exactly `rowBytes` bytes and id below Count().
    core::ErrorCode CheckCode(uint64_t id, std::span<const uint8_t> code, uint64_t rowBytes) const;
    // RangeEval: opened (for a non-empty range), and [first, first + n) within Count().
    core::ErrorCode CheckRange(uint64_t first, uint64_t n) const;

    QuantizerMeta _meta;
    std::pmr::memory_resource& _resource;

  private:
    bool _opened = false;
    bool _loaded = false;
};

}  // namespace orvane::quantizer
