// Batch encoding of the pq encode space. Rows are encoded a block of 64 at a
// time so that the nearest-centroid search of a chunk is one matrix product of
// the block's sub-vectors with the chunk's centroids; chunks of at most 8
// components, too shallow for a product, are scored from a transposed layout.
#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "encoding/pq/PQEncodeSpace.h"
#include "encoding/pq/PQNarrowChunk.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"
#include "util/parallel/MultiThreadStepProcess.h"

namespace orvane::dist::encode_space {

using core::ErrorCode;

namespace {

using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using RowMap = Eigen::Map<RowMatrix>;
using ConstRowMap = Eigen::Map<const RowMatrix>;

constexpr uint64_t kBlockRows = 64;
constexpr float kMinNorm = 1e-9f;

// Writes, for each row of x, the index of its nearest centroid to
// out[r * outStride]. `dist` is scratch of at least x.rows() x 256 floats.
template <typename Rows>
void NearestCenters(const Rows& x, const ConstRowMap& centroids, const float* centroidNorms,
                    float* dist, uint8_t* out, uint64_t outStride) {
    const auto rows = x.rows();
    const auto count = centroids.rows();
    RowMap dots(dist, rows, count);
    dots.noalias() = x * centroids.transpose();
    for (Eigen::Index r = 0; r < rows; ++r) {
        const float xNorm = x.row(r).squaredNorm();
        float best = std::numeric_limits<float>::max();
        uint32_t bestIndex = 0;
        for (Eigen::Index c = 0; c < count; ++c) {
            const float d = xNorm + centroidNorms[c] - 2.0f * dots(r, c);
            if (d < best) {
                best = d;
                bestIndex = static_cast<uint32_t>(c);
            }
        }
        out[r * outStride] = static_cast<uint8_t>(bestIndex);
    }
}

// The codebooks regrouped per chunk: chunk k's 256 centroids lie back to back
// (256 x w_k floats starting at 256 * offsets[k]), with their squared norms.
struct ChunkCentroids {
    ChunkCentroids(const PQModel& model, dimension_t d, std::pmr::memory_resource& resource)
        : values(uint64_t{kPQCentroidCount} * d, 0.0f, &resource),
          norms(uint64_t{kPQCentroidCount} * model.header.numChunks, 0.0f, &resource),
          narrow(&resource),
          offsets(model.chunkOffsets) {
        const uint32_t m = model.header.numChunks;
        narrow.resize(m);
        for (uint32_t k = 0; k < m; ++k) {
            const uint32_t w = Width(k);
            float* chunk = values.data() + uint64_t{kPQCentroidCount} * offsets[k];
            for (uint32_t j = 0; j < kPQCentroidCount; ++j) {
                const float* src = model.codebooks.data() + uint64_t{j} * d + offsets[k];
                std::copy(src, src + w, chunk + uint64_t{j} * w);
                float n = 0.0f;
                for (uint32_t c = 0; c < w; ++c) n += src[c] * src[c];
                norms[uint64_t{k} * kPQCentroidCount + j] = n;
            }
            if (w != 0 && w <= NarrowChunk::kMaxWidth) {
                narrow[k].Load(chunk, kPQCentroidCount, w,
                               norms.data() + uint64_t{k} * kPQCentroidCount);
            }
        }
    }

    uint32_t Width(uint32_t k) const { return offsets[k + 1] - offsets[k]; }
    const float* Centroid(uint32_t k, uint32_t j) const {
        return values.data() + uint64_t{kPQCentroidCount} * offsets[k] + uint64_t{j} * Width(k);
    }
    ConstRowMap Chunk(uint32_t k) const {
        return ConstRowMap(values.data() + uint64_t{kPQCentroidCount} * offsets[k],
                           kPQCentroidCount, Width(k));
    }

    std::pmr::vector<float> values;
    std::pmr::vector<float> norms;
    std::pmr::vector<NarrowChunk> narrow;  // loaded for chunks of at most 8 components
    const std::vector<uint32_t>& offsets;
};

// Per-task scratch, carved out of one allocation made before the fan-out.
struct BlockScratch {
    float* work;     // kBlockRows x d
    float* rotated;  // kBlockRows x d (OPQ only)
    float* dist;     // kBlockRows x 256
    float* recon;    // d
};

class BlockEncoder {
  public:
    BlockEncoder(const PQModel& model, std::span<const float> src, const EncodedBatchBuilder& out,
                 dimension_t d, const ChunkCentroids& centroids)
        : _model(model), _src(src), _out(out), _d(d), _centroids(centroids) {}

