// DiskANN search over Fashion-MNIST against hnswlib, side by side in one
// process: one query per call on one thread, after a warm-up, for a sweep of
// list sizes (DiskANN, with the local and the memory-mapped reader) and of ef
// (hnswlib M 16, ef_construction 200, compiled with -march=native). Prints
// recall@10 (by id, against an exact scan) and queries per second for every
// point, then each DiskANN reader's rate at recall 0.95 (interpolated between
// the two points around it) over hnswlib's.
//
// The indexes and the exact top-10 are kept in the index directory and reused
// by later runs (remove it after changing the builder).
//
// Usage: bench_diskann_search [index_dir] [queries] [pq_m] [passes] [runs]
//                             [degree]
//        (defaults /tmp/orvane_dsearch_bench 1000 98 3 hnswlib,local,mmap;
//        pq_m 0: the builder's defaults, ef_construction 512 and PQ of two
//        components per chunk; runs: which to time of hnswlib, local, cached
//        (the local reader with a tenth of the records cached) and mmap;
//        degree: R, default 32 with a pq_m and the builder's 128 without)
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "FashionMnist.h"
#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "distance/Metric.h"
#include "hnswlib/hnswlib.h"
#include "telemetry/Logger.h"

namespace {

using namespace orvane;

constexpr uint32_t kK = 10;
constexpr uint64_t kWarmup = 50;
constexpr double kTargetRecall = 0.95;

struct Point {
    int64_t param = 0;
    double recall = 0;
    double qps = 0;     // queries per second of wall time
    double cpuQps = 0;  // queries per second of the searching thread's processor time
};

// Processor time of the calling thread: on a machine shared with other work
// it counts only the time the search ran, not the time it waited for a core.
double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Resident anonymous memory of this process in MiB (RssAnon).
double RssAnonMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("RssAnon:", 0) == 0) return std::atof(line.c_str() + 8) / 1024.0;
    }
    return 0;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<uint32_t> ExactTopK(const bench::ImageSet& base, const bench::ImageSet& queries) {
    std::vector<uint32_t> truth(queries.rows * kK);
    std::vector<std::pair<float, uint32_t>> scored(base.rows);
    for (uint64_t q = 0; q < queries.rows; ++q) {
        const float* query = queries.pixels.data() + q * queries.dim;
        for (uint32_t v = 0; v < base.rows; ++v) {
            scored[v] = {TagInvoke(dist::EvalTag{}, dist::MetricT<dist::MetricE::l2>{},
                                   std::span<const float>(query, base.dim),
                                   std::span<const float>(
                                       base.pixels.data() + uint64_t{v} * base.dim, base.dim)),
                         v};
        }
        std::partial_sort(scored.begin(), scored.begin() + kK, scored.end());
        for (uint32_t j = 0; j < kK; ++j) truth[q * kK + j] = scored[j].second;
    }
    return truth;
}

std::vector<uint32_t> LoadOrComputeTruth(const std::string& path, const bench::ImageSet& base,
                                         const bench::ImageSet& queries) {
    std::vector<uint32_t> truth(queries.rows * kK);
    std::ifstream in(path, std::ios::binary);
    if (in.read(reinterpret_cast<char*>(truth.data()),
                static_cast<std::streamsize>(truth.size() * sizeof(uint32_t)))) {
        return truth;
    }
    truth = ExactTopK(base, queries);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(truth.data()),
               static_cast<std::streamsize>(truth.size() * sizeof(uint32_t)));
    return truth;
}

double HitsOf(const std::vector<uint64_t>& found, const uint32_t* truth) {
    double hits = 0;
    for (uint64_t id : found) {
        hits += std::count(truth, truth + kK, static_cast<uint32_t>(id)) > 0 ? 1 : 0;
    }
    return hits;
}

// One searcher's sweep: for the sweep value `param`, searchOne(param, query,
// found) answers one query into `found` (row ids).
struct Series {
    const char* label;
    const char* paramName;
    std::vector<int64_t> params;
    std::function<void(int64_t, const float*, std::vector<uint64_t>&)> searchOne;
    std::vector<Point> points;
};

