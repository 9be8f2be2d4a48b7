// Throughput of product quantization and k-means: distance-table preparation
// and table-based row evaluation (l2, ip), batch encoding with 1 and 2
// workers, and the k-means assignment step with 1 and 2 workers. Items per
// second are queries, rows or assigned rows respectively; compare the 1- and
// 2-worker lines of one run.
#include <benchmark/benchmark.h>

#include <memory_resource>
#include <random>
#include <vector>

#include "RandomData.h"
#include "distance/encode_space/PQ/PQEncodeSpace.h"
#include "util/ExecutorManager.h"
#include "util/Kmeans.h"

namespace {

using namespace orvane;
using dist::dimension_t;
using dist::MetricE;
using dist::encode_space::kPQCentroidCount;
using dist::encode_space::PQModel;

using bench::RandomFloats;

PQModel RandomModel(dimension_t d, uint32_t m, MetricE metric, uint32_t threads) {
    PQModel model;
    model.header.numChunks = m;
    model.header.metricType = metric;
    model.chunkOffsets = dist::encode_space::AssignChunkOffsets(d, m);
    model.codebooks = RandomFloats(uint64_t{kPQCentroidCount} * d, 1);
    model.threadCount = threads;
    return model;
}

std::pmr::memory_resource& Res() {
    return *std::pmr::get_default_resource();
}

// Arguments: dimension, chunks.
template <MetricE M>
void BM_PQPrepare(benchmark::State& state) {
    const auto d = static_cast<dimension_t>(state.range(0));
    const PQModel model = RandomModel(d, static_cast<uint32_t>(state.range(1)), M, 1);
    const auto query = RandomFloats(d, 2);
    for (auto _ : state) {
        auto prepared = TagInvoke(dist::PrepareTag{}, dist::MetricT<M>{}, dist::encode_space::PQT{},
                                  std::span<const float>(query), model.header,
                                  std::span<const uint32_t>(model.chunkOffsets),
                                  std::span<const float>(model.codebooks),
                                  std::span<const float>(model.rotation), Res());
        benchmark::DoNotOptimize(prepared.precomputedDistances.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_TEMPLATE(BM_PQPrepare, MetricE::l2)->Args({128, 16})->Args({784, 98});
BENCHMARK_TEMPLATE(BM_PQPrepare, MetricE::ip)->Args({128, 16})->Args({784, 98});

// The same table from component-major codebooks into one reused object, as
// the evaluators prepare queries. Arguments: dimension, chunks.
template <MetricE M>
void BM_PQPrepareInto(benchmark::State& state) {
    const auto d = static_cast<dimension_t>(state.range(0));
    const PQModel model = RandomModel(d, static_cast<uint32_t>(state.range(1)), M, 1);
    const auto byComponent = dist::encode_space::TransposePQCodebooks(model.codebooks, d, Res());
    const auto query = RandomFloats(d, 2);
    dist::encode_space::PreparedPQ prepared;
    for (auto _ : state) {
        dist::encode_space::PreparePQQueryInto(M, query, model.header, model.chunkOffsets,
                                               byComponent, model.rotation, prepared);
        benchmark::DoNotOptimize(prepared.precomputedDistances.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_TEMPLATE(BM_PQPrepareInto, MetricE::l2)
    ->Args({128, 16})
    ->Args({784, 98})
    ->Args({784, 392});
BENCHMARK_TEMPLATE(BM_PQPrepareInto, MetricE::ip)->Args({784, 98});

// Rows scored per second against one prepared table. Argument: chunks.
template <MetricE M>
void BM_PQEvalRow(benchmark::State& state) {
    const auto m = static_cast<uint32_t>(state.range(0));
    const dimension_t d = m * 8;
    const PQModel model = RandomModel(d, m, M, 1);
    const auto query = RandomFloats(d, 2);
    const auto prepared = TagInvoke(
        dist::PrepareTag{}, dist::MetricT<M>{}, dist::encode_space::PQT{},
        std::span<const float>(query), model.header, std::span<const uint32_t>(model.chunkOffsets),
        std::span<const float>(model.codebooks), std::span<const float>(model.rotation), Res());
    constexpr uint64_t kRows = 4096;
    const uint64_t rowSize = dist::encode_space::PQRowSize(m, M);
    std::vector<uint8_t> rows(kRows * rowSize);
    std::mt19937 gen(3);
    for (uint8_t& b : rows) b = static_cast<uint8_t>(gen());
    const auto* header = reinterpret_cast<const uint8_t*>(&model.header);
    float sum = 0;
    for (auto _ : state) {
        for (uint64_t i = 0; i < kRows; ++i) {
            const dist::encode_space::EncodedRow row{rows.data() + i * rowSize, rowSize, header,
                                                     sizeof(model.header)};
            sum += TagInvoke(dist::EvalEncodedTag{}, dist::MetricT<M>{}, dist::encode_space::PQT{},
                             prepared, row);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}
BENCHMARK_TEMPLATE(BM_PQEvalRow, MetricE::l2)->Arg(16)->Arg(98);
BENCHMARK_TEMPLATE(BM_PQEvalRow, MetricE::ip)->Arg(16)->Arg(98);

// Rows scored per second eight at a time (ScorePQRows), rows taken in a
// scattered order as a graph search visits them. Argument: chunks.
template <MetricE M>
void BM_PQScoreRows(benchmark::State& state) {
    const auto m = static_cast<uint32_t>(state.range(0));
    const dimension_t d = m * 2;
    const PQModel model = RandomModel(d, m, M, 1);
    const auto query = RandomFloats(d, 2);
    const auto prepared = TagInvoke(
        dist::PrepareTag{}, dist::MetricT<M>{}, dist::encode_space::PQT{},
        std::span<const float>(query), model.header, std::span<const uint32_t>(model.chunkOffsets),
        std::span<const float>(model.codebooks), std::span<const float>(model.rotation), Res());
    constexpr uint64_t kRows = 4096;
    const uint64_t rowSize = dist::encode_space::PQRowSize(m, M);
    std::vector<uint8_t> rows(kRows * rowSize);
    std::mt19937 gen(3);
    for (uint8_t& b : rows) b = static_cast<uint8_t>(gen());
    std::vector<const uint8_t*> order(kRows);
    for (uint64_t i = 0; i < kRows; ++i)
        order[i] = rows.data() + (i * 2654435761u % kRows) * rowSize;
    std::vector<float> out(kRows);
    for (auto _ : state) {
        dist::encode_space::ScorePQRows<M>(prepared, m, order.data(), kRows, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}
BENCHMARK_TEMPLATE(BM_PQScoreRows, MetricE::l2)->Arg(98)->Arg(392);

// Rows encoded per second. Arguments: workers; dimension 784, 98 chunks.
void BM_PQEncodeBatch(benchmark::State& state) {
    constexpr dimension_t kDim = 784;
    constexpr uint64_t kRows = 2048;
    const PQModel model = RandomModel(kDim, 98, MetricE::l2, static_cast<uint32_t>(state.range(0)));
    const auto src = RandomFloats(kRows * kDim, 4);
    std::vector<uint8_t> codes(kRows * 98);
    for (auto _ : state) {
        const auto rc =
            TagInvoke(dist::encode_space::EncodeBatchTag{}, model, src,
                      dist::encode_space::EncodedBatchBuilder{codes, {}, kRows, 98, 4}, Res());
        if (rc != core::ErrorCode::Ok) state.SkipWithError("encoding failed");
        benchmark::DoNotOptimize(codes.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}
BENCHMARK(BM_PQEncodeBatch)->Arg(1)->Arg(2)->UseRealTime();

// Rows assigned per second by one k-means assignment step: 256 centroids of
// 8 components (one PQ chunk of Fashion-MNIST at m = 98). Argument: workers.
void BM_KmeansAssign(benchmark::State& state) {
    constexpr dimension_t kDim = 8;
    constexpr uint64_t kRows = 20000;
    const auto data = RandomFloats(kRows * kDim, 5);
    const auto centroids = RandomFloats(256 * kDim, 6);
    std::vector<uint32_t> indexes(kRows);
    auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
    const auto threads = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        util::UpdateIndexes(data, indexes, centroids, kDim, threads, executor.Value().get(), Res());
        benchmark::DoNotOptimize(indexes.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}
BENCHMARK(BM_KmeansAssign)->Arg(1)->Arg(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
