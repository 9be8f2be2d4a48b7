// PQTrainer: the trainer of the pq encoding. Pretrain learns the chunk
// offsets and the per-chunk codebooks, by independent k-means per chunk or,
// with OPQ, by 20 rounds alternating per-chunk k-means and an orthogonal
// rotation fitted by SVD. Appended vectors become PQRowSize bytes each (codes,
// and for ip an IP factor). Serialize writes the pq quantizer stream.
//
// Options (a value of another type counts as absent):
//   "encoding.pq.m" (8)              chunks
//   "encoding.pq.use_opq" (false)    learn a rotation
//   "encoding.pq.thread_count" (1)   k-means assignment and encoding workers
//   "encoding.pq.max_epoch" (12, or 8 with OPQ)  k-means epochs per chunk
//   "encoding.pq.make_zero_mean" (false)  centre the samples before per-chunk
//       k-means; ignored for ip and with OPQ
//
// For ip both pretraining paths train on unit-length rows, as the encoder
// encodes them. A successful Pretrain drops every vector encoded before it.
#pragma once

#include <memory_resource>
#include <vector>

#include "coro/Executor.h"
#include "encoding/CustomizedSerializeQuantizerInterface.h"
#include "encoding/QuantizerTrainer.h"
#include "encoding/SerializeWithMappingInterface.h"
#include "encoding/pq/PQTypes.h"
#include "orvane/api/Options.h"

namespace orvane::quantizer {

class PQTrainer : public QuantizerTrainer,
                  public SerializeWithMappingInterface,
                  public CustomizedSerializeQuantizerInterface {
  public:
    // OPQ rounds; each runs every chunk's k-means and one SVD.
    static constexpr uint32_t kOpqIterations = 20;

    PQTrainer(dist::dimension_t dimension, dist::MetricE metric,
              std::pmr::memory_resource& resource, const api::QuantizerOptions& options);

    // InvalidArgument for a dim other than the trainer's, more chunks than
    // components, no rows or data shorter than n rows; a k-means or SVD
    // failure returns its code (chunks trained before keep their codebooks).
    core::ErrorCode Pretrain(std::span<const float> data, uint64_t n,
                             dist::dimension_t dim) override;
    uint64_t GetEncodedNodeSize() const override;

    // Header, chunk offsets, codebooks, the rows of ids mapping[0 .. count),
    // then the rotation (OPQ). InvalidArgument when mapping does not hold
    // exactly count ids; FailedPrecondition for an id out of range.
    core::Status SerializeWithMapping(const QuantizerWriter& writer,
                                      const std::vector<uint64_t>& mapping) override;
    core::Status SerializeQuantizerInfo(const QuantizerWriter& writer) override;
    // The stored row of vector id: codes, and for ip padding and IP factor.
    core::Status SerializeEncode(uint64_t id, const QuantizerWriter& writer) override;

    const dist::encode_space::PQModel& Model() const { return _model; }
    std::span<const uint8_t> Codes() const { return _codes; }
    std::span<const float> IpFactors() const { return _ipFactors; }
    uint32_t MaxEpoch() const { return _maxEpoch; }
    bool MakesZeroMean() const { return _makeZeroMean; }

  protected:
    core::Status DoSerialize(const QuantizerWriter& writer) override;
    core::Status DoSerializeInfo(const QuantizerWriter& writer) override;
    core::Status DoDeserialize(const std::shared_ptr<SectionReader>& reader,
                               uint64_t offset) override;
    core::ErrorCode DoEncodeBatch(std::span<const float> data, uint64_t n,
                                  dist::dimension_t dim) override;
    core::Status DoReserve(uint64_t n) override;

  private:
    core::ErrorCode PretrainWithPQ(std::span<const float> data, uint64_t n);
    // The training sub-vectors of chunks first .. last - 1 (weighted for ip,
    // centred with make_zero_mean) into subs[0 .. last - first), in one pass
    // over the rows.
    void GatherChunks(std::span<const float> data, uint64_t n, const std::vector<float>& weights,
                      uint32_t first, uint32_t last, std::pmr::vector<float>* subs) const;
    // Trains chunk k's 256 centroids into the codebooks from its sub-vectors.
    core::ErrorCode FitChunk(uint32_t k, std::span<const float> sub, uint32_t threadCount,
                             coro::Executor* executor, std::pmr::memory_resource& resource);
    // With at least this many chunks per thread, whole chunks are trained in parallel.
    static constexpr uint32_t kChunksPerTaskForChunkFanOut = 4;
    // Chunks trained in parallel are gathered in groups of at most this many
    // components, so that one pass over the rows reads each cache line once for
    // the whole group instead of once per chunk.
    static constexpr uint32_t kGatherComponents = 16;
    core::ErrorCode PretrainWithOPQ(std::span<const float> data, uint64_t n);
    // 1 / |x_i| for ip (1 for a zero row), 1 for the other metrics.
    std::vector<float> RowWeights(std::span<const float> data, uint64_t n) const;
    void MakeZeroMean(std::span<const float> data, uint64_t n, const std::vector<float>& weights);
    // Chunk offsets for the current chunk count and 256 zeroed codebook rows.
    void ResetModel();
    // The row part of the stream for vector id (no range check).
    core::Status WriteRow(uint64_t id, const QuantizerWriter& writer) const;

    dist::encode_space::PQModel _model;
    uint32_t _maxEpoch = 12;
    bool _makeZeroMean = false;
    std::vector<float> _zeroMeanCentroids;
    std::pmr::vector<uint8_t> _codes;    // count rows of numChunks bytes
    std::pmr::vector<float> _ipFactors;  // one per row, ip only
};

}  // namespace orvane::quantizer
