// IVF search over Fashion-MNIST (256 lists, the first 200 test images as
// queries), single thread, one query per call, side by side in one run:
//   BM_IvfSearch      the searcher: lists laid out contiguously at Open, one
//                     batch-kernel pass per list, a bounded top-k heap;
//   BM_IvfScattered   the plain scan of the file's layout: every list's rows
//                     scored by id where insertion order put them, all hits
//                     collected and sorted, the first k kept.
// Both use the same index file and evaluator kind; the counters give the rows
// scored per query. Without the dataset, generated images of the same shape
// are used.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FashionMnist.h"
#include "distance/MetricDispatchers.h"
#include "encoding/QuantizerEvaluatorLoader.h"
#include "index/ivf/IvfIndexMeta.h"
#include "index/ivf/IvfKind.h"
#include "orvane/io/FileWriter.h"
#include "io/InputStream.h"
#include "io/MemoryFileReader.h"
#include "io/OutputStream.h"
#include "isa/DynamicIsa.h"

namespace {

using namespace orvane;
using index::ivf::ListDirEntry;

constexpr uint32_t kLists = 256;
constexpr uint32_t kTopK = 10;
constexpr uint64_t kQueries = 200;

class StringWriter : public io::FileWriter {
  public:
    explicit StringWriter(std::string* out) : _out(out) {}
    core::Status Write(const char* data, uint64_t size) override {
        _out->append(data, size);
        return {};
    }
    core::Status Close() override { return {}; }
    core::Result<uint64_t> GetLength() override { return uint64_t{_out->size()}; }

