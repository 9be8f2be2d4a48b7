// DiskANN graph build over Fashion-MNIST: build time with 1 and 2 build
// threads side by side (their ratio is the parallel speed-up), recall@10 of a
// best-first search of the built graph with a result list of 100 (exact
// distances, against an exact scan), the process's peak memory, and the share
// of a node's neighbours stored in its own sector before and after the
// sector-aware reordering, for several sector capacities.
//
// Usage: bench_diskann_build [rows] [queries] [degree] [ef_construction] [peer]
//                            [encoding] [pq_m] [threads]
//        (defaults 60000 1000 32 200 1 rawf32 0 12; peer 0 skips the hnswlib
//        builds; encoding rawf32, sq8 or pq, pq_m 0 for the builder's default
//        chunk count; threads "12" builds with 1 and then 2 threads, "2" or
//        "1" only that one). Each build prints its phases (pretrain, append:
//        encoding and insertion, dump) and the FNV-1a hash of the dumped file,
//        which must not change for a one-thread build of the same options.
#include <time.h>
#include <algorithm>
#include <atomic>
#include <thread>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "../tests/index/diskann/build/GraphWalk.h"
#include "../tests/io/IoTestUtil.h"
#include "../tests/testing/FileBytes.h"
#include "FashionMnist.h"
#include "distance/Metric.h"
#include "hnswlib/hnswlib.h"
#include "index/diskann/build/DiskANNBuilderBackend.h"
#include "index/diskann/build/LayoutRanker.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"

namespace {

using namespace orvane;
using index::diskann::BuildMemoryStorage;
using index::diskann::DiskANNBuilderBackend;

// CPU seconds used by the whole process so far (all threads).
double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

float L2(const float* a, const float* b, uint32_t dim) {
    return TagInvoke(dist::EvalTag{}, dist::MetricT<dist::MetricE::l2>{},
                     std::span<const float>(a, dim), std::span<const float>(b, dim));
}

// Peak resident set of this process in MiB (VmHWM).
double PeakRssMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return 0;
}

struct BuildConfig {
    int64_t degree = 32;
    int64_t ef = 200;
    std::string encoding = "rawf32";
    int64_t pqChunks = 0;
};

std::unique_ptr<DiskANNBuilderBackend> Build(const bench::ImageSet& base, int64_t threads,
                                             const BuildConfig& config, double* seconds,
                                             double* cpuSeconds) {
    api::BuilderOptions options{{"index.dimension", int64_t{base.dim}},
                                {"encoding.type", config.encoding},
                                {"diskann.build.neighbor_count", config.degree},
                                {"diskann.build.ef_construction", config.ef},
                                {"diskann.build.thread_count", threads},
                                {"build.log_threshold", int64_t{1} << 40}};
    if (config.pqChunks > 0) options.Values()["encoding.pq.m"] = config.pqChunks;
    auto created = index::diskann::CreateDiskANNBuilderBackend(options, core::Normalize({}));
    if (!created.IsOk()) return nullptr;
    std::unique_ptr<DiskANNBuilderBackend> b(
        static_cast<DiskANNBuilderBackend*>(created.TakeValue().release()));
    std::vector<uint64_t> ids(base.rows);
    std::iota(ids.begin(), ids.end(), 0);
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    if (!b->Pretrain(base.pixels.data(), base.rows).IsOk()) return nullptr;
    const double pretrained = SecondsSince(start);
    if (!b->Reserve(base.rows).IsOk() || !b->AppendBatch(base.pixels, ids).IsOk()) return nullptr;
    const double appended = SecondsSince(start);
    auto image = std::make_shared<std::string>();
    io::OutputStream stream(std::make_unique<io::testutil::StringWriter>(image));
    if (!stream.Init({}).IsOk() || !b->Dump(stream).IsOk()) return nullptr;
    *seconds = SecondsSince(start);
    *cpuSeconds = ProcessCpuSeconds() - cpuStart;
    std::printf(
        "  %ld thread(s) %s: pretrain %.2f s, append %.2f s, dump %.2f s; file %zu bytes, hash "
        "%016llx\n",
        static_cast<long>(threads), config.encoding.c_str(), pretrained, appended - pretrained,
        *seconds - appended, image->size(),
        static_cast<unsigned long long>(orvane::testing::BytesHash(*image)));
    return b;
}