// One timed pass of every query at one sweep value, after a warm-up: its rate
// and recall.
Point TimePass(Series& series, int64_t param, const bench::ImageSet& queries,
               const std::vector<uint32_t>& truth) {
    std::vector<uint64_t> found;
    for (uint64_t q = 0; q < std::min<uint64_t>(kWarmup, queries.rows); ++q) {
        series.searchOne(param, queries.pixels.data() + q * queries.dim, found);
    }
    double hits = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ThreadCpuSeconds();
    for (uint64_t q = 0; q < queries.rows; ++q) {
        series.searchOne(param, queries.pixels.data() + q * queries.dim, found);
        hits += HitsOf(found, truth.data() + q * kK);
    }
    const double cpu = ThreadCpuSeconds() - cpuStart;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return Point{param, hits / (static_cast<double>(kK) * queries.rows),
                 static_cast<double>(queries.rows) / seconds,
                 static_cast<double>(queries.rows) / std::max(cpu, 1e-9)};
}

// Times every series' sweep `passes` times, the series interleaved value by
// value so that a change of machine load hits them alike; keeps the fastest
// pass of each point.
void TimeInterleaved(std::vector<Series>& all, const bench::ImageSet& queries,
                     const std::vector<uint32_t>& truth, int passes) {
    for (Series& series : all) series.points.assign(series.params.size(), Point{});
    size_t longest = 0;
    for (const Series& series : all) longest = std::max(longest, series.params.size());
    for (int pass = 0; pass < passes; ++pass) {
        for (size_t i = 0; i < longest; ++i) {
            for (Series& series : all) {
                if (i >= series.params.size()) continue;
                const Point p = TimePass(series, series.params[i], queries, truth);
                Point& kept = series.points[i];
                kept.param = p.param;
                kept.recall = p.recall;
                kept.qps = std::max(kept.qps, p.qps);
                kept.cpuQps = std::max(kept.cpuQps, p.cpuQps);
            }
        }
    }
}

// The rate at the target recall, interpolated between the sweep points around
// it; 0 when no point reaches it.
double RateAtRecall(std::vector<Point> points, double Point::*rate = &Point::qps) {
    std::sort(points.begin(), points.end(),
              [](const Point& a, const Point& b) { return a.recall < b.recall; });
    for (size_t i = 0; i < points.size(); ++i) {
        if (points[i].recall < kTargetRecall) continue;
        if (i == 0) return points[i].*rate;
        const Point& lo = points[i - 1];
        const Point& hi = points[i];
        const double t = (kTargetRecall - lo.recall) / std::max(1e-9, hi.recall - lo.recall);
        return lo.*rate + t * (hi.*rate - lo.*rate);
    }
    return 0;
}

void Print(const char* label, const char* param, const std::vector<Point>& points) {
    for (const Point& p : points) {
        std::printf("%-26s %s %4ld  recall@10 %.4f  %8.0f QPS  %8.0f QPS of cpu\n", label, param,
                    static_cast<long>(p.param), p.recall, p.qps, p.cpuQps);
    }
}

// pqM 0 keeps the builder's PQ and ef_construction defaults (512), degree 0
// its default degree (128).
bool BuildDiskANN(const std::string& path, const bench::ImageSet& base, int64_t pqM,
                  int64_t degree) {
    api::BuilderOptions options{{"index.type", std::string("diskann")},
                                {"index.dimension", int64_t{base.dim}},
                                {"diskann.build.thread_count", int64_t{2}}};
    if (degree > 0) options.Values()["diskann.build.neighbor_count"] = degree;
    if (pqM > 0) {
        options.Values()["diskann.build.ef_construction"] = int64_t{200};
        options.Values()["encoding.pq.m"] = pqM;
    }
    auto builder = api::OrvaneBuilder::Create(options);
    if (!builder) return false;
    std::vector<uint64_t> ids(base.rows);
    std::iota(ids.begin(), ids.end(), uint64_t{0});
    return builder.Value().Pretrain(base.pixels.data(), base.rows).IsOk() &&
           builder.Value().InsertBatch(base.pixels.data(), ids.data(), base.rows).IsOk() &&
           builder.Value().Dump(api::IOOptions{{"index.path", path}}).IsOk();
}

