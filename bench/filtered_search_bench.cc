// Filtered search on Fashion-MNIST: recall@10 against the exact filtered
// top-10 and queries per second of DiskANN and IVF (allowed-id list and
// predicate) and of the bruteforce scan, at selectivities 50%, 10%, 1%, 0.1%
// and one admitted row, beside DiskANN's unfiltered search at the same list
// size and IVF's at the same nprobe.
//
// Usage: bench_filtered_search_bench [rows] [queries] [list_size] [index_dir] [nprobe]
// The indexes are built once into index_dir (default /tmp) and reused; IVF has
// 256 lists over rawf32 rows.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory_resource>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "FashionMnist.h"
#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "orvane/api/RowFilter.h"
#include "orvane/extensions/SearchWithFilterExtension.h"
#include "telemetry/Logger.h"

namespace orvane::bench {
namespace {

using Clock = std::chrono::steady_clock;
using extensions::SearchWithFilterExtension;

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Builds `kind` over the rows (ids 0..rows-1) into `path` unless it exists.
void BuildOnce(const std::string& path, api::BuilderOptions options, const ImageSet& base) {
    if (Exists(path)) return;
    std::printf("building %s ...\n", path.c_str());
    auto builder = api::OrvaneBuilder::Create(options);
    if (!builder.IsOk())
        std::exit((std::printf("create: %s\n", builder.GetStatus().Message().c_str()), 1));
    auto& b = builder.Value();
    std::vector<uint64_t> ids(base.rows);
    std::iota(ids.begin(), ids.end(), uint64_t{0});
    core::Status st = b.Pretrain(base.pixels.data(), base.rows);
    if (st.IsOk()) st = b.InsertBatch(base.pixels.data(), ids.data(), base.rows);
    if (st.IsOk()) st = b.Dump(api::IOOptions{{"index.path", path}});
    if (!st.IsOk()) std::exit((std::printf("build: %s\n", st.Message().c_str()), 1));
}

api::OrvaneSearcher OpenSearcher(const std::string& kind, uint32_t dim, const std::string& path) {
    auto searcher = api::OrvaneSearcher::Create(
        api::SearcherOptions{{"index.type", kind},
                             {"index.dimension", int64_t{dim}},
                             {"diskann.search.num_nodes_to_cache", int64_t{1000}}});
    if (!searcher.IsOk())
        std::exit((std::printf("searcher: %s\n", searcher.GetStatus().Message().c_str()), 1));
    core::Status st = searcher.Value().Open(api::IOOptions{{"index.path", path}});
    if (!st.IsOk()) std::exit((std::printf("open: %s\n", st.Message().c_str()), 1));
    return std::move(searcher.Value());
}

// The exact top-10 among the allowed rows (ascending ids), by squared L2.
std::vector<uint64_t> ExactTop10(const ImageSet& base, const float* q,
                                 const std::vector<uint64_t>& allowed) {
    std::vector<std::pair<float, uint64_t>> scored;
    scored.reserve(allowed.size());
    for (uint64_t row : allowed) {
        const float* v = base.pixels.data() + row * base.dim;
        float d = 0;
        for (uint32_t j = 0; j < base.dim; ++j) d += (q[j] - v[j]) * (q[j] - v[j]);
        scored.emplace_back(d, row);
    }
    const size_t k = std::min<size_t>(10, scored.size());
    std::partial_sort(scored.begin(), scored.begin() + k, scored.end());
    std::vector<uint64_t> out;
    for (size_t i = 0; i < k; ++i) out.push_back(scored[i].second);
    return out;
}

struct Measured {
    double qps = 0;
    double recall = 0;
};

// Runs every query through `search` (returning the hit ids) and scores it
// against `truth`; repeats the pass until at least a second has elapsed.
template <typename Search>
Measured Measure(const ImageSet& queries, const std::vector<std::vector<uint64_t>>& truth,
                 Search&& search) {
    Measured m;
    uint64_t hits = 0, wanted = 0, done = 0;
    const Clock::time_point start = Clock::now();
    double seconds = 0;
    do {
        for (uint64_t q = 0; q < queries.rows; ++q) {
            const std::vector<uint64_t> found = search(queries.pixels.data() + q * queries.dim);
            if (done < queries.rows) {
                for (uint64_t id : found) hits += std::count(truth[q].begin(), truth[q].end(), id);
                wanted += truth[q].size();
            }
            ++done;
        }
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < 1.0);
    m.qps = done / seconds;
    m.recall = wanted == 0 ? 1.0 : static_cast<double>(hits) / wanted;
    return m;
}

std::vector<uint64_t> HitIds(const core::Result<api::SearchResult>& r) {
    std::vector<uint64_t> ids;
    if (!r.IsOk()) {
        std::printf("search failed: %s\n", r.GetStatus().Message().c_str());
        std::exit(1);
    }
    for (const auto& hit : r.Value().topk) ids.push_back(hit.id);
    return ids;
}

}  // namespace
}  // namespace orvane::bench

