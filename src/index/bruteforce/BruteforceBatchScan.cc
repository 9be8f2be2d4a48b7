#include "index/bruteforce/BruteforceBatchScan.h"

#include <Eigen/Dense>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>

#include "encoding/rawf32/QuantizerEvaluatorRawF32.h"
#include "index/bruteforce/BruteforceScan.h"
#include "index/common/BestK.h"
#include "index/common/MetricBridge.h"
#include "util/parallel/MultiThreadStepProcess.h"

namespace orvane::index::bruteforce {

using core::ErrorCode;
using core::Result;
using core::Status;
using dist::MetricE;

namespace {

using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using ConstRowMap = Eigen::Map<const RowMatrix>;
using RowMap = Eigen::Map<RowMatrix>;
using VectorMap = Eigen::Map<Eigen::VectorXf>;

constexpr float kUnitRoundoff = 0x1p-24f;
constexpr float kInf = std::numeric_limits<float>::infinity();
// Squared norms above this are left to the kernel: the bounds below assume
// that no product score overflows.
constexpr float kNormLimit = 1e30f;
// Cosine scores whose norm product is below this are left to the kernel,
// which treats (nearly) zero vectors specially on every level.
constexpr float kCosineNormFloor = 1e-5f;

// Relative bound, with a factor of about 2 to spare, between a product score
// and the kernel's: each is within (dim + 2) roundings of the exact value,
// relative to the squared norms (l2) or the norm product (inner product).
float RelativeSlack(dist::dimension_t dim) {
    return 8.0f * static_cast<float>(dim + 4) * kUnitRoundoff;
}
// Absolute slack for scores in the subnormal range, where relative bounds fail.
float AbsoluteSlack(dist::dimension_t dim) {
    return static_cast<float>(dim + 4) * 0x1p-126f;
}

// Squared norms as the bounds use them: +inf when the bound cannot hold.
float TrustedSquaredNorm(float squared) {
    return squared <= kNormLimit ? squared : kInf;
}

struct TaskScratch {
    float* products;  // kBatchQueryBlock x kBatchRowBlock
    float* rowNorms;  // kBatchRowBlock squared norms
    float* packed;    // kBatchRowBlock x dimension, admitted rows when some were refused
    uint64_t* rows;   // kBatchRowBlock row numbers
};

template <MetricE M>
class BatchScanner {
    static constexpr bool kLowerIsBetter = dist::MetricT<M>::LowerIsBetter;

  public:
    BatchScanner(const BatchScanRequest& request, std::span<const float> base,
                 std::span<const std::unique_ptr<quantizer::PreparedBase>> prepared,
                 std::span<BestK<M>> best, std::span<const float> queryNorms,
                 std::span<uint64_t> refused)
        : _r(request),
          _dim(request.evaluator.Dimension()),
          _rows(request.evaluator.Count()),
          _base(base),
          _prepared(prepared),
          _best(best),
          _queryNorms(queryNorms),
          _refused(refused),
          _relative(RelativeSlack(_dim)),
          _absolute(AbsoluteSlack(_dim)) {}

    // Scores queries [q0, q1) against every admitted row.
    ErrorCode ScanQueryBlock(uint64_t q0, uint64_t q1, const TaskScratch& s) {
        const uint64_t nq = q1 - q0;
        const ConstRowMap queries(_r.queries.data() + q0 * _dim, static_cast<Eigen::Index>(nq),
                                  _dim);
        uint64_t refused = 0;
        for (uint64_t first = 0; first < _rows; first += kBatchRowBlock) {
            const uint64_t last = std::min(_rows, first + kBatchRowBlock);
            const uint64_t m = AdmittedRows(_r.filter, _r.rowIds, first, last, s.rows, refused);
            if (m == 0) continue;
            const float* block = _base.data() + first * _dim;
            if (m != last - first) {
                for (uint64_t j = 0; j < m; ++j) {
                    std::copy_n(_base.data() + s.rows[j] * _dim, _dim, s.packed + j * _dim);
                }
                block = s.packed;
            }
            const auto rowsM = static_cast<Eigen::Index>(m);
            const ConstRowMap x(block, rowsM, _dim);
            VectorMap norms(s.rowNorms, rowsM);
            norms.noalias() = x.rowwise().squaredNorm();
            for (uint64_t j = 0; j < m; ++j) s.rowNorms[j] = TrustedSquaredNorm(s.rowNorms[j]);
            RowMap products(s.products, static_cast<Eigen::Index>(nq), rowsM);
            products.noalias() = queries * x.transpose();
            for (uint64_t i = 0; i < nq; ++i) {
                const ErrorCode rc = Sieve(q0 + i, s.products + i * m, s, m);
                if (rc != ErrorCode::Ok) return rc;
            }
        }
        for (uint64_t q = q0; q < q1; ++q) _refused[q] = refused;
        return ErrorCode::Ok;
    }

