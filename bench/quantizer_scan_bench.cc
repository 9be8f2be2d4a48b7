// Scan throughput of the quantizer evaluators: one query scored against all
// 60000 Fashion-MNIST train images (784 dimensions; generated rows of the same
// shape when the dataset is missing) through BatchEval, rawf32 against sq8
// for each metric. The scan is memory-bound for rawf32 (3136 bytes per row),
// while sq8 reads 784 code bytes and a 24-byte header; compare items/s of the
// two in one run. The machine is often shared: compare CPU-time rates, and
// use --benchmark_repetitions to see the spread.
#include <benchmark/benchmark.h>

#include <map>
#include <numeric>
#include <string>

#include "FashionMnist.h"
#include "QuantizerBenchUtil.h"

namespace {

using namespace orvane;

const bench::ImageSet& Base() {
    static const bench::ImageSet base = [] {
        bench::ImageSet set = bench::LoadIdxImages("train-images-idx3-ubyte.gz");
        return set.rows > 0 ? set : bench::GeneratedImages(60000, 784, 1);
    }();
    return base;
}

const bench::ImageSet& Queries() {
    static const bench::ImageSet queries = [] {
        bench::ImageSet set = bench::LoadIdxImages("t10k-images-idx3-ubyte.gz", 16);
        return set.rows > 0 ? set : bench::GeneratedImages(16, 784, 2);
    }();
    return queries;
}

// One encoded base per (encoding, metric), built on first use.
const quantizer::QuantizerEvaluatorBase& Evaluator(const std::string& encoding,
                                                   const std::string& metric) {
    static std::map<std::string, bench::EncodedBase> cache;
    const std::string key = encoding + "/" + metric;
    auto it = cache.find(key);
    if (it == cache.end()) {
        const api::QuantizerOptions options{{"index.dimension", int64_t{Base().dim}},
                                            {"distance.metric", metric},
                                            {"encoding.type", encoding}};
        it = cache.emplace(key, bench::EncodeBase(options, Base(), Base().rows)).first;
    }
    return *it->second.evaluator;
}

void BM_Scan(benchmark::State& state, const std::string& encoding, const std::string& metric) {
    const auto& evaluator = Evaluator(encoding, metric);
    std::vector<uint64_t> ids(evaluator.Count());
    std::iota(ids.begin(), ids.end(), 0);
    std::vector<float> scores(ids.size());
    const bench::ImageSet& queries = Queries();
    uint64_t q = 0;
    for (auto _ : state) {
        std::span<const float> query(queries.pixels.data() + (q++ % queries.rows) * queries.dim,
                                     queries.dim);
        auto prepared = evaluator.PrepareQuery(query);
        if (!prepared.IsOk() ||
            evaluator.BatchEval(*prepared.Value(), ids, scores) != core::ErrorCode::Ok) {
            state.SkipWithError("scan failed");
            return;
        }
        benchmark::DoNotOptimize(scores.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ids.size()));
}

#define ORVANE_SCAN_BENCH(encoding, metric)                            \
    BENCHMARK_CAPTURE(BM_Scan, encoding##_##metric, #encoding, metric) \
        ->Unit(benchmark::kMillisecond)

const std::string kL2 = "l2";
const std::string kIp = "inner_product";
const std::string kCosine = "cosine";

ORVANE_SCAN_BENCH(rawf32, kL2);
ORVANE_SCAN_BENCH(sq8, kL2);
ORVANE_SCAN_BENCH(rawf32, kIp);
ORVANE_SCAN_BENCH(sq8, kIp);
ORVANE_SCAN_BENCH(rawf32, kCosine);
ORVANE_SCAN_BENCH(sq8, kCosine);

}  // namespace

BENCHMARK_MAIN();
