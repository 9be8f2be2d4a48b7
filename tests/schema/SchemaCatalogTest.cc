#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "index/bruteforce/BruteforceOptions.h"
#include "index/demo/DemoOptions.h"
#include "index/diskann/DiskANNOptions.h"
#include "index/ivf/IvfOptions.h"
#include "schema/SchemaCatalog.h"

namespace orvane::schema {
namespace {

using core::IndexE;
using dist::encode_space::EncodingE;

std::vector<std::string> Keys(OptionSchemaView view) {
    std::vector<std::string> keys;
    for (const OptionField& f : view.fields) keys.emplace_back(f.key);
    return keys;
}

std::vector<std::string> RequiredKeys(OptionSchemaView view) {
    std::vector<std::string> keys;
    for (const OptionField& f : view.fields) {
        if (f.required) keys.emplace_back(f.key);
    }
    return keys;
}

bool SameTable(OptionSchemaView a, OptionSchemaView b) {
    return a.fields.data() == b.fields.data() && a.fields.size() == b.fields.size();
}

const std::vector<std::string> kCommonBuilderKeys = {"index.dimension",
                                                     "index.type",
                                                     "distance.metric",
                                                     "encoding.type",
                                                     "pretrain.sample_ratio",
                                                     "extension.build.ckpt.threshold",
                                                     "extension.build.ckpt.count",
                                                     "build.log_threshold"};
const std::vector<std::string> kPqKeys = {"encoding.pq.thread_count", "encoding.pq.m",
                                          "encoding.pq.max_epoch", "encoding.pq.use_opq",
                                          "encoding.pq.make_zero_mean"};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(SchemaCatalogTest, BuilderTablesHaveExactKeysInOrder) {
    EXPECT_EQ(Keys(kBuilderOptionsSchema), kCommonBuilderKeys);
    EXPECT_EQ(Keys(GetBuilderSchema(IndexE::demo)), kCommonBuilderKeys);
    EXPECT_EQ(Keys(GetBuilderSchema(IndexE::bruteforce)), Concat({kCommonBuilderKeys, kPqKeys}));
    EXPECT_EQ(Keys(GetBuilderSchema(IndexE::ivf)),
              Concat({kCommonBuilderKeys,
                      {"ivf.build.num_lists", "ivf.build.thread_count", "ivf.build.max_epoch"},
                      kPqKeys}));
    EXPECT_EQ(Keys(GetBuilderSchema(IndexE::diskANN)),
              Concat({kCommonBuilderKeys,
                      {"diskann.build.thread_count", "diskann.build.ef_construction",
                       "diskann.build.slack_pruning_factor", "diskann.build.neighbor_count",
                       "diskann.build.reorder_layout", "diskann.disk_encoding.type",
                       "diskann.disk_encoding.save_origin_embedding",
                       "diskann.disk_encoding.encoding.pq.thread_count",
                       "diskann.disk_encoding.encoding.pq.m",
                       "diskann.disk_encoding.encoding.pq.max_epoch"},
                      kPqKeys}));
    static_assert(kBuilderOptionsSchema.Size() == 8);
    static_assert(index::bruteforce::kBuilderSchema.Size() == 13);
    static_assert(index::ivf::kBuilderSchema.Size() == 16);
    static_assert(index::diskann::kBuilderSchema.Size() == 23);
}

TEST(SchemaCatalogTest, RequiredFlagsPerTable) {
    const std::vector<std::string> dimType = {"index.dimension", "index.type"};
    EXPECT_EQ(RequiredKeys(kBuilderOptionsSchema), dimType);
    EXPECT_EQ(RequiredKeys(GetBuilderSchema(IndexE::bruteforce)), dimType);
    EXPECT_EQ(RequiredKeys(GetBuilderSchema(IndexE::diskANN)), dimType);
    EXPECT_EQ(RequiredKeys(GetBuilderSchema(IndexE::ivf)),
              (std::vector<std::string>{"index.dimension", "index.type", "ivf.build.num_lists"}));
    for (IndexE k : {IndexE::bruteforce, IndexE::diskANN, IndexE::ivf, IndexE::demo}) {
        EXPECT_EQ(RequiredKeys(GetSearcherSchema(k)), dimType);
    }
    EXPECT_EQ(RequiredKeys(kSearchOptionsSchema), std::vector<std::string>{"search.topk"});
    EXPECT_EQ(RequiredKeys(GetSearchSchema(IndexE::ivf)), std::vector<std::string>{"search.topk"});
    EXPECT_EQ(RequiredKeys(GetSearchSchema(IndexE::diskANN)),
              (std::vector<std::string>{"search.topk", "diskann.search.list_size"}));
    EXPECT_TRUE(RequiredKeys(kPqQuantizerSchema).empty());
    EXPECT_EQ(RequiredKeys(kIoFields), std::vector<std::string>{"index.path"});
}

TEST(SchemaCatalogTest, SearcherSearchQuantizerAndIoTables) {
    EXPECT_EQ(Keys(kSearcherOptionsSchema),
              (std::vector<std::string>{"index.dimension", "index.type"}));
    EXPECT_EQ(Keys(GetSearcherSchema(IndexE::diskANN)),
              (std::vector<std::string>{"index.dimension", "index.type",
                                        "diskann.search.num_nodes_to_cache"}));
    const std::vector<std::string> search = {"search.topk", "search.parallel_number",
                                             "search.thread_safe_filter", "search.batch_threads"};
    EXPECT_EQ(Keys(kSearchOptionsSchema), search);
    EXPECT_EQ(Keys(GetSearchSchema(IndexE::ivf)), Concat({search, {"search.nprobe"}}));
    EXPECT_EQ(Keys(GetSearchSchema(IndexE::diskANN)),
              Concat({search,
                      {"diskann.search.list_size", "diskann.search.beam_width",
                       "diskann.search.io_limit", "diskann.search.use_reorder_data"}}));
    EXPECT_EQ(Keys(GetQuantizerSchema(EncodingE::pq)), kPqKeys);
    EXPECT_EQ(Keys(LookupIOSchema()),
              (std::vector<std::string>{"index.path", "io.reader.type", "io.reader.mmap.lock_mode",
                                        "io.verify_crc"}));
}

TEST(SchemaCatalogTest, SharedAndDistinctTables) {
    // IVF searchers use the generic table itself, bruteforce and demo their own copies.
    EXPECT_TRUE(SameTable(GetSearcherSchema(IndexE::ivf), kSearcherOptionsSchema));
    EXPECT_FALSE(SameTable(GetSearcherSchema(IndexE::bruteforce), kSearcherOptionsSchema));
    EXPECT_FALSE(SameTable(GetSearcherSchema(IndexE::demo), kSearcherOptionsSchema));
    EXPECT_EQ(Keys(GetSearcherSchema(IndexE::bruteforce)), Keys(kSearcherOptionsSchema));
    EXPECT_EQ(Keys(GetSearcherSchema(IndexE::demo)), Keys(kSearcherOptionsSchema));
    // Bruteforce and demo searches use the common search table itself.
    EXPECT_TRUE(SameTable(GetSearchSchema(IndexE::bruteforce), kSearchOptionsSchema));
    EXPECT_TRUE(SameTable(GetSearchSchema(IndexE::demo), kSearchOptionsSchema));
    // The demo builder table has the generic content but is its own table.
    EXPECT_FALSE(SameTable(GetBuilderSchema(IndexE::demo), kBuilderOptionsSchema));
}

TEST(SchemaCatalogTest, TemplateAccessorsMatchRuntimeCatalog) {
    EXPECT_TRUE(SameTable(BuilderSchema<IndexE::ivf>(), GetBuilderSchema(IndexE::ivf)));
    EXPECT_TRUE(SameTable(BuilderSchema<IndexE::diskANN>(), GetBuilderSchema(IndexE::diskANN)));
    EXPECT_TRUE(
        SameTable(BuilderSchema<IndexE::bruteforce>(), GetBuilderSchema(IndexE::bruteforce)));
    EXPECT_TRUE(SameTable(BuilderSchema<IndexE::demo>(), GetBuilderSchema(IndexE::demo)));
    EXPECT_TRUE(SameTable(SearcherSchema<IndexE::diskANN>(), GetSearcherSchema(IndexE::diskANN)));
    EXPECT_TRUE(SameTable(SearcherSchema<IndexE::demo>(), GetSearcherSchema(IndexE::demo)));
    EXPECT_TRUE(SameTable(SearchSchema<IndexE::ivf>(), GetSearchSchema(IndexE::ivf)));
    EXPECT_TRUE(SameTable(SearchSchema<IndexE::diskANN>(), GetSearchSchema(IndexE::diskANN)));
    EXPECT_TRUE(SameTable(kPqQuantizerSchema, GetQuantizerSchema(EncodingE::pq)));
}

TEST(SchemaCatalogTest, OutOfRangeKindAndNonPqEncodingYieldEmptyViews) {
    const auto bogus = static_cast<IndexE>(4);
    EXPECT_TRUE(GetBuilderSchema(bogus).Empty());
    EXPECT_TRUE(GetSearcherSchema(bogus).Empty());
    EXPECT_TRUE(GetSearchSchema(static_cast<IndexE>(0xFFFFFFFFu)).Empty());
    EXPECT_TRUE(GetQuantizerSchema(EncodingE::rawf32).Empty());
    EXPECT_TRUE(GetQuantizerSchema(EncodingE::sq8).Empty());
    EXPECT_TRUE(GetQuantizerSchema(EncodingE::dummy).Empty());
    EXPECT_EQ(GetQuantizerSchema(EncodingE::pq).Size(), 5u);
}

TEST(SchemaCatalogTest, LookupByStringIsExactAndFallsBackToGeneric) {
    EXPECT_TRUE(SameTable(LookupBuilderSchema("ivf"), GetBuilderSchema(IndexE::ivf)));
    EXPECT_TRUE(SameTable(LookupBuilderSchema("diskann"), GetBuilderSchema(IndexE::diskANN)));
    EXPECT_TRUE(SameTable(LookupBuilderSchema("bruteforce"), GetBuilderSchema(IndexE::bruteforce)));
    EXPECT_TRUE(SameTable(LookupBuilderSchema("demo"), GetBuilderSchema(IndexE::demo)));
    for (std::string_view odd : {"IVF", "DiskANN", "diskANN", "ivf ", "", "unknown"}) {
        SCOPED_TRACE(std::string(odd));
        EXPECT_TRUE(SameTable(LookupBuilderSchema(odd), kBuilderOptionsSchema));
        EXPECT_TRUE(SameTable(LookupSearcherSchema(odd), kSearcherOptionsSchema));
        EXPECT_TRUE(SameTable(LookupSearchSchema(odd), kSearchOptionsSchema));
    }
    EXPECT_EQ(LookupBuilderSchema("IVF").Size(), 8u);
    EXPECT_TRUE(SameTable(LookupSearcherSchema("diskann"), GetSearcherSchema(IndexE::diskANN)));
    EXPECT_TRUE(SameTable(LookupSearchSchema("bruteforce"), LookupSearchSchema("unknown")));
    EXPECT_EQ(LookupSearchSchema("bruteforce").Size(), 4u);
    EXPECT_TRUE(SameTable(LookupSearchSchema("diskann"), GetSearchSchema(IndexE::diskANN)));

    EXPECT_EQ(LookupQuantizerSchema("pq").Size(), 5u);
    EXPECT_TRUE(LookupQuantizerSchema("PQ").Empty());
    EXPECT_TRUE(LookupQuantizerSchema("sq8").Empty());
    EXPECT_TRUE(LookupQuantizerSchema("rawf32").Empty());
    EXPECT_TRUE(LookupQuantizerSchema("dummy").Empty());
    EXPECT_TRUE(SameTable(LookupIOSchema(), kIoFields));
}

TEST(SchemaCatalogTest, IvfSearcherDoesNotKnowDiskANNCacheKey) {
    const OptionSchemaView ivf = GetSearcherSchema(IndexE::ivf);
    EXPECT_EQ(ivf.Size(), 2u);
    EXPECT_EQ(ivf.Find("diskann.search.num_nodes_to_cache"), nullptr);
    EXPECT_NE(GetSearcherSchema(IndexE::diskANN).Find("diskann.search.num_nodes_to_cache"),
              nullptr);
}

struct FieldSpec {
    FieldType type;
    ValidatorFn validator;
    std::string_view description;
};

// Every key of every table must carry exactly the documented type, validator and text.
TEST(SchemaCatalogTest, EveryFieldHasDocumentedTypeValidatorAndDescription) {
    using enum FieldType;
    const std::map<std::string_view, FieldSpec> specs = {
        {"index.type", {kString, ValidateIndexType, "Index type."}},
        {"distance.metric", {kString, ValidateMetric, "Distance metric."}},
        {"encoding.type", {kString, ValidateEncodingType, "Encoding type."}},
        {"pretrain.sample_ratio", {kDouble, ValidateRatio01, "Sample ratio for pretrain."}},
        {"extension.build.ckpt.threshold",
         {kInt, ValidatePositiveInt, "Threshold for triggering checkpoint."}},
        {"extension.build.ckpt.count", {kInt, ValidatePositiveU32, "Number of checkpoints."}},
        {"build.log_threshold", {kInt, ValidatePositiveInt, "Threshold of builder log."}},
        {"encoding.pq.thread_count", {kInt, ValidatePositiveU32, "PQ thread count."}},
        {"encoding.pq.m", {kInt, ValidatePositiveU32, "PQ m."}},
        {"encoding.pq.max_epoch", {kInt, ValidatePositiveU32, "PQ max epoch."}},
        {"encoding.pq.use_opq", {kBool, nullptr, "Use OPQ."}},
        {"encoding.pq.make_zero_mean", {kBool, nullptr, "PQ make zero mean."}},
        {"ivf.build.num_lists", {kInt, ValidatePositiveU32, "IVF num lists."}},
        {"ivf.build.thread_count", {kInt, ValidatePositiveU32, "IVF build thread count."}},
        {"ivf.build.max_epoch", {kInt, ValidatePositiveU32, "IVF build max epoch."}},
        {"diskann.build.thread_count", {kInt, ValidatePositiveU32, "DiskANN build thread count."}},
        {"diskann.build.ef_construction",
         {kInt, ValidatePositiveU32, "DiskANN build ef construction parameter."}},
        {"diskann.build.slack_pruning_factor",
         {kDouble, ValidatePositiveDouble, "DiskANN build slack pruning factor."}},
        {"diskann.build.neighbor_count",
         {kInt, ValidatePositiveU32, "DiskANN build neighbor count."}},
        {"diskann.build.reorder_layout", {kBool, nullptr, "DiskANN build reorder layout."}},
        {"diskann.disk_encoding.type",
         {kString, ValidateEncodingType, "DiskANN disk encoding type."}},
        {"diskann.disk_encoding.save_origin_embedding",
         {kBool, nullptr, "DiskANN disk encoding save origin embedding."}},
        {"diskann.disk_encoding.encoding.pq.thread_count",
         {kInt, ValidatePositiveU32, "PQ thread count, when DiskANN disk encoding type = PQ."}},
        {"diskann.disk_encoding.encoding.pq.m",
         {kInt, ValidatePositiveU32, "PQ m, when DiskANN disk encoding type = PQ."}},
        {"diskann.disk_encoding.encoding.pq.max_epoch",
         {kInt, ValidatePositiveU32, "PQ max epoch, when DiskANN disk encoding type = PQ."}},
        {"diskann.search.num_nodes_to_cache",
         {kInt, ValidateNonNegativeInt, "DiskANN nodes to cache."}},
        {"search.topk", {kInt, ValidatePositiveInt, "Search-time topK override."}},
        {"search.parallel_number", {kInt, ValidatePositiveU32, "Search parallel number."}},
        {"search.thread_safe_filter", {kBool, nullptr, "Thread safe filter."}},
        {"search.batch_threads",
         {kInt, ValidateBatchThreads, "Threads one search call may use for its queries."}},
        {"search.nprobe", {kInt, ValidatePositiveU32, "IVF search nprobe."}},
        {"diskann.search.list_size", {kInt, ValidatePositiveU32, "Diskann search list size."}},
        {"diskann.search.beam_width", {kInt, ValidatePositiveU32, "Diskann search beam width."}},
        {"diskann.search.io_limit", {kInt, ValidatePositiveU32, "Diskann search IO limit."}},
        {"diskann.search.use_reorder_data",
         {kBool, nullptr, "Diskann search use reorder data flag."}},
        {"index.path", {kString, nullptr, "Index path (built-in IO only)."}},
        {"io.reader.type",
         {kString, ValidateReaderType, "Reader type (local/mmap, built-in IO only)."}},
        {"io.reader.mmap.lock_mode",
         {kString, ValidateMmapLockMode,
          "mmap lock mode (none/mlock/populate, built-in IO only)."}},
        {"io.verify_crc", {kBool, nullptr, "Verify section CRC on read (built-in IO only)."}},
    };
    const std::vector<OptionSchemaView> builders = {
        kBuilderOptionsSchema, index::demo::kBuilderSchema, index::bruteforce::kBuilderSchema,
        index::ivf::kBuilderSchema, index::diskann::kBuilderSchema};
    const std::vector<OptionSchemaView> searchers = {
        kSearcherOptionsSchema, index::bruteforce::kSearcherSchema, index::demo::kSearcherSchema,
        index::diskann::kSearcherSchema};
    const std::vector<OptionSchemaView> others = {kSearchOptionsSchema, index::ivf::kSearchSchema,
                                                  index::diskann::kSearchSchema, kPqQuantizerSchema,
                                                  kIoFields};
    size_t checked = 0;
    auto check = [&](OptionSchemaView view, std::string_view dimensionText) {
        for (const OptionField& f : view.fields) {
            SCOPED_TRACE(std::string(f.key));
            if (f.key == "index.dimension") {
                EXPECT_EQ(f.type, kInt);
                EXPECT_EQ(f.validator, &ValidatePositiveU32);
                EXPECT_EQ(f.description, dimensionText);
                ++checked;
                continue;
            }
            auto it = specs.find(f.key);
            ASSERT_NE(it, specs.end());
            EXPECT_EQ(f.type, it->second.type);
            EXPECT_EQ(f.validator, it->second.validator);
            EXPECT_EQ(f.description, it->second.description);
            ++checked;
        }
    };
    for (auto v : builders) check(v, "Vector dimension.");
    for (auto v : searchers) check(v, "Index dimension.");
    for (auto v : others) check(v, "");
    EXPECT_EQ(checked, 8u + 8u + 13u + 16u + 23u + 2u * 3u + 3u + 4u + 5u + 8u + 5u + 4u);
}

}  // namespace
}  // namespace orvane::schema