  private:
    // The worst kept score, or the worst possible one until k rows are kept.
    static float Cutoff(const BestK<M>& best) {
        if (best.Full()) return best.WorstScore();
        return kLowerIsBetter ? kInf : -kInf;
    }

    // Offers to query q's selection, with its kernel score, every row of the
    // block whose product score could reach the selection's cut-off.
    ErrorCode Sieve(uint64_t q, const float* products, const TaskScratch& s, uint64_t m) {
        BestK<M>& best = _best[q];
        float cutoff = Cutoff(best);
        const float qn = _queryNorms[q];
        const float qNorm = std::sqrt(qn);
        for (uint64_t j = 0; j < m; ++j) {
            if (!MayReach(products[j], qn, qNorm, s.rowNorms[j], cutoff)) continue;
            const uint64_t row = s.rows[j];
            float score = 0.0f;
            const ErrorCode rc = _r.evaluator.BatchEval(
                *_prepared[q], std::span<const uint64_t>(&row, 1), std::span<float>(&score, 1));
            if (rc != ErrorCode::Ok) return rc;
            best.Offer(row, score);
            cutoff = Cutoff(best);
        }
        return ErrorCode::Ok;
    }

    // Whether the kernel score behind product `p` may be at least as good as
    // `cutoff`. Written so that any NaN in the bound answers yes.
    bool MayReach(float p, float qn, float qNorm, float xn, float cutoff) const {
        if constexpr (M == MetricE::l2) {
            const float norms = qn + xn;
            const float lower = (norms - 2.0f * p) - (_relative * norms + _absolute);
            return !(lower > cutoff);
        } else if constexpr (M == MetricE::ip) {
            const float upper = p + (_relative * (qNorm * std::sqrt(xn)) + _absolute);
            return !(upper < cutoff);
        } else {
            const float normProduct = qNorm * std::sqrt(xn);
            if (!(normProduct >= kCosineNormFloor && normProduct < kInf)) return true;
            const float lower = (1.0f - p / normProduct) - (2.0f * _relative + _absolute);
            return !(lower > cutoff);
        }
    }