    void Encode(uint64_t begin, uint64_t end, const BlockScratch& s) const {
        const auto rows = static_cast<Eigen::Index>(end - begin);
        const bool ip = _model.header.metricType == MetricE::ip;
        RowMap work(s.work, rows, _d);
        work = ConstRowMap(_src.data() + begin * _d, rows, _d);
        if (ip) NormalizeRows(work, begin);

        const float* encoded = s.work;
        if (_model.header.useOpq) {
            RowMap rotated(s.rotated, rows, _d);
            rotated.noalias() = work * ConstRowMap(_model.rotation.data(), _d, _d);
            encoded = s.rotated;
        }
        const ConstRowMap x(encoded, rows, _d);
        uint8_t* codes = _out.data.data() + begin * _out.stride;
        for (uint32_t k = 0; k < _model.header.numChunks; ++k) {
            const uint32_t w = _centroids.Width(k);
            if (w == 0) {
                for (Eigen::Index r = 0; r < rows; ++r) codes[r * _out.stride + k] = 0;
                continue;
            }
            if (w <= NarrowChunk::kMaxWidth) {
                _centroids.narrow[k].Nearest(encoded + _centroids.offsets[k],
                                             static_cast<uint64_t>(rows), _d, codes + k,
                                             _out.stride);
                continue;
            }
            NearestCenters(x.middleCols(_centroids.offsets[k], w), _centroids.Chunk(k),
                           _centroids.norms.data() + uint64_t{k} * kPQCentroidCount, s.dist,
                           codes + k, _out.stride);
        }
        if (ip) DivideByReconstructionNorms(codes, begin, rows, s.recon);
    }

  private:
    // Scales each row to unit length and records its norm as the IP factor.
    void NormalizeRows(RowMap& work, uint64_t begin) const {
        for (Eigen::Index r = 0; r < work.rows(); ++r) {
            float sq = 0.0f;
            for (Eigen::Index c = 0; c < work.cols(); ++c) sq += work(r, c) * work(r, c);
            const float norm = std::sqrt(sq);
            WriteFactor(begin + r, norm);
            work.row(r) *= norm < kMinNorm ? 1.0f : 1.0f / norm;
        }
    }

    // IP factor = |x| / |x_hat|, x_hat the row rebuilt from its centroids.
    void DivideByReconstructionNorms(const uint8_t* codes, uint64_t begin, Eigen::Index rows,
                                     float* recon) const {
        for (Eigen::Index r = 0; r < rows; ++r) {
            const uint8_t* rowCodes = codes + r * _out.stride;
            for (uint32_t k = 0; k < _model.header.numChunks; ++k) {
                const float* c = _centroids.Centroid(k, rowCodes[k]);
                std::copy(c, c + _centroids.Width(k), recon + _centroids.offsets[k]);
            }
            float sq = 0.0f;
            for (dimension_t c = 0; c < _d; ++c) sq += recon[c] * recon[c];
            const float norm = std::sqrt(sq);
            if (norm > kMinNorm) WriteFactor(begin + r, ReadFactor(begin + r) / norm);
        }
    }

    void WriteFactor(uint64_t row, float f) const {
        std::memcpy(_out.aux.data() + row * sizeof(float), &f, sizeof(f));
    }
    float ReadFactor(uint64_t row) const {
        float f;
        std::memcpy(&f, _out.aux.data() + row * sizeof(float), sizeof(f));
        return f;
    }

