// Throughput of the distance kernels: each metric at dimensions 128 and 768 on
// the scalar and AVX2 levels, and batch scoring of one query against stored rows
// through the rawf32 and sq8 encode spaces (kernel level chosen for the process).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory_resource>
#include <numeric>
#include <random>
#include <vector>

#include "RandomData.h"
#include "distance/MetricDispatchers.h"
#include "encoding/rawf32/RawF32EncodeSpace.h"
#include "encoding/sq8/SQ8EncodeSpace.h"
#include "encoding/sq8/SQ8ExpandedEval.h"

namespace {

using namespace orvane;
using dist::dimension_t;
using dist::MetricE;

using bench::RandomFloats;

// Rows per kernel benchmark: small enough to stay in cache, so the kernel and
// not memory bandwidth is measured.
constexpr uint64_t kKernelRows = 256;

template <MetricE M, typename Level>
void BM_MetricKernel(benchmark::State& state) {
    if (Level::Value == isa::IsaE::avx2 && !__builtin_cpu_supports("avx2")) {
        state.SkipWithError("processor without AVX2");
        return;
    }
    const auto dim = static_cast<dimension_t>(state.range(0));
    const auto query = RandomFloats(dim, 1);
    const auto base = RandomFloats(uint64_t{dim} * kKernelRows, 2);
    std::vector<float> out(kKernelRows);
    for (auto _ : state) {
        dist::MetricBatchDispatcher<M>::TagInvoke(Level{}, query.data(), base.data(), dim,
                                                  kKernelRows, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKernelRows));
}

#define ORVANE_METRIC_BENCH(M, L) \
    BENCHMARK_TEMPLATE(BM_MetricKernel, MetricE::M, isa::L)->Arg(128)->Arg(768)

ORVANE_METRIC_BENCH(l2, ScalarT);
ORVANE_METRIC_BENCH(l2, Avx2T);
ORVANE_METRIC_BENCH(ip, ScalarT);
ORVANE_METRIC_BENCH(ip, Avx2T);
ORVANE_METRIC_BENCH(cosine, ScalarT);
ORVANE_METRIC_BENCH(cosine, Avx2T);

// Rows per encode-space scan: a realistic bruteforce block larger than L2.
constexpr uint64_t kScanRows = 20000;

template <MetricE M>
void BM_RawF32BatchEval(benchmark::State& state) {
    using namespace dist::encode_space;
    const auto dim = static_cast<dimension_t>(state.range(0));
    const auto query = RandomFloats(dim, 3);
    const auto base = RandomFloats(uint64_t{dim} * kScanRows, 4);
    std::vector<float> out(kScanRows);
    const auto prepared =
        TagInvoke(dist::PrepareTag{}, dist::MetricT<M>{}, RawF32T{}, std::span<const float>(query));
    const EncodedBatch batch = RawF32Batch(base.data(), dim, kScanRows);
    for (auto _ : state) {
        TagInvoke(dist::BatchEvalEncodedTag{}, dist::MetricT<M>{}, RawF32T{}, prepared, batch,
                  out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kScanRows));
}

struct SQ8Fixture {
    dist::encode_space::SQ8Model model;
    std::vector<uint8_t> codes;
    std::vector<uint8_t> aux;

    explicit SQ8Fixture(dimension_t dim) {
        using namespace dist::encode_space;
        const auto data = RandomFloats(uint64_t{dim} * kScanRows, 5);
        model.centroid.assign(dim, 0.0f);
        for (uint64_t r = 0; r < kScanRows; ++r) {
            for (dimension_t i = 0; i < dim; ++i) {
                model.centroid[i] += data[r * dim + i] / kScanRows;
            }
        }
        codes.resize(uint64_t{dim} * kScanRows);
        aux.resize(sizeof(SQ8VectorHeader) * kScanRows);
        for (uint64_t r = 0; r < kScanRows; ++r) {
            EncodedRowBuilder out{std::span<uint8_t>(codes.data() + r * dim, dim),
                                  std::span<uint8_t>(aux.data() + r * sizeof(SQ8VectorHeader),
                                                     sizeof(SQ8VectorHeader))};
            TagInvoke(EncodeTag{}, model, std::span<const float>(data.data() + r * dim, dim), out);
        }
    }

    // The per-row code sums the evaluator keeps for its scans.
    std::vector<dist::encode_space::SQ8CodeStats> Stats(dimension_t dim) const {
        std::vector<dist::encode_space::SQ8CodeStats> stats(kScanRows);
        for (uint64_t r = 0; r < kScanRows; ++r) {
            stats[r] = dist::encode_space::ComputeSQ8CodeStats(codes.data() + r * dim, dim);
        }
        return stats;
    }
};

// The sq8 scan as the evaluator runs it: the dot kernel over a list of row
// ids, then each score finished from the row's header and code sums.
template <MetricE M>
void BM_SQ8BatchEval(benchmark::State& state) {
    using namespace dist::encode_space;
    const auto dim = static_cast<dimension_t>(state.range(0));
    const SQ8Fixture fx(dim);
    const auto stats = fx.Stats(dim);
    const auto query = RandomFloats(dim, 6);
    float cNormSq = 0;
    for (float c : fx.model.centroid) cNormSq += c * c;
    const PreparedSQ8 prepared = TagInvoke(
        dist::PrepareTag{}, dist::MetricT<M>{}, SQ8T{}, std::span<const float>(query),
        std::span<const float>(fx.model.centroid), cNormSq, *std::pmr::get_default_resource());
    const SQ8QueryView view = prepared.View();
    const SQ8QuerySums sums = ComputeSQ8QuerySums(view);
    std::vector<uint64_t> ids(kScanRows);
    std::iota(ids.begin(), ids.end(), 0);
    std::vector<float> out(kScanRows);
    for (auto _ : state) {
        isa::InvokeWithDynamicIsa(SQ8CodeDotDispatcher{}, view.qCentered, fx.codes.data(), dim,
                                  ids.data(), kScanRows, out.data());
        for (uint64_t r = 0; r < kScanRows; ++r) {
            SQ8VectorHeader h;
            std::memcpy(&h, fx.aux.data() + r * sizeof(h), sizeof(h));
            out[r] = FinishSQ8Expanded<M>(view, sums, h, stats[r], out[r]);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kScanRows));
}

BENCHMARK_TEMPLATE(BM_RawF32BatchEval, MetricE::l2)->Arg(128)->Arg(768);
BENCHMARK_TEMPLATE(BM_SQ8BatchEval, MetricE::l2)->Arg(128)->Arg(768);
BENCHMARK_TEMPLATE(BM_RawF32BatchEval, MetricE::ip)->Arg(128)->Arg(768);
BENCHMARK_TEMPLATE(BM_SQ8BatchEval, MetricE::ip)->Arg(128)->Arg(768);
BENCHMARK_TEMPLATE(BM_RawF32BatchEval, MetricE::cosine)->Arg(128)->Arg(768);
BENCHMARK_TEMPLATE(BM_SQ8BatchEval, MetricE::cosine)->Arg(128)->Arg(768);

}  // namespace

BENCHMARK_MAIN();
