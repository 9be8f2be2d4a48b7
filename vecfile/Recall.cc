#include "Recall.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>
#include <utility>

namespace orvane::tools {

std::vector<uint64_t> ExactNeighbors(const float* base, uint64_t n, const float* queries,
                                     uint64_t nq, uint32_t dim, uint32_t k) {
    const uint64_t kk = std::min<uint64_t>(k, n);
    std::vector<uint64_t> out;
    out.reserve(nq * kk);
    std::vector<std::pair<float, uint64_t>> scored(n);
    for (uint64_t q = 0; q < nq; ++q) {
        const float* query = queries + q * dim;
        for (uint64_t i = 0; i < n; ++i) {
            const float* row = base + i * dim;
            float sum = 0.0f;
            for (uint32_t j = 0; j < dim; ++j) {
                const float d = query[j] - row[j];
                sum += d * d;
            }
            scored[i] = {sum, i};
        }
        std::partial_sort(scored.begin(), scored.begin() + static_cast<ptrdiff_t>(kk),
                          scored.end());
        for (uint64_t i = 0; i < kk; ++i) out.push_back(scored[i].second);
    }
    return out;
}

double MeanRecallAtK(const std::vector<std::vector<uint64_t>>& found,
                     std::span<const uint64_t> truth, uint64_t truthStride, uint32_t k) {
    if (found.empty() || k == 0 || truthStride == 0) return 0.0;
    const uint64_t want = std::min<uint64_t>(k, truthStride);
    double total = 0.0;
    std::unordered_set<uint64_t> expected;
    for (size_t q = 0; q < found.size(); ++q) {
        expected.clear();
        expected.insert(truth.begin() + q * truthStride, truth.begin() + q * truthStride + want);
        const size_t considered = std::min<size_t>(found[q].size(), k);
        uint64_t hits = 0;
        for (size_t i = 0; i < considered; ++i) {
            // Erasing counts an id found twice only once.
            hits += expected.erase(found[q][i]);
        }
        total += static_cast<double>(hits) / static_cast<double>(want);
    }
    return total / static_cast<double>(found.size());
}

LatencySummary SummarizeLatency(std::vector<double> micros) {
    LatencySummary s;
    if (micros.empty()) return s;
    std::sort(micros.begin(), micros.end());
    auto rank = [&](double p) {
        size_t r = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(micros.size())));
        return micros[std::clamp<size_t>(r, 1, micros.size()) - 1];
    };
    double sum = 0;
    for (double v : micros) sum += v;
    s.meanMicros = sum / static_cast<double>(micros.size());
    s.p50Micros = rank(50);
    s.p99Micros = rank(99);
    s.maxMicros = micros.back();
    return s;
}

}  // namespace orvane::tools