const std::vector<int64_t> kListSizes = {10, 20, 25, 30, 35, 40, 50, 60, 80, 100, 150};
const std::vector<int64_t> kEfs = {10, 12, 14, 16, 20, 25, 30, 40, 80, 120, 200};

// cacheNodes: records kept in memory by the searcher (the nodes nearest the
// entry points, which every query reads first), 0 for none.
std::unique_ptr<api::OrvaneSearcher> OpenDiskANN(const std::string& path, const std::string& reader,
                                                 uint32_t dim, int64_t cacheNodes = 0) {
    auto searcher = api::OrvaneSearcher::Create(
        api::SearcherOptions{{"index.type", std::string("diskann")},
                             {"index.dimension", int64_t{dim}},
                             {"diskann.search.num_nodes_to_cache", cacheNodes}});
    if (!searcher) return nullptr;
    auto opened = std::make_unique<api::OrvaneSearcher>(searcher.TakeValue());
    if (!opened->Open(api::IOOptions{{"index.path", path}, {"io.reader.type", reader}}).IsOk()) {
        return nullptr;
    }
    return opened;
}

Series DiskANNSeries(const char* label, api::OrvaneSearcher& searcher, uint32_t dim) {
    return Series{label,
                  "L ",
                  kListSizes,
                  [&searcher, dim](int64_t listSize, const float* q, std::vector<uint64_t>& out) {
                      out.clear();
                      const api::SearchOptions options{{"search.topk", int64_t{kK}},
                                                       {"diskann.search.list_size", listSize}};
                      auto result = searcher.Search(api::Query(q, dim), options);
                      if (!result) return;
                      for (const api::SearchHit& hit : result.Value().topk) out.push_back(hit.id);
                  },
                  {}};
}

std::unique_ptr<hnswlib::HierarchicalNSW<float>> OpenHnswlib(const std::string& path,
                                                             hnswlib::L2Space& space,
                                                             const bench::ImageSet& base) {
    if (Exists(path)) return std::make_unique<hnswlib::HierarchicalNSW<float>>(&space, path);
    auto index = std::make_unique<hnswlib::HierarchicalNSW<float>>(&space, base.rows, 16, 200);
    std::atomic<uint64_t> next{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 2; ++t) {
        workers.emplace_back([&] {
            for (uint64_t i = next++; i < base.rows; i = next++) {
                index->addPoint(base.pixels.data() + i * base.dim, i);
            }
        });
    }
    for (auto& w : workers) w.join();
    index->saveIndex(path);
    return index;
}

