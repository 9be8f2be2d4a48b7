// The ivf builder: option refusals, the lifecycle's messages and the layout of
// the written sections.
#include <gtest/gtest.h>

#include <set>

#include "IvfTestUtil.h"
#include "index/ivf/IvfIndexMeta.h"
#include "testing/LogCapture.h"

namespace orvane::index::ivf {
namespace {

using core::ErrorCode;
using testutil::BuildPlan;

TEST(IvfBuildTest, InitRefusesOptions) {
    struct Case {
        const char* name;
        std::string key;
        std::string value;
        ErrorCode code;
        std::string message;
    };
    const Case cases[] = {
        {"inner product", "distance.metric", "inner_product", ErrorCode::NotSupported,
         "ivf currently supports L2 only"},
        {"cosine", "distance.metric", "cosine", ErrorCode::NotSupported,
         "ivf currently supports L2 only"},
        {"unknown metric", "distance.metric", "hamming", ErrorCode::NotSupported,
         "ivf currently supports L2 only"},
        {"unknown encoding", "encoding.type", "fp16", ErrorCode::InvalidArgument,
         "failed to create quantizer trainer: No quantizer trainer implementation for encoding "
         "[fp16]."},
        {"pq chunks beyond dimension", "encoding.pq.m", "", ErrorCode::InvalidArgument,
         "failed to create quantizer trainer: Invalid numChunks [9] for PQ encoding, must be > 0 "
         "and <= dimension [8]."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        api::BuilderOptions options = testutil::OptionsOf(BuildPlan{});
        if (c.key == "encoding.pq.m") {
            options.Values()["encoding.type"] = std::string("pq");
            options.Values()["encoding.pq.m"] = int64_t{9};
        } else {
            options.Values()[c.key] = c.value;
        }
        testing::LogCapture logs;
        auto created = CreateIvfBuilderBackend(options, core::MemoryResourceConfig{});
        ASSERT_FALSE(created.IsOk());
        EXPECT_EQ(created.GetStatus().Code(), c.code);
        EXPECT_EQ(created.GetStatus().Message(), c.message);
        const std::string line = "Status=[" + std::to_string(static_cast<int>(c.code)) + "] Msg=[" +
                                 c.message + "]: Failed to init IVF builder backend";
        EXPECT_EQ(logs.Count(telemetry::LogLevel::Warn, line), 1u);
    }
}

// Each case drives a fresh builder of 4 lists (dimension 8) to a refused call.
TEST(IvfBuildTest, LifecycleMessages) {
    const std::vector<float> rows = testutil::ClusteredRows(40, 8, 4, 1);
    const std::vector<uint64_t> ids(40, 5);
    struct Case {
        const char* name;
        std::function<core::Status(api::BuilderBackend&)> run;
        ErrorCode code;
        const char* message;
    };
    auto pretrained = [&](api::BuilderBackend& b) { return b.Pretrain(rows.data(), 40); };
    auto reserved = [&](api::BuilderBackend& b, uint64_t n) {
        EXPECT_TRUE(pretrained(b).IsOk());
        return b.Reserve(n);
    };
    auto append = [&](api::BuilderBackend& b, uint64_t n) {
        return b.AppendBatch(std::span<const float>(rows.data(), n * 8),
                             std::span<const uint64_t>(ids.data(), n));
    };
    const Case cases[] = {
        {"pretrain twice",
         [&](auto& b) {
             EXPECT_TRUE(pretrained(b).IsOk());
             return pretrained(b);
         },
         ErrorCode::FailedPrecondition, "Pretrain called twice"},
        {"fewer training rows than lists", [&](auto& b) { return b.Pretrain(rows.data(), 3); },
         ErrorCode::InvalidArgument,
         "ivf.build.num_lists [4] is above the number of training rows [3]"},
        {"as many training rows as lists", [&](auto& b) { return b.Pretrain(rows.data(), 4); },
         ErrorCode::Ok, ""},
        {"reserve before pretrain", [&](auto& b) { return b.Reserve(10); },
         ErrorCode::FailedPrecondition, "Reserve requires pretrain"},
        {"append before pretrain", [&](auto& b) { return append(b, 2); },
         ErrorCode::FailedPrecondition, "kmeans not trained"},
        {"empty batch",
         [&](auto& b) {
             EXPECT_TRUE(reserved(b, 10).IsOk());
             return append(b, 0);
         },
         ErrorCode::InvalidArgument, "batch size mismatch"},
        {"vectors and ids disagree",
         [&](auto& b) {
             EXPECT_TRUE(reserved(b, 10).IsOk());
             return b.AppendBatch(std::span<const float>(rows.data(), 15),
                                  std::span<const uint64_t>(ids.data(), 2));
         },
         ErrorCode::InvalidArgument, "batch size mismatch"},
        {"beyond the reservation",
         [&](auto& b) {
             EXPECT_TRUE(reserved(b, 3).IsOk());
             return append(b, 4);
         },
         ErrorCode::InvalidArgument, "quantizer encode failed"},
        {"dump one short",
         [&](auto& b) {
             EXPECT_TRUE(reserved(b, 10).IsOk());
             EXPECT_TRUE(append(b, 9).IsOk());
             auto out = std::make_shared<std::string>();
             io::OutputStream stream(std::make_unique<io::testutil::StringWriter>(out));
             EXPECT_TRUE(stream.Init({}).IsOk());
             return b.Dump(stream);
         },
         ErrorCode::FailedPrecondition, "Dump requires all reserved vectors inserted"},
        {"dump of nothing",
         [&](auto& b) {
             EXPECT_TRUE(reserved(b, 0).IsOk());
             auto out = std::make_shared<std::string>();
             io::OutputStream stream(std::make_unique<io::testutil::StringWriter>(out));
             EXPECT_TRUE(stream.Init({}).IsOk());
             return b.Dump(stream);
         },
         ErrorCode::FailedPrecondition, "Dump requires all reserved vectors inserted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::LogCapture logs(testing::LogCapture::Keep::kNothing);
        auto created = CreateIvfBuilderBackend(testutil::OptionsOf(BuildPlan{}), {});
        ASSERT_TRUE(created.IsOk());
        core::Status st = c.run(*created.Value());
        EXPECT_EQ(st.Code(), c.code);
        EXPECT_EQ(st.Message(), c.message);
    }
}

TEST(IvfBuildTest, AttachRefusesEveryExtension) {
    struct Named : api::IBuildExtension {
        std::string_view Name() const override { return "extension.build.ckpt"; }
    } extension;
    auto created = CreateIvfBuilderBackend(testutil::OptionsOf(BuildPlan{}), {});
    ASSERT_TRUE(created.IsOk());
    core::Status st = created.Value()->Attach(extension);
    EXPECT_EQ(st.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(st.Message(), "extension extension.build.ckpt not supported by ivf builder");
}

// The six sections in order, the meta, the running directory offsets, and
// every row position in exactly one list with its own id beside it.
TEST(IvfBuildTest, SectionLayout) {
    for (const char* encoding : {"rawf32", "sq8", "pq"}) {
        SCOPED_TRACE(encoding);
        BuildPlan plan;
        plan.numLists = 6;
        plan.encoding = encoding;
        plan.batch = 7;
        const std::vector<float> rows = testutil::ClusteredRows(90, plan.dim, 3, 2);
        testutil::Sections sections = testutil::SplitSections(testutil::BuildImage(rows, plan));
        std::vector<std::string> names;
        for (const auto& s : sections.list) names.push_back(s.name);
        EXPECT_EQ(names,
                  (std::vector<std::string>{kMetaSection, kCentroidsSection, kQuantizerSection,
                                            kRowIdsSection, kIdsSection, kListDirSection}));
        const IndexMeta meta = sections.Meta();
        EXPECT_EQ(meta.version, 0u);
        EXPECT_EQ(meta.dim, 8u);
        EXPECT_EQ(meta.numLists, 6u);
        EXPECT_EQ(meta.metric, 0u);
        EXPECT_EQ(meta.encoding, std::string(encoding) == "rawf32" ? 0u
                                 : std::string(encoding) == "sq8"  ? 1u
                                                                   : 2u);
        EXPECT_EQ(meta.count, 90u);
        EXPECT_EQ(sections.Payload(kCentroidsSection).size(), 6u * 8 * sizeof(float));

        const std::vector<ListDirEntry> dir = sections.Dir();
        ASSERT_EQ(dir.size(), 6u);
        const std::vector<uint64_t> positions = sections.Words(kRowIdsSection);
        const std::vector<uint64_t> ids = sections.Words(kIdsSection);
        uint64_t offset = 0;
        std::set<uint64_t> seen;
        for (const ListDirEntry& e : dir) {
            EXPECT_EQ(e.rowOffset, offset);
            EXPECT_EQ(e.idsOffset, offset);
            EXPECT_EQ(e.rowCount, e.idsCount);
            for (uint64_t i = 0; i < e.rowCount; ++i) {
                const uint64_t row = positions[offset / 8 + i];
                EXPECT_TRUE(seen.insert(row).second) << "row " << row << " in two lists";
                EXPECT_EQ(ids[offset / 8 + i], testutil::IdOf(row));
                if (i > 0) {
                    EXPECT_LT(positions[offset / 8 + i - 1], row) << "insertion order";
                }
            }
            offset += 8 * e.rowCount;
        }
        EXPECT_EQ(offset, 90u * 8);
        EXPECT_EQ(seen.size(), 90u);
    }
}

// Two distinct points over four lists: two lists receive nothing and still
// have an entry, with counts 0 and the offset of the next list.
TEST(IvfBuildTest, EmptyListsKeepTheirEntry) {
    BuildPlan plan;
    plan.dim = 2;
    std::vector<float> rows;
    for (int i = 0; i < 10; ++i) rows.insert(rows.end(), {1.0f, 1.0f, 1.0f, 1.0f, 5.0f, 5.0f});
    testutil::Sections sections = testutil::SplitSections(testutil::BuildImage(rows, plan));
    const std::vector<ListDirEntry> dir = sections.Dir();
    ASSERT_EQ(dir.size(), 4u);
    uint64_t empty = 0;
    uint64_t offset = 0;
    for (const ListDirEntry& e : dir) {
        EXPECT_EQ(e.rowOffset, offset);
        EXPECT_EQ(e.idsOffset, offset);
        if (e.rowCount == 0) {
            ++empty;
            EXPECT_EQ(e.idsCount, 0u);
        }
        offset += 8 * e.rowCount;
    }
    EXPECT_EQ(empty, 2u);
    EXPECT_EQ(offset, 30u * 8);
}

// Every vector goes to its nearest centroid, whatever the thread count.
TEST(IvfBuildTest, RowsJoinTheirNearestCentroid) {
    for (uint32_t threads : {1u, 3u}) {
        SCOPED_TRACE(threads);
        BuildPlan plan;
        plan.numLists = 5;
        plan.threads = threads;
        const std::vector<float> rows = testutil::ClusteredRows(120, plan.dim, 5, 3);
        auto created = CreateIvfBuilderBackend(testutil::OptionsOf(plan), {});
        ASSERT_TRUE(created.IsOk());
        auto& builder = static_cast<IvfBuilderBackend&>(*created.Value());
        ASSERT_TRUE(builder.Pretrain(rows.data(), 120).IsOk());
        ASSERT_TRUE(builder.Reserve(120).IsOk());
        std::vector<uint64_t> ids(120);
        ASSERT_TRUE(builder.AppendBatch(rows, ids).IsOk());
        const std::vector<float>& c = builder.Centroids();
        ASSERT_EQ(c.size(), 5u * 8);
        for (uint32_t list = 0; list < 5; ++list) {
            for (uint64_t row : builder.Lists()[list].rowIndices) {
                auto dist = [&](uint32_t j) {
                    float d = 0;
                    for (uint32_t x = 0; x < 8; ++x) {
                        const float diff = rows[row * 8 + x] - c[j * 8 + x];
                        d += diff * diff;
                    }
                    return d;
                };
                for (uint32_t other = 0; other < 5; ++other) {
                    EXPECT_LE(dist(list), dist(other) * (1 + 1e-5f)) << "row " << row;
                }
            }
        }
    }
}

}  // namespace
}  // namespace orvane::index::ivf
