// Pins what DiskANN searches return on one small index: the ids and distances
// of a table of searches (beam widths, list sizes, read budgets, parallel
// reads, filters, node cache), folded into one fingerprint that was taken
// from the searcher before its read path was reworked. Every reader (memory
// image, local file, memory map) must give exactly those results.
//
// The data are whole numbers 0..255 in 16 dimensions and the in-memory
// encoding is raw, so every distance the build and the search compute is a
// whole number held exactly in a float: the fingerprint does not depend on the
// order in which a kernel level adds its terms.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "index/diskann/search/SearcherTestUtil.h"
#include "testing/LogCapture.h"

namespace orvane::index::diskann {
namespace {

using namespace testutil;

constexpr uint32_t kDim = 16;
constexpr uint32_t kRows = 1500;
constexpr uint32_t kQueries = 12;

std::vector<float> WholeNumbers(uint32_t rows, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<float> data(uint64_t{rows} * kDim);
    // A few dense clusters, as pixel images have, so the graph has structure.
    for (uint32_t i = 0; i < rows; ++i) {
        const uint32_t centre = (rng() % 6) * 40;
        for (uint32_t k = 0; k < kDim; ++k) {
            data[uint64_t{i} * kDim + k] = static_cast<float>((centre + rng() % 48 + k * 3) % 256);
        }
    }
    return data;
}

const std::string& PinnedImage() {
    static const std::string image = [] {
        testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
        api::BuilderOptions options = Options(kDim, 16, 1, 48);
        return BuildImage(options, WholeNumbers(kRows, 7), kDim);
    }();
    return image;
}

struct PinCase {
    const char* name;
    int64_t topk;
    int64_t listSize;
    int64_t beamWidth;
    int64_t ioLimit;  // 0: not given
    int64_t parallel;
    int filter;  // 0 none, else rows whose id % filter == 0
};

constexpr PinCase kPinCases[] = {
    {"defaults_l10", 10, 10, 2, 0, 1, 0},        {"beam1_l40", 10, 40, 1, 0, 1, 0},
    {"beam4_l40_parallel3", 10, 40, 4, 0, 3, 0}, {"beam8_l100", 20, 100, 8, 0, 8, 0},
    {"io_limit_5", 10, 60, 2, 5, 1, 0},          {"topk_above_list", 30, 12, 3, 0, 2, 0},
    {"filter_third", 10, 40, 2, 0, 1, 3},        {"filter_seventh_beam4", 5, 80, 4, 0, 1, 7},
};

// FNV-1a over the bytes of every hit (id, then the distance's bits) and of
// each result's length.
struct Fingerprint {
    uint64_t value = 1469598103934665603ull;
    void Add(const void* bytes, size_t n) {
        const auto* p = static_cast<const unsigned char*>(bytes);
        for (size_t i = 0; i < n; ++i) value = (value ^ p[i]) * 1099511628211ull;
    }
};

uint64_t SearchFingerprint(DiskANNSearcherBackend& searcher) {
    const std::vector<float> queries = WholeNumbers(kQueries, 8);
    std::pmr::memory_resource& resource = *std::pmr::get_default_resource();
    Fingerprint print;
    for (const PinCase& c : kPinCases) {
        SCOPED_TRACE(c.name);
        api::SearchOptions options = SearchOpts(c.topk, c.listSize);
        options.Values()["diskann.search.beam_width"] = c.beamWidth;
        options.Values()["search.parallel_number"] = c.parallel;
        if (c.ioLimit > 0) options.Values()["diskann.search.io_limit"] = c.ioLimit;
        const int modulus = c.filter;
        for (uint32_t q = 0; q < kQueries; ++q) {
            const api::Query query(queries.data() + uint64_t{q} * kDim, kDim);
            auto result = modulus == 0
                              ? searcher.Search(query, options, resource)
                              : searcher.SearchWithFilter(
                                    query, [modulus](uint64_t id) { return id % modulus == 0; },
                                    options, resource);
            EXPECT_TRUE(result.IsOk()) << result.GetStatus().Message();
            if (!result.IsOk()) return 0;
            const uint64_t n = result.Value().topk.size();
            EXPECT_GT(n, 0u);
            print.Add(&n, sizeof(n));
            for (const api::SearchHit& hit : result.Value().topk) {
                print.Add(&hit.id, sizeof(hit.id));
                uint32_t bits = 0;
                std::memcpy(&bits, &hit.distance, sizeof(bits));
                print.Add(&bits, sizeof(bits));
            }
        }
    }
    return print.value;
}

// Taken from the searcher as it was before node records were parsed in place
// and reads of a round were submitted together. A node cache changes the
// order in which a round's nodes are expanded, and so the results.
constexpr uint64_t kPinnedWithoutCache = 15388631871561167772ull;
constexpr uint64_t kPinnedWithCache = 3857424898620624444ull;

TEST(DiskANNSearchResultPinTest, EveryReaderGivesThePinnedResults) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    const std::string& image = PinnedImage();
    ASSERT_FALSE(image.empty());
    const std::string path = ::testing::TempDir() + "/diskann_pin.idx";
    struct Opened {
        const char* reader;
        int64_t cacheNodes;
    };
    for (const Opened& o : {Opened{"memory", 0}, Opened{"local", 0}, Opened{"mmap", 0},
                            Opened{"memory", 100}, Opened{"local", 100}, Opened{"mmap", 100}}) {
        SCOPED_TRACE(std::string(o.reader) + " cache " + std::to_string(o.cacheNodes));
        OpenedSearcher opened = std::string(o.reader) == "memory"
                                    ? OpenInMemory(image, kDim, o.cacheNodes)
                                    : OpenFile(image, path, o.reader, kDim, o.cacheNodes);
        ASSERT_TRUE(opened.status.IsOk()) << opened.status.Message();
        EXPECT_EQ(SearchFingerprint(*opened.searcher),
                  o.cacheNodes == 0 ? kPinnedWithoutCache : kPinnedWithCache);
    }
    std::remove(path.c_str());
}

}  // namespace
}  // namespace orvane::index::diskann
