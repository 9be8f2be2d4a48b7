// QuantizerTrainer: learns an encoding from sample vectors, encodes the vectors
// an index appends, and writes the model and the codes as a quantizer stream
// (layout in QuantizerMeta.h).
//
// Lifecycle, driven by one thread (the builder's):
//   construction -> Pretrain -> Reserve(total) -> EncodeBatch... -> Serialize
// (or SerializeQuantizerInfo + SerializeEncode per vector, or
// SerializeWithMapping). A checkpoint resume replaces the first steps with
// Deserialize, after which Reserve and encoding continue. The trainer enforces
// only its own invariants: encoding stays within the reserved count, a failed
// EncodeBatch leaves Count() unchanged, and a failed Deserialize leaves the
// trainer as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <string>

#include "orvane/core/ErrorCode.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"
#include "distance/MetricE.h"
#include "encoding/EncodingE.h"
#include "encoding/QuantizerMeta.h"
#include "encoding/QuantizerWriter.h"
#include "io/InputStream.h"

namespace orvane::quantizer {

class QuantizerTrainer : public core::NoCopyable {
  public:
    using SectionReader = io::InputStream::SectionReader;

    QuantizerTrainer(dist::dimension_t dimension, dist::encode_space::EncodingE encoding,
                     dist::MetricE metric, std::pmr::memory_resource& resource);
    virtual ~QuantizerTrainer();

    // Learns the model from n rows of `dim` floats held back to back in `data`.
    virtual core::ErrorCode Pretrain(std::span<const float> data, uint64_t n,
                                     dist::dimension_t dim) = 0;
    // `outer` as a Status of `code`, followed by ": " and the reason the last
    // failed Pretrain gave, when it gave one (Pretrain reports a bare code).
    core::Status Explain(core::ErrorCode code, const std::string& outer) const {
        return core::Status(code, _lastError.empty() ? outer : outer + ": " + _lastError);
    }
    // Bytes of one vector's stored code (what SerializeEncode writes per id).
    virtual uint64_t GetEncodedNodeSize() const = 0;

    // Makes room for n vectors in total; on Ok the reserved count becomes n.
    core::Status Reserve(uint64_t n);
    // Encodes n rows of `dim` floats. InvalidArgument, changing nothing, when n
    // exceeds the reserved room left or `data` holds fewer than n rows; on Ok
    // Count() grows by n.
    core::ErrorCode EncodeBatch(std::span<const float> data, uint64_t n, dist::dimension_t dim);

    // Workers of the Build executor that EncodeBatch may spread its rows over
    // (0 counts as 1, which encodes on the calling thread). An encoding that
    // has a thread count option of its own, or nothing to spread, ignores it.
    // The codes are the same for every count.
    void SetEncodeThreads(uint32_t threads) { _encodeThreads = threads == 0 ? 1 : threads; }
    uint32_t EncodeThreads() const { return _encodeThreads; }

    uint64_t Count() const { return _count; }
    uint64_t ReservedCount() const { return _reservedCount; }
    dist::dimension_t Dimension() const { return _dimension; }
    dist::encode_space::EncodingE EncodingType() const { return _encodingType; }
    dist::MetricE Metric() const { return _metricType; }
    // Everything but rawf32 learns a model.
    bool IsTrainable() const { return _encodingType != dist::encode_space::EncodingE::rawf32; }

    // The 20-byte QuantizerMeta.
    core::Status SerializeQuantizerMeta(const QuantizerWriter& writer) const;
    // The whole quantizer stream: the meta, then the encoding's part.
    core::Status Serialize(const QuantizerWriter& writer);
    // Restores count, dimension, metric, model and codes from a quantizer
    // stream at offset 0 of the section. A stream of another encoding is
    // refused with InvalidArgument; on any failure the trainer is unchanged.
    core::Status Deserialize(const std::shared_ptr<SectionReader>& reader);

  protected:
    // Records why Pretrain fails (also logged at Error) and returns `code`.
    core::ErrorCode FailPretrain(core::ErrorCode code, std::string reason);

    // The encoding's part of the stream (everything after the meta).
    virtual core::Status DoSerialize(const QuantizerWriter& writer) = 0;
    // Reads the encoding's part starting at `offset`, with the meta's count,
    // dimension and metric already in place. Must change nothing on failure.
    // The default refuses with NotSupported.
    virtual core::Status DoDeserialize(const std::shared_ptr<SectionReader>& reader,
                                       uint64_t offset);
    // Encodes n rows; on failure Count() is not advanced.
    virtual core::ErrorCode DoEncodeBatch(std::span<const float> data, uint64_t n,
                                          dist::dimension_t dim) = 0;
    virtual core::Status DoReserve(uint64_t n) = 0;

    QuantizerMeta MakeMeta() const;

    // Writes row `id` of `rows` (rows of `width` values back to back);
    // FailedPrecondition with `outOfRange` when id is not below Count().
    template <typename T>
    core::Status WriteStoredRow(const QuantizerWriter& writer, std::span<const T> rows, uint64_t id,
                                uint64_t width, const char* outOfRange) const {
        if (id >= _count || (width != 0 && id >= rows.size() / width)) {
            return core::Status(core::ErrorCode::FailedPrecondition, outOfRange);
        }
        return WriteSpan(writer, rows.subspan(id * width, width));
    }

    dist::dimension_t _dimension;
    uint64_t _count = 0;
    uint64_t _reservedCount = 0;
    uint32_t _encodeThreads = 1;
    dist::encode_space::EncodingE _encodingType;
    dist::MetricE _metricType;
    std::pmr::memory_resource& _resource;
    std::string _lastError;  // why the last Pretrain failed; empty after a success
};

}  // namespace orvane::quantizer
