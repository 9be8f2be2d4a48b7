// K-means training over Fashion-MNIST (60000 images of 784 pixels), 2 threads
// on the build executor, as the index builders run it:
//   BM_KmeansIvf      784 dimensions, 256 clusters, 10 rounds (the IVF lists);
//   BM_KmeansPqChunk  one PQ chunk of 2 pixels (DiskANN's default m = dim / 2),
//                     256 clusters, 12 rounds; the argument picks the chunk:
//                     0 is an image border (mostly zero), 196 the middle;
//   BM_PQTrain        the whole PQ training of 392 chunks of 2 pixels;
//   BM_PQEncode       encoding all images (a model trained on 256 of them).
// Without the dataset, generated images of the same shape are used.
#include <benchmark/benchmark.h>

#include <memory_resource>
#include <vector>

#include "FashionMnist.h"
#include "orvane/api/Options.h"
#include "encoding/kmeans/Kmeans.h"
#include "encoding/pq/PQTrainer.h"
#include "util/ExecutorManager.h"

namespace {

using namespace orvane;

constexpr uint32_t kThreads = 2;

const bench::ImageSet& Images() {
    static const bench::ImageSet set = [] {
        bench::ImageSet s = bench::LoadIdxImages("train-images-idx3-ubyte.gz");
        if (s.rows == 0) s = bench::GeneratedImages(60000, 784, 1);
        return s;
    }();
    return set;
}

coro::Executor* BuildExecutor() {
    static auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
    return executor.Value().get();
}

void BM_KmeansIvf(benchmark::State& state) {
    const bench::ImageSet& images = Images();
    for (auto _ : state) {
        auto [status, centroids] =
            quantizer::KmeansUtil::Kmeans(images.pixels, images.dim, 256, 10, kThreads, BuildExecutor(),
                                     *std::pmr::get_default_resource());
        benchmark::DoNotOptimize(centroids.data());
    }
}
BENCHMARK(BM_KmeansIvf)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_KmeansPqChunk(benchmark::State& state) {
    const bench::ImageSet& images = Images();
    const uint64_t chunk = static_cast<uint64_t>(state.range(0));
    std::vector<float> sub(images.rows * 2);
    for (uint64_t i = 0; i < images.rows; ++i) {
        sub[2 * i] = images.pixels[i * images.dim + 2 * chunk];
        sub[2 * i + 1] = images.pixels[i * images.dim + 2 * chunk + 1];
    }
    for (auto _ : state) {
        auto [status, centroids] = quantizer::KmeansUtil::Kmeans(
            sub, 2, 256, 12, kThreads, BuildExecutor(), *std::pmr::get_default_resource());
        benchmark::DoNotOptimize(centroids.data());
    }
}
BENCHMARK(BM_KmeansPqChunk)->Arg(0)->Arg(196)->Unit(benchmark::kMillisecond);

// m chunks (0: two components each, the builder's default).
std::unique_ptr<quantizer::PQTrainer> Trainer(int64_t m = 0) {
    const bench::ImageSet& images = Images();
    api::QuantizerOptions options;
    options.Values()["encoding.pq.m"] = m != 0 ? m : int64_t{images.dim / 2};
    options.Values()["encoding.pq.thread_count"] = int64_t{kThreads};
    return std::make_unique<quantizer::PQTrainer>(images.dim, dist::MetricE::l2,
                                                  *std::pmr::get_default_resource(), options);
}

void BM_PQTrain(benchmark::State& state) {
    const bench::ImageSet& images = Images();
    for (auto _ : state) {
        auto trainer = Trainer(state.range(0));
        benchmark::DoNotOptimize(trainer->Pretrain(images.pixels, images.rows, images.dim));
    }
}
// 392 chunks of 2 components (the default) and 98 of 8.
BENCHMARK(BM_PQTrain)->Arg(0)->Arg(98)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_PQEncode(benchmark::State& state) {
    const bench::ImageSet& images = Images();
    for (auto _ : state) {
        state.PauseTiming();
        auto trainer = Trainer();
        (void)trainer->Pretrain(std::span<const float>(images.pixels).first(images.dim * 256), 256,
                                images.dim);
        (void)trainer->Reserve(images.rows);
        state.ResumeTiming();
        benchmark::DoNotOptimize(trainer->EncodeBatch(images.pixels, images.rows, images.dim));
    }
}
BENCHMARK(BM_PQEncode)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
