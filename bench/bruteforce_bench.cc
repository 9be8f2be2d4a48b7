// Bruteforce search on Fashion-MNIST (60000 x 784 base, test images as
// queries), one query per call, side by side with a plain AVX2 L2 scan over the
// same matrix as the reference:
//   BM_PlainAvx2Scan            the reference: 8-wide FMA L2, top-10 by insertion
//   BM_Bruteforce/rawf32/P      the rawf32 index, search.parallel_number P
//   BM_Bruteforce/sq8/1         the sq8 index; counter recall@10 against rawf32
// Compare items_per_second (queries per second) within one run.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FashionMnist.h"
#include "api/OrvaneBuilder.h"
#include "api/OrvaneSearcher.h"

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

__attribute__((target("avx2,fma"))) float L2Avx2(const float* a, const float* b, uint32_t dim) {
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps(), acc3 = _mm256_setzero_ps();
    uint32_t i = 0;
    for (; i + 32 <= dim; i += 32) {
        __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
        __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
        __m256 d2 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16));
        __m256 d3 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24));
        acc0 = _mm256_fmadd_ps(d0, d0, acc0);
        acc1 = _mm256_fmadd_ps(d1, d1, acc1);
        acc2 = _mm256_fmadd_ps(d2, d2, acc2);
        acc3 = _mm256_fmadd_ps(d3, d3, acc3);
    }
    for (; i + 8 <= dim; i += 8) {
        __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
        acc0 = _mm256_fmadd_ps(d0, d0, acc0);
    }
    __m256 acc = _mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3));
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
    s = _mm_hadd_ps(s, s);
    s = _mm_hadd_ps(s, s);
    float sum = _mm_cvtss_f32(s);
    for (; i < dim; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return sum;
}

void BM_PlainAvx2Scan(benchmark::State& state) {
    const Data& d = GetData();
    const uint32_t dim = d.base.dim;
    uint64_t q = 0;
    std::vector<std::pair<float, uint64_t>> best;
    for (auto _ : state) {
        const float* query = d.queries.pixels.data() + (q++ % d.queries.rows) * dim;
        best.clear();
        for (uint64_t r = 0; r < d.base.rows; ++r) {
            const float dist = L2Avx2(query, d.base.pixels.data() + r * dim, dim);
            if (best.size() < kTopk || dist < best.back().first) {
                if (best.size() == kTopk) best.pop_back();
                best.insert(std::upper_bound(best.begin(), best.end(), std::make_pair(dist, r)),
                            {dist, r});
            }
        }
        benchmark::DoNotOptimize(best.data());
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
