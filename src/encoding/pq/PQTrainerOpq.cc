// OPQ pretraining: alternate per-chunk k-means in the rotated space with the
// orthogonal rotation R that best maps the samples onto their reconstructions
// (R = U V^T from the SVD of X^T Y).
#include <Eigen/Dense>
#include <algorithm>

#include "encoding/kmeans/Kmeans.h"
#include "encoding/pq/PQTrainer.h"
#include "telemetry/Logger.h"
#include "util/ExecutorManager.h"

namespace orvane::quantizer {

using core::ErrorCode;
using dist::encode_space::kPQCentroidCount;

namespace {

using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

constexpr uint32_t kKmc2ChainLength = 32;

}  // namespace

ErrorCode PQTrainer::PretrainWithOPQ(std::span<const float> data, uint64_t n) {
    ResetModel();
    const dist::dimension_t d = _dimension;
    const std::vector<float> weights = RowWeights(data, n);
    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
    if (!executor.IsOk()) {
        ORVANE_LOG_STATUS_WARN(executor.GetStatus(), "Failed to create executor");
        return executor.GetStatus().Code();
    }

    RowMatrix x = Eigen::Map<const RowMatrix>(data.data(), static_cast<Eigen::Index>(n), d);
    for (uint64_t i = 0; i < n; ++i) x.row(static_cast<Eigen::Index>(i)) *= weights[i];
    RowMatrix rotation = RowMatrix::Identity(d, d);
    RowMatrix xr(x.rows(), d);
    RowMatrix y(x.rows(), d);
    std::pmr::vector<float> sub(&_resource);
    std::pmr::vector<float> centroids(&_resource);

    for (uint32_t iter = 0; iter < kOpqIterations; ++iter) {
        xr.noalias() = x * rotation;
        for (uint32_t k = 0; k < _model.header.numChunks; ++k) {
            const uint32_t begin = _model.chunkOffsets[k];
            const uint32_t w = _model.chunkOffsets[k + 1] - begin;
            if (w == 0) continue;
            sub.resize(n * w);
            Eigen::Map<RowMatrix>(sub.data(), x.rows(), w) = xr.middleCols(begin, w);

            centroids.assign(uint64_t{kPQCentroidCount} * w, 0.0f);
            if (iter == 0) {
                const auto seeds = quantizer::KmeansUtil::InitializeCentroidsKMC2(
                    sub, w, kPQCentroidCount, kKmc2ChainLength, _resource);
                std::copy_n(seeds.begin(), std::min(seeds.size(), centroids.size()),
                            centroids.begin());
            } else {
                for (uint32_t j = 0; j < kPQCentroidCount; ++j) {
                    const float* src = _model.codebooks.data() + uint64_t{j} * d + begin;
                    std::copy(src, src + w, centroids.begin() + uint64_t{j} * w);
                }
            }
            auto [status, assignments] =
                quantizer::KmeansUtil::KmeansWithCentroids(sub, w, _maxEpoch, _model.threadCount,
                                                      executor.Value().get(), _resource, centroids);
            if (!status.IsOk()) {
                ORVANE_LOG_ERROR("K-means clustering failed for chunk [%d] in OPQ iteration [%d]",
                                 static_cast<int>(k), static_cast<int>(iter));
                return status.Code();
            }
            for (uint32_t j = 0; j < kPQCentroidCount; ++j) {
                std::copy_n(centroids.begin() + uint64_t{j} * w, w,
                            _model.codebooks.begin() + uint64_t{j} * d + begin);
            }
            for (uint64_t i = 0; i < n; ++i) {
                const float* c = centroids.data() + uint64_t{assignments[i]} * w;
                std::copy(c, c + w, y.data() + i * d + begin);
            }
        }

        const Eigen::MatrixXf m = x.transpose() * y;
        const Eigen::JacobiSVD<Eigen::MatrixXf> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
        if (svd.rank() == 0) {
            ORVANE_LOG_ERROR("SVD failed to converge in OPQ iteration [%d]",
                             static_cast<int>(iter));
            return ErrorCode::Internal;
        }
        rotation = svd.matrixU() * svd.matrixV().transpose();
        _model.rotation.resize(uint64_t{d} * d);
        Eigen::Map<RowMatrix>(_model.rotation.data(), d, d) = rotation;
    }
    return ErrorCode::Ok;
}

}  // namespace orvane::quantizer
