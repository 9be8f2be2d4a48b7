// Bruteforce search on Fashion-MNIST (60000 x 784 base, test images as
// queries), one query per call, side by side with a plain AVX2 L2 scan over the
// same matrix as the reference:
//   BM_PlainAvx2Scan            the reference: 8-wide FMA L2, top-10 by insertion
//   BM_Bruteforce/rawf32/P      the rawf32 index, search.parallel_number P
//   BM_Bruteforce/sq8/1         the sq8 index; counter recall@10 against rawf32
// Compare items_per_second (queries per second) within one run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FashionMnist.h"
#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "native/l2scan.cc"

namespace orvane::bench {
namespace {

constexpr uint64_t kQueries = 200;
constexpr int64_t kTopk = 10;

struct Data {
    ImageSet base;
    ImageSet queries;
};

const Data& GetData() {
    static const Data data = [] {
        Data d{LoadIdxImages("train-images-idx3-ubyte.gz"),
               LoadIdxImages("t10k-images-idx3-ubyte.gz", kQueries)};
        if (d.base.rows == 0) {
            d.base = GeneratedImages(60000, 784, 1);
            d.queries = GeneratedImages(kQueries, 784, 2);
        }
        return d;
    }();
    return data;
}

// The reference: the plain AVX2 scan compare.py runs as "ref".
void BM_PlainAvx2Scan(benchmark::State& state) {
    const Data& d = GetData();
    const uint32_t dim = d.base.dim;
    uint64_t q = 0;
    float distances[kTopk];
    int64_t ids[kTopk];
    for (auto _ : state) {
        const float* query = d.queries.pixels.data() + (q++ % d.queries.rows) * dim;
        l2scan_search(d.base.pixels.data(), d.base.rows, dim, query, kTopk, distances, ids);
        benchmark::DoNotOptimize(ids);
    }
    state.SetItemsProcessed(state.iterations());
}

// Builds (once per encoding) and opens a bruteforce index of the base.
api::OrvaneSearcher& Searcher(const std::string& encoding) {
    static std::map<std::string, api::OrvaneSearcher> searchers;
    auto it = searchers.find(encoding);
    if (it != searchers.end()) return it->second;
    const Data& d = GetData();
    const std::string path =
        (std::filesystem::temp_directory_path() / ("orvane_bf_bench_" + encoding + ".idx"))
            .string();
    api::BuilderOptions options{{"index.type", std::string("bruteforce")},
                                {"index.dimension", int64_t{d.base.dim}},
                                {"encoding.type", encoding}};
    auto builder = api::OrvaneBuilder::Create(options);
    std::vector<uint64_t> ids(d.base.rows);
    for (uint64_t i = 0; i < ids.size(); ++i) ids[i] = i;
    if (!builder.IsOk() || !builder.Value().Pretrain(d.base.pixels.data(), d.base.rows).IsOk() ||
        !builder.Value().InsertBatch(d.base.pixels.data(), ids.data(), d.base.rows).IsOk() ||
        !builder.Value().Dump(api::IOOptions{{"index.path", path}}).IsOk()) {
        std::fprintf(stderr, "building the %s index failed\n", encoding.c_str());
        std::exit(2);
    }
    auto searcher = api::OrvaneSearcher::Create(api::SearcherOptions{
        {"index.type", std::string("bruteforce")}, {"index.dimension", int64_t{d.base.dim}}});
    if (!searcher.IsOk() || !searcher.Value().Open(api::IOOptions{{"index.path", path}}).IsOk()) {
        std::fprintf(stderr, "opening the %s index failed\n", encoding.c_str());
        std::exit(2);
    }
    std::filesystem::remove(path);
    return searchers.emplace(encoding, searcher.TakeValue()).first->second;
}

std::vector<uint64_t> TopIds(api::OrvaneSearcher& s, const float* q, uint32_t dim, int64_t p) {
    auto r = s.Search(api::Query(q, dim),
                      api::SearchOptions{{"search.topk", kTopk}, {"search.parallel_number", p}});
    std::vector<uint64_t> ids;
    if (r.IsOk()) {
        for (const auto& hit : r.Value().topk) ids.push_back(hit.id);
    }
    return ids;
}

void BM_Bruteforce(benchmark::State& state, const std::string& encoding) {
    const Data& d = GetData();
    const uint32_t dim = d.base.dim;
    api::OrvaneSearcher& searcher = Searcher(encoding);
    const int64_t parallel = state.range(0);
    const api::SearchOptions options{{"search.topk", kTopk}, {"search.parallel_number", parallel}};
    uint64_t q = 0;
    for (auto _ : state) {
        const float* query = d.queries.pixels.data() + (q++ % d.queries.rows) * dim;
        auto r = searcher.Search(api::Query(query, dim), options);
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations());
    if (encoding != "rawf32") {
        api::OrvaneSearcher& exact = Searcher("rawf32");
        double found = 0;
        for (uint64_t i = 0; i < d.queries.rows; ++i) {
            const float* query = d.queries.pixels.data() + i * dim;
            const auto want = TopIds(exact, query, dim, 1);
            const auto got = TopIds(searcher, query, dim, 1);
            const std::set<uint64_t> wantSet(want.begin(), want.end());
            for (uint64_t id : got) found += wantSet.count(id);
        }
        state.counters["recall@10"] = found / (double(kTopk) * d.queries.rows);
    }
}

BENCHMARK(BM_PlainAvx2Scan)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Bruteforce, rawf32, std::string("rawf32"))
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Bruteforce, sq8, std::string("sq8"))
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace orvane::bench

BENCHMARK_MAIN();
