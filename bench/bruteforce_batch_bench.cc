// Bruteforce batches on Fashion-MNIST (60000 x 784 base, 1000 test images as
// queries, top-10, rawf32 l2), the whole batch per iteration:
//   BM_OneByOne/P     one scan per query, search.parallel_number P
//   BM_ByProducts/P   the batch scored by blocked matrix products on P threads
// items_per_second is queries per second; compare within one run. The counter
// "differing" is the number of queries whose hits (ids or distances) differ
// between the two paths, and must be 0.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FashionMnist.h"
#include "orvane/api/OrvaneBuilder.h"
#include "index/bruteforce/BruteforceSearcherBackend.h"
#include "orvane/io/FileReader.h"
#include "io/InputStream.h"
#include "util/ExecutorManager.h"

namespace orvane::bench {
namespace {

constexpr uint64_t kQueries = 1000;
constexpr int64_t kTopk = 10;

struct Fixture {
    ImageSet base;
    ImageSet queries;
    std::unique_ptr<io::InputStream> stream;
    std::unique_ptr<index::BruteforceSearcherBackend> backend;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "%s failed\n", what);
    std::exit(2);
}

Fixture& GetFixture() {
    static Fixture f = [] {
        Fixture d;
        d.base = LoadIdxImages("train-images-idx3-ubyte.gz");
        d.queries = LoadIdxImages("t10k-images-idx3-ubyte.gz", kQueries);
        if (d.base.rows == 0) {
            d.base = GeneratedImages(60000, 784, 1);
            d.queries = GeneratedImages(kQueries, 784, 2);
        }
        const std::string path =
            (std::filesystem::temp_directory_path() / "orvane_bf_batch_bench.idx").string();
        auto builder = api::OrvaneBuilder::Create(
            api::BuilderOptions{{"index.type", std::string("bruteforce")},
                                {"index.dimension", int64_t{d.base.dim}},
                                {"encoding.type", std::string("rawf32")}});
        std::vector<uint64_t> ids(d.base.rows);
        for (uint64_t i = 0; i < ids.size(); ++i) ids[i] = i;
        if (!builder.IsOk() ||
            !builder.Value().InsertBatch(d.base.pixels.data(), ids.data(), d.base.rows).IsOk() ||
            !builder.Value().Dump(api::IOOptions{{"index.path", path}}).IsOk()) {
            Fail("building the index");
        }
        auto reader = io::CreateFileReader(api::IOOptions{{"index.path", path}});
        if (!reader.IsOk()) Fail("reading the index");
        d.stream = std::make_unique<io::InputStream>(reader.TakeValue());
        auto executor = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Search);
        if (!d.stream->Open({}).IsOk() || !executor.IsOk()) Fail("opening the index");
        d.backend = std::make_unique<index::BruteforceSearcherBackend>(
            d.base.dim, executor.TakeValue(), core::MemoryResourceConfig());
        if (!d.backend->Open(*d.stream).IsOk()) Fail("opening the index");
        return d;
    }();
    return f;
}

const api::SearchOptions kOptions{{"search.topk", kTopk}};

std::vector<api::SearchResult> OneByOne(Fixture& f, uint32_t parallel) {
    std::vector<api::SearchResult> results;
    std::pmr::unsynchronized_pool_resource arena;
    for (uint64_t q = 0; q < f.queries.rows; ++q) {
        const api::Query query(f.queries.pixels.data() + q * f.queries.dim, f.queries.dim);
        auto r = f.backend->DoSearchWithFilter(query, {}, parallel, kOptions, arena);
        if (!r.IsOk()) Fail("a search");
        results.push_back(r.TakeValue());
    }
    return results;
}

std::vector<api::SearchResult> ByProducts(Fixture& f, uint32_t parallel) {
    std::pmr::unsynchronized_pool_resource arena;
    const api::SearchOptions options{{"search.topk", kTopk},
                                     {"search.parallel_number", int64_t{parallel}}};
    api::BatchSearchRequest request;
    request.queries = f.queries.pixels.data();
    request.n = f.queries.rows;
    request.dim = f.queries.dim;
    request.topk = kTopk;
    request.options = &options;
    request.resource = &arena;
    std::vector<api::SearchResult> results(request.n);
    if (!f.backend->SearchBatch(request, results).IsOk()) Fail("a batch");
    return results;
}

void BM_OneByOne(benchmark::State& state) {
    Fixture& f = GetFixture();
    for (auto _ : state) benchmark::DoNotOptimize(OneByOne(f, state.range(0)));
    state.SetItemsProcessed(state.iterations() * f.queries.rows);
}

void BM_ByProducts(benchmark::State& state) {
    Fixture& f = GetFixture();
    for (auto _ : state) benchmark::DoNotOptimize(ByProducts(f, state.range(0)));
    state.SetItemsProcessed(state.iterations() * f.queries.rows);
    const auto want = OneByOne(f, 1);
    const auto got = ByProducts(f, state.range(0));
    double differing = 0;
    for (uint64_t q = 0; q < want.size(); ++q) {
        bool same = want[q].topk.size() == got[q].topk.size();
        for (size_t h = 0; same && h < want[q].topk.size(); ++h) {
            same = want[q].topk[h].id == got[q].topk[h].id &&
                   want[q].topk[h].distance == got[q].topk[h].distance;
        }
        differing += same ? 0 : 1;
    }
    state.counters["differing"] = differing;
}

BENCHMARK(BM_OneByOne)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ByProducts)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace orvane::bench

BENCHMARK_MAIN();