int main(int argc, char** argv) {
    using namespace orvane;
    using namespace orvane::bench;
    const uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 60000;
    const uint64_t nq = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100;
    const int64_t listSize = argc > 3 ? std::strtoll(argv[3], nullptr, 10) : 100;
    const std::string dir = argc > 4 ? argv[4] : "/tmp";
    const int64_t nprobe = argc > 5 ? std::strtoll(argv[5], nullptr, 10) : 16;
    telemetry::Logger::Instance().SetLevel(telemetry::LogLevel::Error);

    ImageSet base = LoadIdxImages("train-images-idx3-ubyte.gz", rows);
    ImageSet queries = LoadIdxImages("t10k-images-idx3-ubyte.gz", nq);
    if (base.rows == 0 || queries.rows == 0) {
        std::printf("Fashion-MNIST not found; generated rows instead\n");
        base = GeneratedImages(rows, 784, 1);
        queries = GeneratedImages(nq, 784, 2);
    }
    const std::string tag = std::to_string(base.rows);
    const std::string diskannPath = dir + "/orvane_filter_bench_diskann_" + tag + ".idx";
    const std::string brutePath = dir + "/orvane_filter_bench_bruteforce_" + tag + ".idx";
    const std::string ivfPath = dir + "/orvane_filter_bench_ivf_" + tag + ".idx";
    BuildOnce(diskannPath,
              {{"index.type", std::string("diskann")},
               {"index.dimension", int64_t{base.dim}},
               {"diskann.build.neighbor_count", int64_t{32}},
               {"diskann.build.ef_construction", int64_t{200}},
               {"diskann.build.thread_count", int64_t{2}}},
              base);
    BuildOnce(brutePath,
              {{"index.type", std::string("bruteforce")},
               {"index.dimension", int64_t{base.dim}},
               {"encoding.type", std::string("rawf32")}},
              base);
    BuildOnce(ivfPath,
              {{"index.type", std::string("ivf")},
               {"index.dimension", int64_t{base.dim}},
               {"ivf.build.num_lists", int64_t{256}},
               {"ivf.build.thread_count", int64_t{2}},
               {"encoding.type", std::string("rawf32")}},
              base);
    api::OrvaneSearcher diskann = OpenSearcher("diskann", base.dim, diskannPath);
    api::OrvaneSearcher brute = OpenSearcher("bruteforce", base.dim, brutePath);
    api::OrvaneSearcher ivf = OpenSearcher("ivf", base.dim, ivfPath);
    SearchWithFilterExtension diskannFilter, bruteFilter, ivfFilter;
    if (!diskann.Attach(diskannFilter).IsOk() || !brute.Attach(bruteFilter).IsOk() ||
        !ivf.Attach(ivfFilter).IsOk()) {
        return 1;
    }
    std::pmr::monotonic_buffer_resource scratch;

    const api::SearchOptions diskannOptions{{"search.topk", int64_t{10}},
                                            {"diskann.search.list_size", listSize}};
    const api::SearchOptions bruteOptions{{"search.topk", int64_t{10}}};
    const api::SearchOptions ivfOptions{{"search.topk", int64_t{10}}, {"search.nprobe", nprobe}};
    std::vector<uint64_t> all(base.rows);
    std::iota(all.begin(), all.end(), uint64_t{0});
    std::vector<std::vector<uint64_t>> plainTruth(queries.rows);
    for (uint64_t q = 0; q < queries.rows; ++q) {
        plainTruth[q] = ExactTop10(base, queries.pixels.data() + q * base.dim, all);
    }
    std::vector<std::vector<uint64_t>> truth = plainTruth;
    // The machine may be shared: the unfiltered search is measured again
    // beside every filtered level, and each ratio uses the figure next to it.
    const auto unfiltered = [&] {
        return Measure(queries, plainTruth, [&](const float* q) {
            return HitIds(diskann.Search(api::Query(q, base.dim), diskannOptions));
        });
    };
    const Measured plain = unfiltered();
    const Measured ivfPlain = Measure(queries, plainTruth, [&](const float* q) {
        return HitIds(ivf.Search(api::Query(q, base.dim), ivfOptions));
    });
    std::printf("%lu rows, %lu queries, diskann R32 list size %ld, ivf 256 lists nprobe %ld\n",
                static_cast<unsigned long>(base.rows), static_cast<unsigned long>(queries.rows),
                static_cast<long>(listSize), static_cast<long>(nprobe));
    std::printf("diskann unfiltered: recall %.3f, %.0f QPS\n", plain.recall, plain.qps);
    std::printf("ivf unfiltered: recall %.3f, %.0f QPS\n\n", ivfPlain.recall, ivfPlain.qps);
    std::printf("%-10s %8s | %-16s | %-16s | %-16s | %s\n", "admitted", "rows", "diskann list",
                "diskann predicate", "bruteforce", "list/brute  list/unfiltered");
    struct IvfRow {
        const char* name;
        size_t rows;
        Measured list, predicate, brute;
    };
    std::vector<IvfRow> ivfRows;

    struct Level {
        const char* name;
        double fraction;
    };
    const Level levels[] = {
        {"50%", 0.5}, {"10%", 0.1}, {"1%", 0.01}, {"0.1%", 0.001}, {"one row", 0}};
    std::mt19937_64 rng(7);
    for (const Level& level : levels) {
        std::vector<uint64_t> allowed = all;
        std::shuffle(allowed.begin(), allowed.end(), rng);
        allowed.resize(level.fraction == 0 ? 1 : static_cast<size_t>(level.fraction * base.rows));
        std::sort(allowed.begin(), allowed.end());
        for (uint64_t q = 0; q < queries.rows; ++q) {
            truth[q] = ExactTop10(base, queries.pixels.data() + q * base.dim, allowed);
        }
        const api::RowFilter list = api::RowFilter::FromSortedIds(allowed);
        const api::RowFilter predicate([&allowed](uint64_t id) {
            return std::binary_search(allowed.begin(), allowed.end(), id);
        });
        const auto run = [&](const SearchWithFilterExtension& ext, const api::RowFilter& filter,
                             const api::SearchOptions& options) {
            return [&, filter](const float* q) {
                return HitIds(ext.Call(api::Query(q, base.dim), filter, options, scratch));
            };
        };
        const Measured dl = Measure(queries, truth, run(diskannFilter, list, diskannOptions));
        const Measured dp = Measure(queries, truth, run(diskannFilter, predicate, diskannOptions));
        const Measured bf = Measure(queries, truth, run(bruteFilter, list, bruteOptions));
        const Measured il = Measure(queries, truth, run(ivfFilter, list, ivfOptions));
        const Measured ip = Measure(queries, truth, run(ivfFilter, predicate, ivfOptions));
        ivfRows.push_back({level.name, allowed.size(), il, ip, bf});
        const Measured near = unfiltered();
        std::printf(
            "%-10s %8zu | %.3f %7.0f QPS | %.3f %7.0f QPS | %.3f %7.0f QPS | %5.2fx  %5.2fx\n",
            level.name, allowed.size(), dl.recall, dl.qps, dp.recall, dp.qps, bf.recall, bf.qps,
            dl.qps / bf.qps, dl.qps / near.qps);
        scratch.release();
    }
    std::printf("\n%-10s %8s | %-16s | %-16s | %-16s | %s\n", "admitted", "rows", "ivf list",
                "ivf predicate", "bruteforce", "list/brute");
    for (const IvfRow& r : ivfRows) {
        std::printf("%-10s %8zu | %.3f %7.0f QPS | %.3f %7.0f QPS | %.3f %7.0f QPS | %5.2fx\n",
                    r.name, r.rows, r.list.recall, r.list.qps, r.predicate.recall, r.predicate.qps,
                    r.brute.recall, r.brute.qps, r.list.qps / r.brute.qps);
    }
    return 0;
}
