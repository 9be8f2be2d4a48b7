// PQTrainer: construction, plain PQ pretraining, reservation and encoding.
// OPQ pretraining is in PQTrainerOpq.cc, the stream in PQTrainerStream.cc.
#include "encoding/pq/PQTrainer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory_resource>
#include <string>

#include "encoding/kmeans/Kmeans.h"
#include "encoding/pq/PQEncodeSpace.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"
#include "util/parallel/MultiThreadStepProcess.h"

namespace orvane::quantizer {

using core::ErrorCode;
using core::Status;
using dist::dimension_t;
using dist::MetricE;
using dist::encode_space::EncodingE;
using dist::encode_space::kPQCentroidCount;

PQTrainer::PQTrainer(dimension_t dimension, MetricE metric, std::pmr::memory_resource& resource,
                     const api::QuantizerOptions& options)
    : QuantizerTrainer(dimension, EncodingE::pq, metric, resource),
      _codes(&resource),
      _ipFactors(&resource) {
    _model.header.numChunks = static_cast<uint32_t>(options.GetInt("encoding.pq.m", 8));
    _model.header.ks = kPQCentroidCount;
    _model.header.metricType = metric;
    const bool useOpq = options.GetBool("encoding.pq.use_opq", false);
    _model.header.useOpq = useOpq ? 1 : 0;
    _model.threadCount = static_cast<uint32_t>(options.GetInt("encoding.pq.thread_count", 1));
    _maxEpoch = static_cast<uint32_t>(options.GetInt("encoding.pq.max_epoch", useOpq ? 8 : 12));
    _makeZeroMean =
        options.GetBool("encoding.pq.make_zero_mean", false) && metric != MetricE::ip && !useOpq;
}

ErrorCode PQTrainer::Pretrain(std::span<const float> data, uint64_t n, dimension_t dim) {
    _lastError.clear();
    if (dim != _dimension) {
        return FailPretrain(ErrorCode::InvalidArgument, "PQ Pretrain dimension mismatch [" +
                                                            std::to_string(dim) + "] vs [" +
                                                            std::to_string(_dimension) + "]");
    }
    if (_model.header.numChunks > dim) {
        return FailPretrain(ErrorCode::InvalidArgument,
                            "PQ Pretrain m [" + std::to_string(_model.header.numChunks) +
                                "] is larger than dimension [" + std::to_string(dim) + "]");
    }
    if (n == 0 || n > data.size() / dim) {
        return FailPretrain(ErrorCode::InvalidArgument,
                            "PQ Pretrain needs [" + std::to_string(n) + "] rows of [" +
                                std::to_string(dim) + "] floats, got [" +
                                std::to_string(data.size()) + "] floats");
    }
    // With fewer rows than centroids the untrained centroids stay zero and
    // distances lose their spread. Peers train anyway and warn; so does this.
    if (n < kPQCentroidCount) {
        ORVANE_LOG_WARN(
            "PQ Pretrain trains [%u] centroids per chunk on only [%lu] rows; distances will be "
            "coarse, give at least [%u] rows",
            kPQCentroidCount, static_cast<unsigned long>(n), kPQCentroidCount);
    }
    data = data.first(n * dim);
    // Codes of an earlier model would not match the new one.
    _codes.clear();
    _ipFactors.clear();
    _count = 0;
    return _model.header.UsesOpq() ? PretrainWithOPQ(data, n) : PretrainWithPQ(data, n);
}

uint64_t PQTrainer::GetEncodedNodeSize() const {
    return dist::encode_space::PQRowSize(_model.header.numChunks, _metricType);
}

void PQTrainer::ResetModel() {
    _model.chunkOffsets =
        dist::encode_space::AssignChunkOffsets(_dimension, _model.header.numChunks);
    _model.codebooks.assign(uint64_t{kPQCentroidCount} * _dimension, 0.0f);
}

std::vector<float> PQTrainer::RowWeights(std::span<const float> data, uint64_t n) const {
    std::vector<float> weights(n, 1.0f);
    if (_metricType != MetricE::ip) return weights;
    for (uint64_t i = 0; i < n; ++i) {
        float sq = 0.0f;
        for (dimension_t j = 0; j < _dimension; ++j) {
            const float v = data[i * _dimension + j];
            sq += v * v;
        }
        const float w = 1.0f / std::sqrt(sq);
        weights[i] = std::isfinite(w) ? w : 1.0f;
    }
    return weights;
}

void PQTrainer::MakeZeroMean(std::span<const float> data, uint64_t n,
                             const std::vector<float>& weights) {
    std::vector<double> sums(_dimension, 0.0);
    for (uint64_t i = 0; i < n; ++i) {
        for (dimension_t j = 0; j < _dimension; ++j) {
            sums[j] += double{weights[i]} * data[i * _dimension + j];
        }
    }
    _zeroMeanCentroids.resize(_dimension);
    for (dimension_t j = 0; j < _dimension; ++j) {
        _zeroMeanCentroids[j] = static_cast<float>(sums[j] / static_cast<double>(n));
    }
}

void PQTrainer::GatherChunks(std::span<const float> data, uint64_t n,
                             const std::vector<float>& weights, uint32_t first, uint32_t last,
                             std::pmr::vector<float>* subs) const {
    for (uint32_t k = first; k < last; ++k) {
        subs[k - first].resize(n * (_model.chunkOffsets[k + 1] - _model.chunkOffsets[k]));
    }
    for (uint64_t i = 0; i < n; ++i) {
        const float* row = data.data() + i * _dimension;
        for (uint32_t k = first; k < last; ++k) {
            const uint32_t begin = _model.chunkOffsets[k];
            const uint32_t w = _model.chunkOffsets[k + 1] - begin;
            float* out = subs[k - first].data() + i * w;
            for (uint32_t c = 0; c < w; ++c) {
                float v = row[begin + c] * weights[i];
                if (_makeZeroMean) v -= _zeroMeanCentroids[begin + c];
                out[c] = v;
            }
        }
    }
}

ErrorCode PQTrainer::FitChunk(uint32_t k, std::span<const float> sub, uint32_t threadCount,
                              coro::Executor* executor, std::pmr::memory_resource& resource) {
    const uint32_t begin = _model.chunkOffsets[k];
    const uint32_t w = _model.chunkOffsets[k + 1] - begin;
    if (w == 0) return ErrorCode::Ok;
    auto [status, centroids] = quantizer::KmeansUtil::Kmeans(sub, w, kPQCentroidCount, _maxEpoch,
                                                             threadCount, executor, resource);
    if (!status.IsOk()) {
        ORVANE_LOG_ERROR("K-means clustering failed for chunk [%d]", static_cast<int>(k));
        return status.Code();
    }
    for (uint32_t j = 0; j < kPQCentroidCount; ++j) {
        for (uint32_t c = 0; c < w; ++c) {
            float v = centroids[uint64_t{j} * w + c];
            if (_makeZeroMean) v += _zeroMeanCentroids[begin + c];
            _model.codebooks[uint64_t{j} * _dimension + begin + c] = v;
        }
    }
    return ErrorCode::Ok;
}

ErrorCode PQTrainer::PretrainWithPQ(std::span<const float> data, uint64_t n) {
    ResetModel();
    const std::vector<float> weights = RowWeights(data, n);
    if (_makeZeroMean) MakeZeroMean(data, n, weights);
    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
    if (!executor.IsOk()) {
        ORVANE_LOG_STATUS_WARN(executor.GetStatus(), "Failed to create executor");
        return executor.GetStatus().Code();
    }
    const uint32_t m = _model.header.numChunks;
    const uint32_t threads = _model.threadCount;
    if (threads < 2 || m < kChunksPerTaskForChunkFanOut * threads) {
        // Few chunks: one after another, each k-means spreading its rows over the threads.
        std::pmr::vector<float> sub(&_resource);
        for (uint32_t k = 0; k < m; ++k) {
            GatherChunks(data, n, weights, k, k + 1, &sub);
            const ErrorCode code = FitChunk(k, sub, threads, executor.Value().get(), _resource);
            if (code != ErrorCode::Ok) return code;
        }
        return ErrorCode::Ok;
    }
    // Many chunks: groups of neighbouring chunks are spread over the threads,
    // each chunk trained on one thread, so that the update steps run in
    // parallel too. Chunks are independent, so the model is the same as when
    // they run in order. A group spans at most kGatherComponents components
    // and there stay at least kChunksPerTaskForChunkFanOut groups per thread.
    // The k-means working arrays come from a pool that is safe to share.
    uint32_t widest = 1;
    for (uint32_t k = 0; k < m; ++k) {
        widest = std::max(widest, _model.chunkOffsets[k + 1] - _model.chunkOffsets[k]);
    }
    const uint32_t perGroup = std::max<uint32_t>(
        1, std::min(kGatherComponents / widest, m / (kChunksPerTaskForChunkFanOut * threads)));
    const uint32_t groups = (m + perGroup - 1) / perGroup;
    std::pmr::synchronized_pool_resource pool(&_resource);
    std::vector<std::vector<std::pmr::vector<float>>> subs(threads);
    for (auto& own : subs) {
        for (uint32_t g = 0; g < perGroup; ++g) own.emplace_back(&pool);
    }
    return util::MultiThreadStepProcess(
        0, groups, threads, *executor.Value(), [&](uint64_t task, uint64_t group) {
            const auto first = static_cast<uint32_t>(group * perGroup);
            const uint32_t last = std::min(m, first + perGroup);
            GatherChunks(data, n, weights, first, last, subs[task].data());
            for (uint32_t k = first; k < last; ++k) {
                const ErrorCode code = FitChunk(k, subs[task][k - first], 1, nullptr, pool);
                if (code != ErrorCode::Ok) return code;
            }
            return ErrorCode::Ok;
        });
}

Status PQTrainer::DoReserve(uint64_t n) {
    if (_model.codebooks.empty()) {
        return Status(ErrorCode::FailedPrecondition, "Reserve must be called after Pretrain");
    }
    const uint64_t m = _model.header.numChunks;
    if (m != 0 && n > std::numeric_limits<uint64_t>::max() / m) {
        return Status(ErrorCode::Corruption, "Quantizer reserve size overflow");
    }
    _codes.reserve(n * m);
    if (_metricType == MetricE::ip) _ipFactors.reserve(n);
    return Status::Ok();
}

ErrorCode PQTrainer::DoEncodeBatch(std::span<const float> data, uint64_t n, dimension_t dim) {
    if (dim != _dimension) {
        ORVANE_LOG_ERROR("PQ EncodeBatch dimension mismatch [%u] vs [%u]", dim, _dimension);
        return ErrorCode::InvalidArgument;
    }
    if (n == 0) {
        ORVANE_LOG_ERROR("PQ EncodeBatch data count is 0");
        return ErrorCode::InvalidArgument;
    }
    if (_model.codebooks.empty()) {
        ORVANE_LOG_ERROR("Encode must be called after Pretrain");
        return ErrorCode::FailedPrecondition;
    }
    const uint32_t m = _model.header.numChunks;
    const bool ip = _metricType == MetricE::ip;
    const size_t codesBefore = _codes.size();
    const size_t factorsBefore = _ipFactors.size();
    _codes.resize(codesBefore + n * m, 0);
    if (ip) _ipFactors.resize(factorsBefore + n, 0.0f);
    const dist::encode_space::EncodedBatchBuilder out{
        std::span<uint8_t>(_codes).subspan(codesBefore),
        ip ? std::span<uint8_t>(reinterpret_cast<uint8_t*>(_ipFactors.data() + factorsBefore),
                                n * sizeof(float))
           : std::span<uint8_t>(),
        n, m, sizeof(float)};
    const ErrorCode code = TagInvoke(dist::encode_space::EncodeBatchTag{}, _model,
                                     data.first(n * dim), out, _resource);
    if (code != ErrorCode::Ok) {
        _codes.resize(codesBefore);
        _ipFactors.resize(factorsBefore);
    }
    return code;
}

}  // namespace orvane::quantizer
