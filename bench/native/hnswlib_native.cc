// hnswlib, compiled here with -O3 -march=native from the system's header-only
// package, for the comparison benchmark: what the peer does without a Python
// layer in between.
//
//   hnswlib_native BASE.fbin QUERIES.fbin GT.ibin M EF_CONSTRUCTION THREADS K
//                  REPEAT IDS_OUT EF [EF ...]
//
// Builds an L2 index over the base with THREADS threads, then for every EF
// searches all queries one at a time on one thread, after up to 50 warm-up
// queries, REPEAT times, keeping the fastest pass. Prints one JSON object per
// line: {"build": ...} then {"ef": ...} per value, with recall@K (by id against
// the ground truth), queries per second, peak RSS and anonymous resident memory.
// The found ids of every EF are appended to IDS_OUT (int64, queries x K each).
#include <hnswlib/hnswlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

struct Matrix {
    uint32_t rows = 0;
    uint32_t cols = 0;
    std::vector<char> bytes;
};

// Reads a .fbin/.ibin file (uint32 rows, uint32 cols, rows x cols 4-byte values).
bool ReadBin(const char* path, Matrix* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(&out->rows), 4) ||
        !in.read(reinterpret_cast<char*>(&out->cols), 4)) {
        std::fprintf(stderr, "%s: cannot read the header\n", path);
        return false;
    }
    out->bytes.resize(static_cast<size_t>(out->rows) * out->cols * 4);
    if (!in.read(out->bytes.data(), static_cast<std::streamsize>(out->bytes.size()))) {
        std::fprintf(stderr, "%s: shorter than its header says\n", path);
        return false;
    }
    return true;
}

// A field of /proc/self/status in MiB ("VmHWM", "RssAnon"), -1 when unreadable.
double StatusMiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t len = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':') {
            return std::atof(line.c_str() + len + 1) / 1024.0;
        }
    }
    return -1.0;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 11) {
        std::fprintf(stderr,
                     "usage: %s BASE.fbin QUERIES.fbin GT.ibin M EF_CONSTRUCTION THREADS K REPEAT "
                     "IDS_OUT EF [EF ...]\n",
                     argv[0]);
        return 2;
    }
    const size_t m = std::strtoul(argv[4], nullptr, 10);
    const size_t efc = std::strtoul(argv[5], nullptr, 10);
    const size_t threads = std::max<size_t>(1, std::strtoul(argv[6], nullptr, 10));
    const size_t k = std::strtoul(argv[7], nullptr, 10);
    const size_t repeat = std::max<size_t>(1, std::strtoul(argv[8], nullptr, 10));
    // Anonymous memory before anything is loaded: what the index adds is
    // measured against this.
    const double anonBaseline = StatusMiB("RssAnon");
    Matrix base, queries, gt;
    if (!ReadBin(argv[1], &base) || !ReadBin(argv[2], &queries) || !ReadBin(argv[3], &gt)) {
        return 1;
    }
    if (base.cols != queries.cols || gt.rows != queries.rows || gt.cols < k || m == 0 || k == 0) {
        std::fprintf(stderr, "inconsistent inputs or parameters\n");
        return 1;
    }
    const size_t dim = base.cols;
    const double baseMiB = base.bytes.size() / 1048576.0;
    const float* data = reinterpret_cast<const float*>(base.bytes.data());

    hnswlib::L2Space space(dim);
    auto start = std::chrono::steady_clock::now();
    auto index = std::make_unique<hnswlib::HierarchicalNSW<float>>(&space, base.rows, m, efc);
    if (base.rows > 0) index->addPoint(data, 0);
    std::atomic<size_t> next{1};
    std::vector<std::thread> pool;
    for (size_t t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (size_t i = next++; i < base.rows; i = next++) {
                index->addPoint(data + i * dim, i);
            }
        });
    }
    for (auto& th : pool) th.join();
    const double buildSeconds = Seconds(start);
    // The index keeps its own copy of the vectors; drop the loaded base so the
    // resident figure below is the searcher's own memory.
    std::vector<char>().swap(base.bytes);
    std::printf(
        "{\"build\": {\"seconds\": %.3f, \"threads\": %zu, \"M\": %zu, \"ef_construction\": %zu, "
        "\"peak_rss_mb\": %.1f, \"base_mb\": %.1f}}\n",
        buildSeconds, threads, m, efc, StatusMiB("VmHWM"), baseMiB);
    std::fflush(stdout);

    std::FILE* idsOut = std::fopen(argv[9], "wb");
    if (idsOut == nullptr) {
        std::perror(argv[9]);
        return 1;
    }
    const float* q = reinterpret_cast<const float*>(queries.bytes.data());
    const int32_t* truth = reinterpret_cast<const int32_t*>(gt.bytes.data());
    std::vector<int64_t> found(static_cast<size_t>(queries.rows) * k);
    for (int a = 10; a < argc; ++a) {
        const size_t ef = std::strtoul(argv[a], nullptr, 10);
        index->setEf(ef);
        for (size_t i = 0; i < std::min<size_t>(50, queries.rows); ++i) {
            index->searchKnn(q + i * dim, k);  // warm caches
        }
        double seconds = 0;
        for (size_t pass = 0; pass < repeat; ++pass) {
            std::fill(found.begin(), found.end(), -1);
            auto t0 = std::chrono::steady_clock::now();
            for (size_t i = 0; i < queries.rows; ++i) {
                auto res = index->searchKnn(q + i * dim, k);
                for (size_t j = res.size(); j-- > 0;) {  // the queue pops the farthest first
                    found[i * k + j] = static_cast<int64_t>(res.top().second);
                    res.pop();
                }
            }
            const double s = Seconds(t0);
            seconds = pass == 0 ? s : std::min(seconds, s);
        }
        size_t hits = 0;
        for (size_t i = 0; i < queries.rows; ++i) {
            std::unordered_set<int64_t> want(truth + i * gt.cols, truth + i * gt.cols + k);
            for (size_t j = 0; j < k; ++j) hits += want.count(found[i * k + j]);
        }
        std::fwrite(found.data(), sizeof(int64_t), found.size(), idsOut);
        std::printf("{\"ef\": %zu, \"qps\": %.1f, \"recall\": %.4f, \"rss_anon_mb\": %.1f}\n", ef,
                    queries.rows / seconds, static_cast<double>(hits) / (queries.rows * k),
                    StatusMiB("RssAnon") - anonBaseline);
        std::fflush(stdout);
    }
    std::fclose(idsOut);
    return 0;
}
