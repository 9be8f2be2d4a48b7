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
#include "encoding/kmeans/Kmeans.h"
#include "encoding/pq/PQEncodeSpace.h"
#include "util/ExecutorManager.h"

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

// A prepared query and kRows random stored rows of a model with m chunks of
// `width` components each.
template <MetricE M>
struct ScoringSetup {
    static constexpr uint64_t kRows = 4096;

    ScoringSetup(uint32_t m, dimension_t width)
        : model(RandomModel(m * width, m, M, 1)),
          query(RandomFloats(m * width, 2)),
          prepared(TagInvoke(dist::PrepareTag{}, dist::MetricT<M>{}, dist::encode_space::PQT{},
                             std::span<const float>(query), model.header,
                             std::span<const uint32_t>(model.chunkOffsets),
                             std::span<const float>(model.codebooks),
                             std::span<const float>(model.rotation), Res())),
          rowSize(dist::encode_space::PQRowSize(m, M)),
          rows(kRows * rowSize) {
        std::mt19937 gen(3);
        for (uint8_t& b : rows) b = static_cast<uint8_t>(gen());
    }

    PQModel model;
    std::vector<float> query;
    dist::encode_space::PreparedPQ prepared;
    uint64_t rowSize;
    std::vector<uint8_t> rows;
};

// Rows scored per second against one prepared table, one at a time.
// Argument: chunks (of 8 components).
template <MetricE M>
void BM_PQEvalRow(benchmark::State& state) {
    const ScoringSetup<M> setup(static_cast<uint32_t>(state.range(0)), 8);
    const auto* header = reinterpret_cast<const uint8_t*>(&setup.model.header);
    float sum = 0;
    for (auto _ : state) {
        for (uint64_t i = 0; i < setup.kRows; ++i) {
            const dist::encode_space::EncodedRow row{setup.rows.data() + i * setup.rowSize,
                                                     setup.rowSize, header,
                                                     sizeof(setup.model.header)};
            sum += TagInvoke(dist::EvalEncodedTag{}, dist::MetricT<M>{}, dist::encode_space::PQT{},
                             setup.prepared, row);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * setup.kRows));
}
BENCHMARK_TEMPLATE(BM_PQEvalRow, MetricE::l2)->Arg(16)->Arg(98);
BENCHMARK_TEMPLATE(BM_PQEvalRow, MetricE::ip)->Arg(16)->Arg(98);

// Rows scored per second in groups (ScorePQRows), taken in a scattered order
// as a graph search visits them. Argument: chunks (of 2 components).
template <MetricE M>
void BM_PQScoreRows(benchmark::State& state) {
    const auto m = static_cast<uint32_t>(state.range(0));
    const ScoringSetup<M> setup(m, 2);
    std::vector<const uint8_t*> order(setup.kRows);
    for (uint64_t i = 0; i < setup.kRows; ++i) {
        order[i] = setup.rows.data() + (i * 2654435761u % setup.kRows) * setup.rowSize;
    }
    std::vector<float> out(setup.kRows);
    for (auto _ : state) {
        dist::encode_space::ScorePQRows<M>(setup.prepared, m, order.data(), setup.kRows,
                                           out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * setup.kRows));
}
BENCHMARK_TEMPLATE(BM_PQScoreRows, MetricE::l2)->Arg(98)->Arg(392);

// Short lists, as a DiskANN search scores the unvisited neighbours of one node
// at a time: rows per second for lists of `n` rows. Arguments: chunks, n.
template <MetricE M>
void BM_PQScoreShortLists(benchmark::State& state) {
    const auto m = static_cast<uint32_t>(state.range(0));
    const auto n = static_cast<uint64_t>(state.range(1));
    const ScoringSetup<M> setup(m, 2);
    std::vector<const uint8_t*> order(setup.kRows);
    for (uint64_t i = 0; i < setup.kRows; ++i) {
        order[i] = setup.rows.data() + (i * 2654435761u % setup.kRows) * setup.rowSize;
    }
    std::vector<float> out(n);
    uint64_t first = 0;
    for (auto _ : state) {
        if (first + n > setup.kRows) first = 0;
        dist::encode_space::ScorePQRows<M>(setup.prepared, m, order.data() + first, n, out.data());
        first += n;
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK_TEMPLATE(BM_PQScoreShortLists, MetricE::l2)
    ->ArgsProduct({{98, 392}, {5, 13, 21, 29}});

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
        quantizer::UpdateIndexes(data, indexes, centroids, kDim, threads, executor.Value().get(), Res());
        benchmark::DoNotOptimize(indexes.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}
BENCHMARK(BM_KmeansAssign)->Arg(1)->Arg(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
