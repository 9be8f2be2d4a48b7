// The bytes a one-thread DiskANN build writes, pinned by their hash: a change
// to the insertion, pruning, encoding or dump code that alters the file of the
// same input and options fails here. The rows are small integers, so that the
// node-to-node distances are exact whatever order a kernel sums in.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "index/diskann/build/BuilderTestUtil.h"
#include "index/diskann/format/StorageTestUtil.h"
#include "testing/FileBytes.h"
#include "testing/LogCapture.h"

namespace orvane::index::diskann {
namespace {

using testutil::BuildAll;
using testutil::MakeBuilder;
using testutil::Options;
using testutil::WriteImage;

// PQ is pinned for l2 only: inner-product codebooks hold sums of fractions
// whose last bits depend on how the compiler contracts them, so their bytes
// differ between compilers although each build is repeatable.
//
// n rows of dim integers in 0..1023: squared distances of 16 components stay
// below 2^24, exact in float. So many values make coincident sub-vectors rare,
// which keeps the PQ training clear of empty clusters (re-seeded at random).
std::vector<float> IntegerRows(uint32_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<float> rows(uint64_t{n} * dim);
    for (float& x : rows) x = static_cast<float>(rng() % 1024);
    return rows;
}

struct PinnedBuild {
    const char* name;
    const char* encoding;
    const char* metric;
    int64_t pqChunks;          // encoding.pq.m, 0 for the default
    int64_t pqThreads;         // encoding.pq.thread_count, 0 for the default
    const char* diskEncoding;  // diskann.disk_encoding.type, "" for none
    uint32_t batch;
    uint64_t hash;
};

constexpr uint32_t kRows = 900;
constexpr uint32_t kDim = 16;

constexpr PinnedBuild kPinned[] = {
    {"raw_l2_batches", "rawf32", "l2", 0, 0, "", 256, 0x305d886ea5d0f7fbull},
    {"raw_ip_one_batch", "rawf32", "inner_product", 0, 0, "", kRows, 0xf704ae11724f3e3cull},
    {"pq_default_chunks", "pq", "l2", 0, 0, "", 300, 0xc38029e07533ae28ull},
    {"pq_4_chunks_2_encoder_threads", "pq", "l2", 4, 2, "", 128, 0x7888240113c070d2ull},
    {"sq8_l2", "sq8", "l2", 0, 0, "", 200, 0xfadfb0ce9b6aec1ull},
    {"raw_with_pq_disk_codes", "rawf32", "l2", 0, 0, "pq", 450, 0x577a1417f35e4c85ull},
};

TEST(DiskANNBuildBytesTest, OneThreadBuildsWriteThePinnedBytes) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    const std::vector<float> rows = IntegerRows(kRows, kDim, 5);
    for (const PinnedBuild& c : kPinned) {
        SCOPED_TRACE(c.name);
        api::BuilderOptions options = Options(kDim, 10, 1, 48);
        options.Values()["encoding.type"] = std::string(c.encoding);
        options.Values()["distance.metric"] = std::string(c.metric);
        if (c.pqChunks != 0) options.Values()["encoding.pq.m"] = c.pqChunks;
        if (c.pqThreads != 0) options.Values()["encoding.pq.thread_count"] = c.pqThreads;
        if (c.diskEncoding[0] != '\0') {
            options.Values()["diskann.disk_encoding.type"] = std::string(c.diskEncoding);
            options.Values()["diskann.disk_encoding.encoding.pq.m"] = int64_t{4};
        }
        auto b = MakeBuilder(options);
        ASSERT_NE(b, nullptr);
        ASSERT_TRUE(BuildAll(*b, rows, kDim, c.batch).IsOk());
        const std::string image =
            WriteImage([&](io::OutputStream& out) { return b->Dump(out); }, true);
        ASSERT_GT(image.size(), uint64_t{kRows} * 10 * sizeof(uint32_t));
        const uint64_t hash = orvane::testing::BytesHash(image);
        EXPECT_EQ(hash, c.hash) << c.name << " wrote " << image.size() << " bytes, hash 0x"
                                << std::hex << hash;
    }
}

}  // namespace
}  // namespace orvane::index::diskann