    const PQModel& _model;
    std::span<const float> _src;
    const EncodedBatchBuilder& _out;
    const dimension_t _d;
    const ChunkCentroids& _centroids;
};

// Checks that the model fits rows of d components; FailedPrecondition if not.
ErrorCode CheckModel(const PQModel& model, uint64_t d) {
    const PQGlobalHeader& h = model.header;
    if (d == 0 || d > std::numeric_limits<dimension_t>::max()) return ErrorCode::FailedPrecondition;
    if (h.ks != kPQCentroidCount || model.codebooks.size() % h.ks != 0 ||
        model.codebooks.size() / h.ks != d) {
        return ErrorCode::FailedPrecondition;
    }
    if (h.numChunks == 0 || h.numChunks > d ||
        model.chunkOffsets.size() != uint64_t{h.numChunks} + 1 ||
        !ValidChunkOffsets(model.chunkOffsets, static_cast<dimension_t>(d))) {
        return ErrorCode::FailedPrecondition;
    }
    if (h.useOpq && model.rotation.size() != d * d) return ErrorCode::FailedPrecondition;
    if (h.metricType != MetricE::l2 && h.metricType != MetricE::ip) {
        return ErrorCode::FailedPrecondition;
    }
    return ErrorCode::Ok;
}

// Checks that the builder holds n rows at its stride (and n IP factors for ip).
bool BuilderFits(const EncodedBatchBuilder& out, uint32_t m, bool ip) {
    if (out.stride < m) return false;
    if (out.data.size() < m || (out.data.size() - m) / out.stride < out.n - 1) return false;
    return !ip || out.aux.size() / sizeof(float) >= out.n;
}

}  // namespace

void ComputeClosestCentersL2(const float* data, uint64_t numVectors, uint32_t chunkSize,
                             const float* codebooks, uint32_t numCentroids, uint32_t threadCount,
                             uint8_t* closestCenters) {
    (void)threadCount;
    if (numVectors == 0) return;
    numCentroids = std::min(numCentroids, kPQCentroidCount);
    if (numCentroids == 0 || chunkSize == 0) {
        std::fill(closestCenters, closestCenters + numVectors, 0);
        return;
    }
    const ConstRowMap centroids(codebooks, numCentroids, chunkSize);
    const Eigen::VectorXf norms = centroids.rowwise().squaredNorm();
    if (chunkSize <= NarrowChunk::kMaxWidth) {
        auto chunk = std::make_unique<NarrowChunk>();
        chunk->Load(codebooks, numCentroids, chunkSize, norms.data());
        chunk->Nearest(data, numVectors, chunkSize, closestCenters, 1);
        return;
    }
    std::vector<float> dist(kBlockRows * numCentroids);
    for (uint64_t s = 0; s < numVectors; s += kBlockRows) {
        const auto rows = static_cast<Eigen::Index>(std::min(kBlockRows, numVectors - s));
        const ConstRowMap x(data + s * chunkSize, rows, chunkSize);
        NearestCenters(x, centroids, norms.data(), dist.data(), closestCenters + s, 1);
    }
}

ErrorCode TagInvoke(EncodeBatchTag, const PQModel& model, std::span<const float> src,
                    EncodedBatchBuilder out, std::pmr::memory_resource& resource) {
    if (out.n == 0 || src.size() % out.n != 0) return ErrorCode::FailedPrecondition;
    const uint64_t d = src.size() / out.n;
    if (const ErrorCode rc = CheckModel(model, d); rc != ErrorCode::Ok) return rc;
    const bool ip = model.header.metricType == MetricE::ip;
    if (!BuilderFits(out, model.header.numChunks, ip)) return ErrorCode::InvalidArgument;

    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Compute);
    if (!executor.IsOk()) {
        ORVANE_LOG_STATUS_WARN(executor.GetStatus(), "Failed to create executor");
        return executor.GetStatus().Code();
    }
    if (model.threadCount == 0) return ErrorCode::InvalidArgument;

    const uint64_t blockRows = std::min(out.n, kBlockRows);
    const uint64_t blocks = (out.n + blockRows - 1) / blockRows;
    const uint64_t tasks = std::min<uint64_t>(model.threadCount, blocks);
    const uint64_t perTask = 2 * blockRows * d + blockRows * kPQCentroidCount + d;
    std::pmr::vector<float> scratch(tasks * perTask, 0.0f, &resource);

    const ChunkCentroids centroids(model, static_cast<dimension_t>(d), resource);
    const BlockEncoder encoder(model, src, out, static_cast<dimension_t>(d), centroids);
    return util::MultiThreadStepProcess(
        0, blocks, tasks, *executor.Value(), [&](uint64_t task, uint64_t block) {
            float* base = scratch.data() + task * perTask;
            const BlockScratch s{base, base + blockRows * d, base + 2 * blockRows * d,
                                 base + 2 * blockRows * d + blockRows * kPQCentroidCount};
            const uint64_t begin = block * blockRows;
            encoder.Encode(begin, std::min(out.n, begin + blockRows), s);
            return ErrorCode::Ok;
        });
}

}  // namespace orvane::dist::encode_space