std::vector<std::vector<uint32_t>> ExactTopK(const bench::ImageSet& base,
                                             const bench::ImageSet& queries, uint32_t k) {
    std::vector<std::vector<uint32_t>> truth(queries.rows);
    std::vector<std::pair<float, uint32_t>> scored(base.rows);
    for (uint64_t q = 0; q < queries.rows; ++q) {
        const float* query = queries.pixels.data() + q * queries.dim;
        for (uint32_t v = 0; v < base.rows; ++v) {
            scored[v] = {L2(query, base.pixels.data() + uint64_t{v} * base.dim, base.dim), v};
        }
        std::partial_sort(scored.begin(), scored.begin() + k, scored.end());
        for (uint32_t j = 0; j < k; ++j) truth[q].push_back(scored[j].second);
    }
    return truth;
}

double Recall(const BuildMemoryStorage& s, const bench::ImageSet& queries,
              const std::vector<std::vector<uint32_t>>& truth, uint32_t k, uint32_t listSize) {
    double hits = 0;
    for (uint64_t q = 0; q < queries.rows; ++q) {
        const float* query = queries.pixels.data() + q * queries.dim;
        const auto found = index::diskann::testutil::BestFirstSearch(
            s, listSize, [&](uint32_t v) { return L2(query, s.Vector(v), queries.dim); });
        hits += index::diskann::testutil::HitsAtK(found, truth[q], k);
    }
    return hits / (static_cast<double>(k) * queries.rows);
}

// hnswlib at (M, ef_construction) with `threads` inserting threads: build
// seconds and recall@10 at ef 100.
void RunHnswlib(const bench::ImageSet& base, const bench::ImageSet& queries,
                const std::vector<std::vector<uint32_t>>& truth, int threads, size_t m,
                size_t efConstruction) {
    hnswlib::L2Space space(base.dim);
    hnswlib::HierarchicalNSW<float> index(&space, base.rows, m, efConstruction);
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    std::atomic<uint64_t> next{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (uint64_t i = next++; i < base.rows; i = next++) {
                index.addPoint(base.pixels.data() + i * base.dim, i);
            }
        });
    }
    for (auto& w : workers) w.join();
    const double seconds = SecondsSince(start);
    const double cpu = ProcessCpuSeconds() - cpuStart;
    index.setEf(100);
    double hits = 0;
    for (uint64_t q = 0; q < queries.rows; ++q) {
        auto result = index.searchKnn(queries.pixels.data() + q * queries.dim, 10);
        std::vector<uint32_t> found;
        for (; !result.empty(); result.pop())
            found.push_back(static_cast<uint32_t>(result.top().second));
        hits += index::diskann::testutil::HitsAtK(found, truth[q], 10);
    }
    std::printf(
        "hnswlib M %zu efC %zu, %d thread(s): %.2f s wall, %.2f s cpu, recall@10 (ef 100) %.4f\n",
        m, efConstruction, threads, seconds, cpu, hits / (10.0 * queries.rows));
}

