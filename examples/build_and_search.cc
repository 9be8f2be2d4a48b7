// Builds a small index through the public C++ interface, writes it to a file,
// opens it and searches it. Exits with 0 when every vector finds itself as its
// nearest neighbour.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"

namespace {

using orvane::api::BuilderOptions;
using orvane::api::IOOptions;
using orvane::api::OrvaneBuilder;
using orvane::api::OrvaneSearcher;
using orvane::api::Query;
using orvane::api::SearcherOptions;
using orvane::api::SearchOptions;

constexpr int64_t kDim = 16;
constexpr uint64_t kCount = 500;

int Fail(const char* step, const orvane::core::Status& status) {
    std::fprintf(stderr, "%s failed: %s\n", step, status.Message().c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "example.idx";

    std::mt19937 rng(42);
    std::uniform_real_distribution<float> uniform(-1.f, 1.f);
    std::vector<float> vectors(kCount * kDim);
    for (float& v : vectors) v = uniform(rng);
    std::vector<uint64_t> ids(kCount);
    for (uint64_t i = 0; i < kCount; ++i) ids[i] = i;

    auto builder = OrvaneBuilder::Create(BuilderOptions{
        {"index.type", std::string("demo")},
        {"index.dimension", kDim},
        {"distance.metric", std::string("l2")},
    });
    if (!builder) return Fail("create builder", builder.GetStatus());
    if (auto st = builder.Value().Pretrain(vectors.data(), kCount); !st.IsOk()) {
        return Fail("pretrain", st);
    }
    if (auto st = builder.Value().InsertBatch(vectors.data(), ids.data(), kCount); !st.IsOk()) {
        return Fail("insert", st);
    }
    if (auto st = builder.Value().Dump(IOOptions{{"index.path", path}}); !st.IsOk()) {
        return Fail("dump", st);
    }

    auto searcher = OrvaneSearcher::Create(SearcherOptions{
        {"index.type", std::string("demo")},
        {"index.dimension", kDim},
    });
    if (!searcher) return Fail("create searcher", searcher.GetStatus());
    if (auto st = searcher.Value().Open(IOOptions{{"index.path", path}}); !st.IsOk()) {
        return Fail("open", st);
    }
    const SearchOptions options{{"search.topk", int64_t{3}}};
    uint64_t selfHits = 0;
    for (uint64_t i = 0; i < kCount; ++i) {
        auto result = searcher.Value().Search(Query(&vectors[i * kDim], kDim), options);
        if (!result) return Fail("search", result.GetStatus());
        const auto& hits = result.Value().topk;
        if (!hits.empty() && hits.front().id == i) ++selfHits;
    }
    if (auto st = searcher.Value().Close(); !st.IsOk()) return Fail("close", st);
    std::remove(path.c_str());

    std::printf("%llu vectors of dimension %lld, %llu found themselves first\n",
                static_cast<unsigned long long>(kCount), static_cast<long long>(kDim),
                static_cast<unsigned long long>(selfHits));
    return selfHits == kCount ? EXIT_SUCCESS : EXIT_FAILURE;
}