Series HnswlibSeries(hnswlib::HierarchicalNSW<float>& index) {
    return Series{"hnswlib M16 efC200",
                  "ef",
                  kEfs,
                  [&index](int64_t ef, const float* q, std::vector<uint64_t>& out) {
                      out.clear();
                      index.setEf(static_cast<size_t>(ef));
                      auto result = index.searchKnn(q, kK);
                      for (; !result.empty(); result.pop()) out.push_back(result.top().second);
                  },
                  {}};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp/orvane_dsearch_bench";
    const uint64_t queryCount = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    const int64_t pqM = argc > 3 ? std::atoll(argv[3]) : 98;
    const int passes = argc > 4 ? std::atoi(argv[4]) : 3;
    const std::string runs = argc > 5 ? argv[5] : "hnswlib,local,cached,mmap";
    const int64_t degree = argc > 6 ? std::atoll(argv[6]) : (pqM > 0 ? 32 : 0);
    auto wanted = [&](const char* name) { return runs.find(name) != std::string::npos; };
    telemetry::Logger::Instance().SetLevel(telemetry::LogLevel::Warn);
    ::mkdir(dir.c_str(), 0755);

    bench::ImageSet base = bench::LoadIdxImages("train-images-idx3-ubyte.gz");
    bench::ImageSet queries = bench::LoadIdxImages("t10k-images-idx3-ubyte.gz", queryCount);
    if (base.rows == 0 || queries.rows == 0) {
        std::printf("Fashion-MNIST not found; using generated images\n");
        base = bench::GeneratedImages(60000, 784, 1);
        queries = bench::GeneratedImages(queryCount, 784, 2);
    }
    const auto truth = LoadOrComputeTruth(
        dir + "/truth_" + std::to_string(base.rows) + "_" + std::to_string(queries.rows) + ".bin",
        base, queries);
    const std::string shape =
        pqM > 0 ? "r" + std::to_string(degree) + "_efc200_pq" + std::to_string(pqM)
                : (degree > 0 ? "r" + std::to_string(degree) + "_efc512_pqdefault" : "defaults");
    const std::string index = dir + "/diskann_" + shape + ".idx";
    if (!Exists(index) && !BuildDiskANN(index, base, pqM, degree)) {
        std::printf("DiskANN build failed\n");
        return 1;
    }
    std::printf("diskann search: %lu rows x %u dims, %lu queries, index %s, best of %d passes\n",
                static_cast<unsigned long>(base.rows), base.dim,
                static_cast<unsigned long>(queries.rows), index.c_str(), passes);

    hnswlib::L2Space space(base.dim);
    std::unique_ptr<hnswlib::HierarchicalNSW<float>> hnsw;
    std::unique_ptr<api::OrvaneSearcher> local, cached, mapped;
    std::vector<Series> all;
    // Anonymous memory each searcher adds: hnswlib's index is loaded into the
    // heap; DiskANN's is measured from before its open to after the searches
    // (page-cache pages of a mapped file are not anonymous).
    double hnswAnon = 0;
    double diskannAnon = 0;
    if (wanted("hnswlib")) {
        const double before = RssAnonMiB();
        hnsw = OpenHnswlib(dir + "/hnswlib_m16_efc200.bin", space, base);
        hnswAnon = RssAnonMiB() - before;
        all.push_back(HnswlibSeries(*hnsw));
    }
    const double beforeDiskANN = RssAnonMiB();
    if (wanted("local") && (local = OpenDiskANN(index, "local", base.dim))) {
        all.push_back(DiskANNSeries("diskann local", *local, base.dim));
    }
    // The local reader with a tenth of the records cached (the most the
    // searcher keeps): the first hops of every query are then served from
    // memory instead of one read each.
    if (wanted("cached") &&
        (cached = OpenDiskANN(index, "local", base.dim, static_cast<int64_t>(base.rows / 10)))) {
        all.push_back(DiskANNSeries("diskann local+cache", *cached, base.dim));
    }
    if (wanted("mmap") && (mapped = OpenDiskANN(index, "mmap", base.dim))) {
        all.push_back(DiskANNSeries("diskann mmap", *mapped, base.dim));
    }
    TimeInterleaved(all, queries, truth, passes);
    diskannAnon = RssAnonMiB() - beforeDiskANN;
    for (const Series& series : all) Print(series.label, series.paramName, series.points);
    const double anchor = hnsw ? RateAtRecall(all.front().points) : 0.0;
    const double cpuAnchor = hnsw ? RateAtRecall(all.front().points, &Point::cpuQps) : 0.0;
    for (const Series& series : all) {
        if (hnsw && &series == &all.front()) continue;
        const double rate = RateAtRecall(series.points);
        const double cpuRate = RateAtRecall(series.points, &Point::cpuQps);
        std::printf(
            "at recall@10 %.2f: %s %.0f QPS, hnswlib %.0f, ratio %.2fx; by processor time %.0f "
            "against %.0f, ratio %.2fx\n",
            kTargetRecall, series.label, rate, anchor, anchor > 0 ? rate / anchor : 0.0, cpuRate,
            cpuAnchor, cpuAnchor > 0 ? cpuRate / cpuAnchor : 0.0);
    }
    const int open = (local ? 1 : 0) + (cached ? 1 : 0) + (mapped ? 1 : 0);
    std::printf("anonymous memory: hnswlib %.1f MiB, diskann (%d searcher%s open) %.1f MiB\n",
                hnswAnon, open, open == 1 ? "" : "s", diskannAnon);
    if (local) (void)local->Close();
    if (cached) (void)cached->Close();
    if (mapped) (void)mapped->Close();
    return 0;
}