// The neighbour share per sector of id order and of the reordered layout.
void ReportReorder(const DiskANNBuilderBackend& b, uint64_t nodesPerSector) {
    const BuildMemoryStorage& s = b.Storage();
    const uint64_t n = s.ids.size();
    std::vector<uint32_t> data(n * s.NeighborCount());
    std::vector<uint32_t> sizes(n);
    for (uint32_t v = 0; v < n; ++v) {
        std::copy(s.NeighborRow(v), s.NeighborRow(v) + s.NeighborCount(),
                  data.begin() + v * s.NeighborCount());
        sizes[v] = s.NeighborSize(v);
    }
    auto sectorsOf = [&](const std::vector<uint64_t>* order) {
        std::vector<index::diskann::RankSector> sectors;
        for (uint64_t first = 0; first < n; first += nodesPerSector) {
            index::diskann::RankSector sector;
            for (uint64_t p = first; p < std::min(n, first + nodesPerSector); ++p) {
                sector.ids.push_back(static_cast<uint32_t>(order ? (*order)[p] : p));
            }
            sectors.push_back(std::move(sector));
        }
        return sectors;
    };
    const auto start = std::chrono::steady_clock::now();
    const auto [newToOld, oldToNew] = s.GetReorderMap(nodesPerSector);
    const double rankSeconds = SecondsSince(start);
    using index::diskann::LayoutRanker;
    const float before = LayoutRanker::NeighborPercentInSector(
        sectorsOf(nullptr), n, s.NeighborCount(), nodesPerSector, data, sizes);
    const float after = LayoutRanker::NeighborPercentInSector(
        sectorsOf(&newToOld), n, s.NeighborCount(), nodesPerSector, data, sizes);
    std::printf(
        "reorder nodes/sector %3lu: neighbour share before %.4f after %.4f (x%.1f), %.2f s\n",
        static_cast<unsigned long>(nodesPerSector), before, after,
        before > 0 ? after / before : 0.0, rankSeconds);
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 60000;
    const uint64_t queryCount = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    BuildConfig config;
    config.degree = argc > 3 ? std::atoll(argv[3]) : 32;
    config.ef = argc > 4 ? std::atoll(argv[4]) : 200;
    const bool withPeer = argc > 5 ? std::atoi(argv[5]) != 0 : true;
    if (argc > 6) config.encoding = argv[6];
    config.pqChunks = argc > 7 ? std::atoll(argv[7]) : 0;
    const std::string threadPlan = argc > 8 ? argv[8] : "12";
    const bool withOne = threadPlan.find('1') != std::string::npos;
    const bool withTwo = threadPlan.find('2') != std::string::npos;
    const int64_t degree = config.degree;
    const int64_t ef = config.ef;
    telemetry::Logger::Instance().SetLevel(telemetry::LogLevel::Warn);

    bench::ImageSet base = bench::LoadIdxImages("train-images-idx3-ubyte.gz", rows);
    bench::ImageSet queries = bench::LoadIdxImages("t10k-images-idx3-ubyte.gz", queryCount);
    if (base.rows == 0 || queries.rows == 0) {
        std::printf("Fashion-MNIST not found; using generated images\n");
        base = bench::GeneratedImages(rows, 784, 1);
        queries = bench::GeneratedImages(queryCount, 784, 2);
    }
    std::printf("diskann build: %lu rows x %u dims, R %ld, ef_construction %ld\n",
                static_cast<unsigned long>(base.rows), base.dim, static_cast<long>(degree),
                static_cast<long>(ef));
    const auto truth = ExactTopK(base, queries, 10);

    double seconds1 = 0, seconds2 = 0, cpu1 = 0, cpu2 = 0;
    if (withOne) {
        auto one = Build(base, 1, config, &seconds1, &cpu1);
        if (one == nullptr) return 1;
        const double recall1 = Recall(one->Storage(), queries, truth, 10, 100);
        std::printf("1 thread : %.2f s wall, %.2f s cpu, recall@10 (L 100) %.4f\n", seconds1, cpu1,
                    recall1);
    }
    if (withTwo) {
        auto two = Build(base, 2, config, &seconds2, &cpu2);
        if (two == nullptr) return 1;
        const double recall2 = Recall(two->Storage(), queries, truth, 10, 100);
        std::printf("2 threads: %.2f s wall, %.2f s cpu, recall@10 (L 100) %.4f\n", seconds2, cpu2,
                    recall2);
        if (withOne) {
            // On a loaded machine the wall ratio understates the speed-up; the
            // cpu ratio shows how much extra work the second thread costs.
            std::printf("speed-up 2 threads vs 1: %.2fx wall (goal >= 1.7x), cpu ratio %.2f\n",
                        seconds1 / seconds2, cpu2 / cpu1);
        }
        std::printf("peak memory after the diskann builds: %.1f MiB\n", PeakRssMiB());
        for (uint64_t perSector : {4, 8, 16}) ReportReorder(*two, perSector);
    }
    if (!withPeer) return 0;
    // hnswlib's level-0 lists hold 2 M neighbours: M 16 compares with R 32.
    if (withOne) {
        RunHnswlib(base, queries, truth, 1, static_cast<size_t>(degree / 2),
                   static_cast<size_t>(ef));
    }
    if (withTwo) {
        RunHnswlib(base, queries, truth, 2, static_cast<size_t>(degree / 2),
                   static_cast<size_t>(ef));
    }
    return 0;
}