    const BatchScanRequest& _r;
    const dist::dimension_t _dim;
    const uint64_t _rows;
    const std::span<const float> _base;
    const std::span<const std::unique_ptr<quantizer::PreparedBase>> _prepared;
    const std::span<BestK<M>> _best;
    const std::span<const float> _queryNorms;
    const std::span<uint64_t> _refused;
    const float _relative;
    const float _absolute;
};

template <MetricE M>
Result<std::vector<api::ScoredHits>> Scan(const BatchScanRequest& request) {
    const quantizer::QuantizerEvaluatorBase& evaluator = request.evaluator;
    const dist::dimension_t dim = evaluator.Dimension();
    const uint64_t n = evaluator.Count();
    const uint64_t nq = request.queryCount;
    const uint64_t k = std::min<uint64_t>(request.topk, n);
    std::pmr::memory_resource& resource = request.resource;

    std::vector<std::unique_ptr<quantizer::PreparedBase>> prepared(nq);
    std::pmr::vector<float> queryNorms(nq, &resource);
    for (uint64_t q = 0; q < nq; ++q) {
        const std::span<const float> query = request.queries.subspan(q * dim, dim);
        auto p = evaluator.PrepareQuery(query);
        if (!p.IsOk()) return p.TakeStatus();
        prepared[q] = p.TakeValue();
        queryNorms[q] =
            TrustedSquaredNorm(Eigen::Map<const Eigen::VectorXf>(query.data(), dim).squaredNorm());
    }
    std::pmr::vector<BestK<M>> best(&resource);
    best.reserve(nq);
    for (uint64_t q = 0; q < nq; ++q) best.emplace_back(k, &resource);
    std::pmr::vector<uint64_t> refused(nq, 0, &resource);

    // Enough blocks for every task to have one, none larger than the product block.
    const uint32_t parallel = std::max<uint32_t>(request.parallel, 1);
    const uint64_t blockQueries =
        std::clamp<uint64_t>((nq + parallel - 1) / parallel, 1, kBatchQueryBlock);
    const uint64_t blocks = k == 0 ? 0 : (nq + blockQueries - 1) / blockQueries;
    const uint64_t tasks = std::min<uint64_t>(blocks, parallel);
    const uint64_t rowBlock = std::min<uint64_t>(kBatchRowBlock, std::max<uint64_t>(n, 1));
    std::pmr::vector<float> products(tasks * blockQueries * rowBlock, &resource);
    std::pmr::vector<float> rowNorms(tasks * rowBlock, &resource);
    std::pmr::vector<float> packed(request.filter ? tasks * rowBlock * dim : 0, &resource);
    std::pmr::vector<uint64_t> rows(tasks * rowBlock, &resource);

    BatchScanner<M> scanner(request, quantizer::RawF32Rows(evaluator), prepared, best, queryNorms,
                            refused);
    std::atomic<uint64_t> nextBlock{0};
    std::atomic<ErrorCode> evalError{ErrorCode::Ok};
    const util::TaskBody body = [&](uint64_t t, std::atomic<ErrorCode>& code) {
        const TaskScratch scratch{products.data() + t * blockQueries * rowBlock,
                                  rowNorms.data() + t * rowBlock,
                                  request.filter ? packed.data() + t * rowBlock * dim : nullptr,
                                  rows.data() + t * rowBlock};
        for (uint64_t b = nextBlock.fetch_add(1); b < blocks; b = nextBlock.fetch_add(1)) {
            if (code.load(std::memory_order_relaxed) != ErrorCode::Ok) return;
            const uint64_t q0 = b * blockQueries;
            const ErrorCode rc =
                scanner.ScanQueryBlock(q0, std::min(nq, q0 + blockQueries), scratch);
            if (rc != ErrorCode::Ok) {
                util::detail::RecordFailure(evalError, rc);
                util::detail::RecordFailure(code, rc);
                return;
            }
        }
    };
    if (tasks > 0) {
        const ErrorCode run = util::RunTasksWithCaller(tasks, request.executor, body);
        if (run != ErrorCode::Ok) return ScanFailure(evalError.load(), run);
    }

    std::vector<api::ScoredHits> results;
    results.reserve(nq);
    for (uint64_t q = 0; q < nq; ++q) {
        // With k = 0 nothing was scanned, but the refused rows still count.
        uint64_t filtered = refused[q];
        if (k == 0 && request.filter) {
            filtered = 0;
            for (uint64_t id : request.rowIds) filtered += request.filter(id) ? 0 : 1;
        }
        const std::pmr::vector<ScoredRow> kept = best[q].TakeBestFirst();
        results.push_back(MakeScanResult(kept, request.rowIds, n, filtered));
    }
    return results;
}

}  // namespace

bool CanScanBatchByProducts(const quantizer::QuantizerEvaluatorBase& evaluator) {
    return evaluator.EncodingType() == dist::encode_space::EncodingE::rawf32 &&
           quantizer::RawF32Rows(evaluator).size() == evaluator.Count() * evaluator.Dimension();
}

Result<std::vector<api::ScoredHits>> ScanBatchByProducts(const BatchScanRequest& request) {
    if (!CanScanBatchByProducts(request.evaluator)) {
        return Status(ErrorCode::InvalidArgument, "batch scan needs opened rawf32 rows");
    }
    if (request.queries.size() != request.queryCount * request.evaluator.Dimension()) {
        return Status(ErrorCode::InvalidArgument, "query data size does not match index dimension");
    }
    return WithMetric(request.evaluator.Metric(),
                      [&](auto tag) -> Result<std::vector<api::ScoredHits>> {
                          return Scan<decltype(tag)::Value>(request);
                      });
}

}  // namespace orvane::index::bruteforce
