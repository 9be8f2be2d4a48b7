// Recall@10 of rerank-free scans over encoded Fashion-MNIST: the 60000 train
// images are encoded by each configuration below, the first 1000 test images
// are the queries, and the truth is the exact top-10 of a rawf32 scan (l2).
// Prints recall, training and encoding times and the scan rate per
// configuration, and exits non-zero when a configuration misses its recall goal.
//
// Usage: bench_quantizer_recall [queries]   (default 1000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "FashionMnist.h"
#include "QuantizerBenchUtil.h"

namespace {

using namespace orvane;

constexpr uint64_t kTopK = 10;

struct RecallConfig {
    std::string name;
    api::QuantizerOptions options;
    uint64_t trainRows;  // rows of the base the quantizer learns from
    double minRecall;    // goal; 0 for none
};

api::QuantizerOptions Options(uint32_t dim, const std::string& encoding) {
    return api::QuantizerOptions{{"index.dimension", int64_t{dim}},
                                 {"distance.metric", std::string("l2")},
                                 {"encoding.type", encoding}};
}

// The configurations measured, one table row each.
std::vector<RecallConfig> Configs(uint32_t dim) {
    std::vector<RecallConfig> configs;
    configs.push_back({"sq8", Options(dim, "sq8"), 60000, 0.95});
    return configs;
}

// Ids of the k best scores, best first.
std::vector<uint64_t> TopK(const std::vector<float>& scores, bool lowerIsBetter) {
    std::vector<uint64_t> ids(scores.size());
    std::iota(ids.begin(), ids.end(), 0);
    const uint64_t k = std::min<uint64_t>(kTopK, ids.size());
    std::partial_sort(ids.begin(), ids.begin() + k, ids.end(), [&](uint64_t a, uint64_t b) {
        return lowerIsBetter ? scores[a] < scores[b] : scores[a] > scores[b];
    });
    ids.resize(k);
    return ids;
}

struct ScanResult {
    std::vector<std::vector<uint64_t>> topk;  // per query
    double seconds = 0;
};

ScanResult Scan(const quantizer::QuantizerEvaluatorBase& evaluator,
                const bench::ImageSet& queries) {
    ScanResult result;
    std::vector<uint64_t> ids(evaluator.Count());
    std::iota(ids.begin(), ids.end(), 0);
    std::vector<float> scores(ids.size());
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t q = 0; q < queries.rows; ++q) {
        std::span<const float> query(queries.pixels.data() + q * queries.dim, queries.dim);
        auto prepared = evaluator.PrepareQuery(query);
        if (!prepared.IsOk() ||
            evaluator.BatchEval(*prepared.Value(), ids, scores) != core::ErrorCode::Ok) {
            std::fprintf(stderr, "scan failed at query %lu\n", static_cast<unsigned long>(q));
            std::exit(2);
        }
        result.topk.push_back(TopK(scores, evaluator.LowerIsBetter()));
    }
    result.seconds = bench::SecondsSince(start);
    return result;
}

double Recall(const ScanResult& truth, const ScanResult& found) {
    uint64_t hits = 0;
    for (size_t q = 0; q < truth.topk.size(); ++q) {
        for (uint64_t id : found.topk[q]) {
            hits += std::count(truth.topk[q].begin(), truth.topk[q].end(), id);
        }
    }
    return static_cast<double>(hits) / static_cast<double>(truth.topk.size() * kTopK);
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t queryCount = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000;
    const bench::ImageSet base = bench::LoadIdxImages("train-images-idx3-ubyte.gz");
    const bench::ImageSet queries = bench::LoadIdxImages("t10k-images-idx3-ubyte.gz", queryCount);
    if (base.rows == 0 || queries.rows == 0) {
        std::fprintf(stderr, "Fashion-MNIST not found under %s (dataset-fashion-mnist)\n",
                     bench::kFashionMnistDir);
        return 2;
    }
    std::printf("base %lu x %u, queries %lu\n", static_cast<unsigned long>(base.rows), base.dim,
                static_cast<unsigned long>(queries.rows));

    bench::EncodedBase exact = bench::EncodeBase(Options(base.dim, "rawf32"), base, base.rows);
    if (exact.evaluator == nullptr) return 2;
    const ScanResult truth = Scan(*exact.evaluator, queries);
    const double rawRate = static_cast<double>(base.rows * queries.rows) / truth.seconds;

    std::printf("%-24s %9s %9s %10s %12s %12s %8s\n", "config", "recall@10", "train_s", "encode_s",
                "stream_MB", "rows/s", "vs_raw");
    std::printf("%-24s %9.4f %9.2f %10.2f %12.1f %12.3g %8.2f\n", "rawf32 (truth)", 1.0, 0.0,
                exact.encodeSeconds, exact.streamBytes / 1e6, rawRate, 1.0);
    bool goalsMet = true;
    for (const RecallConfig& config : Configs(base.dim)) {
        bench::EncodedBase encoded = bench::EncodeBase(config.options, base, config.trainRows);
        if (encoded.evaluator == nullptr) return 2;
        const ScanResult found = Scan(*encoded.evaluator, queries);
        const double recall = Recall(truth, found);
        const double rate = static_cast<double>(base.rows * queries.rows) / found.seconds;
        const bool met = recall >= config.minRecall;
        goalsMet = goalsMet && met;
        std::printf("%-24s %9.4f %9.2f %10.2f %12.1f %12.3g %8.2f%s\n", config.name.c_str(), recall,
                    encoded.trainSeconds, encoded.encodeSeconds, encoded.streamBytes / 1e6, rate,
                    rate / rawRate, met ? "" : "  (below goal)");
    }
    return goalsMet ? 0 : 1;
}