  private:
    std::string* _out;
};

struct Data {
    bench::ImageSet base;
    bench::ImageSet queries;
};

const Data& GetData() {
    static const Data data = [] {
        Data d{bench::LoadIdxImages("train-images-idx3-ubyte.gz"),
               bench::LoadIdxImages("t10k-images-idx3-ubyte.gz", kQueries)};
        if (d.base.rows == 0 || d.queries.rows == 0) {
            d.base = bench::GeneratedImages(60000, 784, 1);
            d.queries = bench::GeneratedImages(kQueries, 784, 2);
        }
        return d;
    }();
    return data;
}

// The index file of one encoding, built once.
const std::string& Image(const std::string& encoding) {
    static std::map<std::string, std::string> images;
    std::string& image = images[encoding];
    if (!image.empty()) return image;
    const Data& d = GetData();
    api::BuilderOptions options{{"index.dimension", int64_t{d.base.dim}},
                                {"ivf.build.num_lists", int64_t{kLists}},
                                {"ivf.build.thread_count", int64_t{2}},
                                {"ivf.build.max_epoch", int64_t{10}},
                                {"encoding.type", encoding}};
    auto builder = index::CreateIvfBuilderBackend(options, {});
    std::vector<uint64_t> ids(d.base.rows);
    for (uint64_t i = 0; i < ids.size(); ++i) ids[i] = i;
    io::OutputStream stream(std::make_unique<StringWriter>(&image));
    if (!builder.IsOk() || !builder.Value()->Pretrain(d.base.pixels.data(), d.base.rows).IsOk() ||
        !builder.Value()->Reserve(d.base.rows).IsOk() ||
        !builder.Value()->AppendBatch(d.base.pixels, ids).IsOk() || !stream.Init({}).IsOk() ||
        !builder.Value()->Dump(stream).IsOk()) {
        image.clear();
    }
    return image;
}

template <typename T>
std::vector<T> ReadAll(io::InputStream& stream, const char* name) {
    auto reader = stream.GetSectionReader(name);
    const uint64_t bytes = reader.Value()->SectionPayloadSize();
    std::vector<T> out(bytes / sizeof(T));
    (void)reader.Value()->Read(0, bytes,
                               std::span<char>(reinterpret_cast<char*>(out.data()), bytes));
    return out;
}

void BM_IvfSearch(benchmark::State& state, const std::string& encoding) {
    const Data& d = GetData();
    auto searcher = index::CreateIvfSearcherBackend(d.base.dim, {}, {});
    io::InputStream stream(std::make_unique<io::MemoryFileReader>(Image(encoding)));
    if (!stream.Open({}).IsOk() || !searcher.Value()->Open(stream).IsOk()) {
        state.SkipWithError("open failed");
        return;
    }
    const api::SearchOptions options{{"search.topk", int64_t{kTopK}},
                                     {"search.nprobe", state.range(0)}};
    uint64_t q = 0;
    uint64_t rows = 0;
    for (auto _ : state) {
        auto result = searcher.Value()->Search(
            api::Query(d.queries.pixels.data() + (q++ % kQueries) * d.base.dim, d.base.dim),
            options, *std::pmr::get_default_resource());
        rows += std::stoull(result.Value().searchStats.at("query_stats.distance_calculate_count"));
        benchmark::DoNotOptimize(result);
    }
    state.counters["rows/query"] = static_cast<double>(rows) / state.iterations();
}

void BM_IvfScattered(benchmark::State& state, const std::string& encoding) {
    const Data& d = GetData();
    const uint32_t dim = d.base.dim;
    io::InputStream stream(std::make_unique<io::MemoryFileReader>(Image(encoding)));
    if (!stream.Open({}).IsOk()) {
        state.SkipWithError("open failed");
        return;
    }
    const std::vector<float> centroids = ReadAll<float>(stream, index::ivf::kCentroidsSection);
    const std::vector<ListDirEntry> dir =
        ReadAll<ListDirEntry>(stream, index::ivf::kListDirSection);
    const std::vector<uint64_t> rowIds = ReadAll<uint64_t>(stream, index::ivf::kRowIdsSection);
    const std::vector<uint64_t> ids = ReadAll<uint64_t>(stream, index::ivf::kIdsSection);
    auto reader = stream.GetSectionReader(index::ivf::kQuantizerSection);
    auto evaluator =
        quantizer::LoadQuantizerEvaluator(reader.Value(), *std::pmr::get_default_resource());
    if (!evaluator || !evaluator->Open(reader.Value()).IsOk()) {
        state.SkipWithError("evaluator failed");
        return;
    }
    const auto nprobe = static_cast<uint32_t>(state.range(0));
    uint64_t q = 0;
    uint64_t rows = 0;
    for (auto _ : state) {
        const float* query = d.queries.pixels.data() + (q++ % kQueries) * dim;
        std::vector<float> cd(kLists);
        isa::InvokeWithDynamicIsa(dist::L2BatchDispatcher{}, query, centroids.data(), dim,
                                  uint64_t{kLists}, cd.data());
        std::vector<std::pair<float, uint32_t>> order(kLists);
        for (uint32_t i = 0; i < kLists; ++i) order[i] = {cd[i], i};
        std::partial_sort(order.begin(), order.begin() + nprobe, order.end(),
                          [](const auto& a, const auto& b) { return a.first < b.first; });
        auto prepared = evaluator->PrepareQuery(std::span<const float>(query, dim));
        std::vector<std::pair<uint64_t, float>> hits;
        hits.reserve(2 * kTopK);
        std::vector<float> buffer;
        for (uint32_t j = 0; j < nprobe; ++j) {
            const ListDirEntry& e = dir[order[j].second];
            buffer.resize(e.rowCount);
            (void)evaluator->BatchEval(
                *prepared.Value(), std::span<const uint64_t>(&rowIds[e.rowOffset / 8], e.rowCount),
                buffer);
            for (uint64_t i = 0; i < e.rowCount; ++i)
                hits.push_back({ids[e.idsOffset / 8 + i], buffer[i]});
            rows += e.rowCount;
        }
        std::sort(hits.begin(), hits.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
        hits.resize(std::min<size_t>(hits.size(), kTopK));
        benchmark::DoNotOptimize(hits);
    }
    state.counters["rows/query"] = static_cast<double>(rows) / state.iterations();
}

void Nprobes(benchmark::internal::Benchmark* b) {
    for (int64_t n : {1, 4, 8, 16, 64}) b->Arg(n);
}

BENCHMARK_CAPTURE(BM_IvfScattered, rawf32, std::string("rawf32"))->Apply(Nprobes);
BENCHMARK_CAPTURE(BM_IvfSearch, rawf32, std::string("rawf32"))->Apply(Nprobes);
BENCHMARK_CAPTURE(BM_IvfScattered, sq8, std::string("sq8"))->Apply(Nprobes);
BENCHMARK_CAPTURE(BM_IvfSearch, sq8, std::string("sq8"))->Apply(Nprobes);

}  // namespace

BENCHMARK_MAIN();
