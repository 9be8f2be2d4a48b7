#include <gtest/gtest.h>

#include <cmath>

#include <cstdint>
#include <string>
#include <vector>

#include "orvane/api/OptionNormalize.h"
#include "schema/OptionValidation.h"
#include "schema/SchemaCatalog.h"
#include "telemetry/Logger.h"
#include "testing/LogCapture.h"

namespace orvane::schema {
namespace {

using api::BuilderOptions;
using api::OptionsType;
using api::OptionValue;
using core::ErrorCode;
using telemetry::Logger;
using telemetry::LogLevel;

const OptionSchemaView kIvfBuilderSchema = GetBuilderSchema(core::IndexE::ivf);
const OptionSchemaView kDemoBuilderSchema = GetBuilderSchema(core::IndexE::demo);

// Captures the log for the length of each test; the logger's sinks and level
// are restored when the fixture goes.
class OptionValidationTest : public ::testing::Test {
  protected:
    // Unknown-key warnings recorded so far.
    std::vector<std::string> UnknownKeyWarnings() const { return _logs.Messages(LogLevel::Warn); }

    testing::LogCapture _logs;
};

void ExpectInvalid(const core::Status& st, const std::string& msg) {
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), msg);
}

template <typename R>
void ExpectInvalidResult(const R& result, const std::string& msg) {
    ASSERT_FALSE(result.IsOk());
    ExpectInvalid(result.GetStatus(), msg);
}

// A schema without validators, to look at coercion on its own.
constexpr auto kPlain = MakeSchema(std::array{
    OptionField{"i", FieldType::kInt, false, nullptr, "", ""},
    OptionField{"d", FieldType::kDouble, false, nullptr, "", ""},
    OptionField{"b", FieldType::kBool, false, nullptr, "", ""},
    OptionField{"s", FieldType::kString, false, nullptr, "", ""},
});

using Unsanitized = UnsanitizedOptions<OptionsType::Builder>;

Unsanitized One(const std::string& key, OptionValue value) {
    Unsanitized in;
    in.Get().Values().emplace(key, std::move(value));
    return in;
}

core::Result<BuilderOptions> CoercePlain(const std::string& key, OptionValue value,
                                         UnknownKeyPolicy policy = UnknownKeyPolicy::kError) {
    return CoerceOptionsFromStrings<OptionsType::Builder>(One(key, std::move(value)), kPlain,
                                                          policy);
}

BuilderOptions ValidIvfBuilder() {
    return BuilderOptions{
        {"index.type", std::string("ivf")},   {"index.dimension", int64_t{128}},
        {"ivf.build.num_lists", int64_t{16}}, {"distance.metric", std::string("l2")},
        {"pretrain.sample_ratio", 0.5},       {"encoding.pq.use_opq", true}};
}

// ---- Validate ----

TEST_F(OptionValidationTest, ValidMapPasses) {
    EXPECT_TRUE(Validate(ValidIvfBuilder(), kIvfBuilderSchema, UnknownKeyPolicy::kError).IsOk());
    EXPECT_TRUE(_logs.Records().empty());
}

TEST_F(OptionValidationTest, UnknownKeyPolicies) {
    BuilderOptions opts = ValidIvfBuilder();
    opts.Values().emplace("foo", int64_t{1});
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kError),
                  "Unknown option key: foo");
    EXPECT_TRUE(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kIgnore).IsOk());
    EXPECT_TRUE(_logs.Records().empty());

    const int expectedLine = 37;
    EXPECT_TRUE(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kLogAndIgnore).IsOk());
    const auto records = _logs.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, LogLevel::Warn);
    EXPECT_EQ(records[0].message, "Unknown option key ignored: [foo]");
    EXPECT_EQ(records[0].module, "OptionValidation.cc");
    EXPECT_EQ(records[0].line, expectedLine);

    // A logger that does not admit Warn gets nothing.
    Logger::Instance().SetLevel(LogLevel::Error);
    EXPECT_TRUE(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kLogAndIgnore).IsOk());
    EXPECT_EQ(_logs.Records().size(), 1u);
}

TEST_F(OptionValidationTest, UnknownKeysAreCheckedBeforeFields) {
    BuilderOptions opts{{"bogus", std::string("x")}};  // and every required key missing
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kError),
                  "Unknown option key: bogus");
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kIgnore),
                  "Missing required option: index.dimension");
}

TEST_F(OptionValidationTest, TypeMismatchIsReportedBeforeValidator) {
    BuilderOptions opts = ValidIvfBuilder();
    opts.Values()["index.dimension"] = 128.0;
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kError),
                  "Type mismatch for index.dimension");
    opts = ValidIvfBuilder();
    opts.Values()["encoding.pq.use_opq"] = std::string("true");  // text is not coerced here
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kError),
                  "Type mismatch for encoding.pq.use_opq");
    opts = ValidIvfBuilder();
    opts.Values()["pretrain.sample_ratio"] = int64_t{1};
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kError),
                  "Type mismatch for pretrain.sample_ratio");
}

TEST_F(OptionValidationTest, FieldsAreVisitedInTableOrder) {
    // index.dimension comes before index.type: its bad value wins over the missing type.
    BuilderOptions opts{{"index.dimension", int64_t{0}}};
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kError),
                  "Option index.dimension must be > 0");
    opts.Values()["index.dimension"] = int64_t{8};
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kError),
                  "Missing required option: index.type");

    // A bad metric (before ivf.build.num_lists) wins over the missing list count ...
    opts = ValidIvfBuilder();
    opts.Values().erase("ivf.build.num_lists");
    opts.Values()["distance.metric"] = std::string("hamming");
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kError),
                  "Option distance.metric has unsupported metric: hamming (one of l2, cosine, "
                  "inner_product)");
    // ... and the missing list count wins over a bad PQ option listed after it.
    opts.Values()["distance.metric"] = std::string("cosine");
    opts.Values()["encoding.pq.m"] = int64_t{-3};
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kError),
                  "Missing required option: ivf.build.num_lists");
    opts.Values()["ivf.build.num_lists"] = int64_t{4};
    ExpectInvalid(Validate(opts, kIvfBuilderSchema, UnknownKeyPolicy::kError),
                  "Option encoding.pq.m must be > 0");
}

TEST_F(OptionValidationTest, EmptySchemaKnowsNoKey) {
    EXPECT_TRUE(Validate(BuilderOptions{}, OptionSchemaView{}, UnknownKeyPolicy::kError).IsOk());
    ExpectInvalid(Validate(BuilderOptions{{"encoding.pq.m", int64_t{8}}},
                           LookupQuantizerSchema("sq8"), UnknownKeyPolicy::kError),
                  "Unknown option key: encoding.pq.m");
}

// ---- CoerceOptionsFromStrings ----

TEST_F(OptionValidationTest, IntTextMustBeConsumedWhole) {
    struct Case {
        std::string text;
        bool ok;
        int64_t value;
    };
    const std::vector<Case> cases = {
        {"12", true, 12},
        {" 12", true, 12},
        {"\t+7", true, 7},
        {"-5", true, -5},
        {"", true, 0},
        {"9223372036854775807", true, INT64_MAX},
        {"-9223372036854775808", true, INT64_MIN},
        {"12 ", false, 0},
        {"12abc", false, 0},
        {"abc", false, 0},
        {"1.5", false, 0},
        {"0x10", false, 0},
        {" ", false, 0},
        {"+", false, 0},
        {std::string("12\0", 3), false, 0},
        // Out of range saturates at the limits, as the C conversion does.
        {"9223372036854775808", true, INT64_MAX},
        {"-99999999999999999999", true, INT64_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text=[" + c.text + "]");
        auto r = CoercePlain("i", c.text);
        if (c.ok) {
            ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
            const OptionValue& v = r.Value().Values().at("i");
            ASSERT_TRUE(std::holds_alternative<int64_t>(v));
            EXPECT_EQ(std::get<int64_t>(v), c.value);
        } else {
            ExpectInvalidResult(r, "Invalid int value for i");
        }
    }
}

TEST_F(OptionValidationTest, DoubleTextMustBeConsumedWhole) {
    struct Case {
        std::string text;
        bool ok;
        double value;
    };
    const std::vector<Case> cases = {
        {"1", true, 1.0},
        {" 0.25", true, 0.25},
        {"-2.5e1", true, -25.0},
        {"1e-3", true, 0.001},
        {"", true, 0.0},
        {"0.5 ", false, 0},
        {"0.5x", false, 0},
        {"x", false, 0},
        {"1,5", false, 0},
        {"inf", true, HUGE_VAL},
        {"-Infinity", true, -HUGE_VAL},
        {"1e999", true, HUGE_VAL},
        {"inf ", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text=[" + c.text + "]");
        auto r = CoercePlain("d", c.text);
        if (c.ok) {
            ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
            const OptionValue& v = r.Value().Values().at("d");
            ASSERT_TRUE(std::holds_alternative<double>(v));
            EXPECT_DOUBLE_EQ(std::get<double>(v), c.value);
        } else {
            ExpectInvalidResult(r, "Invalid double value for d");
        }
    }
}

TEST_F(OptionValidationTest, BoolTextIsCaseInsensitive) {
    for (const char* t : {"true", "TRUE", "True", "tRuE", "1"}) {
        auto r = CoercePlain("b", std::string(t));
        ASSERT_TRUE(r.IsOk()) << t;
        EXPECT_EQ(r.Value().Values().at("b"), OptionValue(true)) << t;
    }
    for (const char* t : {"false", "FALSE", "False", "0"}) {
        auto r = CoercePlain("b", std::string(t));
        ASSERT_TRUE(r.IsOk()) << t;
        EXPECT_EQ(r.Value().Values().at("b"), OptionValue(false)) << t;
    }
    for (const char* t : {"yes", "", " true", "true ", "2", "01", "t"}) {
        ExpectInvalidResult(CoercePlain("b", std::string(t)), "Invalid bool value for b");
    }
}

TEST_F(OptionValidationTest, TypedValuesAreKeptOrRefused) {
    auto keep = [&](const std::string& key, OptionValue v) {
        auto r = CoercePlain(key, v);
        ASSERT_TRUE(r.IsOk()) << key;
        EXPECT_EQ(r.Value().Values().at(key), v);
    };
    keep("i", int64_t{-4});
    keep("d", 2.5);
    keep("b", false);
    keep("s", std::string(" Mixed Case "));
    keep("s", std::string());

    ExpectInvalidResult(CoercePlain("d", int64_t{1}), "Type mismatch for d");
    ExpectInvalidResult(CoercePlain("i", 1.0), "Type mismatch for i");
    ExpectInvalidResult(CoercePlain("i", true), "Type mismatch for i");
    ExpectInvalidResult(CoercePlain("b", int64_t{1}), "Type mismatch for b");
    ExpectInvalidResult(CoercePlain("s", int64_t{1}), "Type mismatch for s");
}

TEST_F(OptionValidationTest, CoercionUnknownKeys) {
    ExpectInvalidResult(CoercePlain("foo", std::string("bar")), "Unknown option key: foo");
    EXPECT_TRUE(_logs.Records().empty());

    auto ignored = CoercePlain("foo", int64_t{3}, UnknownKeyPolicy::kIgnore);
    ASSERT_TRUE(ignored.IsOk());
    EXPECT_EQ(ignored.Value().Values().at("foo"), OptionValue(int64_t{3}));
    EXPECT_TRUE(_logs.Records().empty());

    // Logged once while coercing and once more by the validation pass.
    auto logged = CoercePlain("foo", std::string("bar"), UnknownKeyPolicy::kLogAndIgnore);
    ASSERT_TRUE(logged.IsOk());
    EXPECT_EQ(logged.Value().Values().at("foo"), OptionValue(std::string("bar")));
    EXPECT_EQ(UnknownKeyWarnings(),
              (std::vector<std::string>{"Unknown option key ignored: [foo]",
                                        "Unknown option key ignored: [foo]"}));
}

TEST_F(OptionValidationTest, CoercedValuesAreValidated) {
    Unsanitized in;
    in.Get().Values() = {{"index.type", std::string("demo")}, {"index.dimension", std::string()}};
    auto r = CoerceOptionsFromStrings<OptionsType::Builder>(in, kDemoBuilderSchema,
                                                            UnknownKeyPolicy::kError);
    ExpectInvalidResult(r, "Option index.dimension must be > 0");
    // The input is left as it was.
    EXPECT_EQ(in.Get().Values().at("index.dimension"), OptionValue(std::string()));

    in.Get().Values()["index.dimension"] = std::string("3");
    r = CoerceOptionsFromStrings<OptionsType::Builder>(in, kDemoBuilderSchema,
                                                       UnknownKeyPolicy::kError);
    ASSERT_TRUE(r.IsOk());
    EXPECT_EQ(r.Value().Values().size(), 2u);
    EXPECT_EQ(in.Get().Values().at("index.dimension"), OptionValue(std::string("3")));
}

// ---- Normalize ----

TEST_F(OptionValidationTest, NormalizeIvfBuilderFromText) {
    auto r = NormalizeBuilderOptions(StringOptionMap{{"index.type", "ivf"},
                                                     {"index.dimension", "128"},
                                                     {"ivf.build.num_lists", "1024"},
                                                     {"encoding.pq.use_opq", "TRUE"}});
    ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
    const auto& v = r.Value();
    EXPECT_EQ(v.GetInt("index.dimension", -1), 128);
    EXPECT_EQ(v.GetInt("ivf.build.num_lists", -1), 1024);
    EXPECT_EQ(v.Values().at("encoding.pq.use_opq"), OptionValue(true));
    EXPECT_EQ(v.GetString("index.type", ""), "ivf");
    EXPECT_TRUE(_logs.Records().empty());
}

TEST_F(OptionValidationTest, NormalizeBuilderNeedsTypeText) {
    const std::string msg = "index.type is required for builder schema selection";
    ExpectInvalidResult(NormalizeBuilderOptions(StringOptionMap{{"index.dimension", "4"}}), msg);
    ExpectInvalidResult(NormalizeBuilderOptions(StringOptionMap{{"index.type", ""}}), msg);
    ExpectInvalidResult(NormalizeBuilderOptions(Unsanitized(
                            BuilderOptions{{"index.type", int64_t{2}}, {"index.dimension", "4"}})),
                        msg);
}

TEST_F(OptionValidationTest, NormalizeBuilderSchemaSelection) {
    // Upper case falls back to the generic table, whose validator refuses the type.
    ExpectInvalidResult(
        NormalizeBuilderOptions(StringOptionMap{
            {"index.type", "IVF"}, {"index.dimension", "8"}, {"ivf.build.num_lists", "4"}}),
        "Option index.type has unsupported value: IVF (one of demo, bruteforce, ivf, diskann)");
    // Without its required list count, an IVF map fails after the earlier fields passed.
    ExpectInvalidResult(
        NormalizeBuilderOptions(StringOptionMap{
            {"index.type", "ivf"}, {"index.dimension", "8"}, {"distance.metric", "l2"}}),
        "Missing required option: ivf.build.num_lists");
    ExpectInvalidResult(
        NormalizeBuilderOptions(StringOptionMap{
            {"index.type", "ivf"}, {"index.dimension", "12abc"}, {"ivf.build.num_lists", "4"}}),
        "Invalid int value for index.dimension");
    ExpectInvalidResult(
        NormalizeBuilderOptions(StringOptionMap{{"index.type", "diskann"},
                                                {"index.dimension", "8"},
                                                {"diskann.build.reorder_layout", "maybe"}}),
        "Invalid bool value for diskann.build.reorder_layout");
}

TEST_F(OptionValidationTest, NormalizeSampleRatio) {
    auto ok = NormalizeBuilderOptions(StringOptionMap{
        {"index.type", "bruteforce"}, {"index.dimension", "8"}, {"pretrain.sample_ratio", "1"}});
    ASSERT_TRUE(ok.IsOk()) << ok.GetStatus().Message();
    EXPECT_EQ(ok.Value().Values().at("pretrain.sample_ratio"), OptionValue(1.0));
    ExpectInvalidResult(NormalizeBuilderOptions(StringOptionMap{{"index.type", "bruteforce"},
                                                                {"index.dimension", "8"},
                                                                {"pretrain.sample_ratio", "0"}}),
                        "Option pretrain.sample_ratio must be in (0,1]");
}

TEST_F(OptionValidationTest, NormalizeKeepsUnknownKeyAndLogsTwice) {
    auto r = NormalizeBuilderOptions(
        StringOptionMap{{"index.type", "demo"}, {"index.dimension", "8"}, {"foo", "bar"}});
    ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
    EXPECT_EQ(r.Value().Values().at("foo"), OptionValue(std::string("bar")));
    EXPECT_EQ(UnknownKeyWarnings(),
              (std::vector<std::string>{"Unknown option key ignored: [foo]",
                                        "Unknown option key ignored: [foo]"}));
}

TEST_F(OptionValidationTest, NormalizeSearcher) {
    const std::string msg = "index.type is required for searcher schema selection";
    ExpectInvalidResult(NormalizeSearcherOptions(StringOptionMap{{"index.dimension", "4"}}), msg);

    auto disk =
        NormalizeSearcherOptions(StringOptionMap{{"index.type", "diskann"},
                                                 {"index.dimension", "4"},
                                                 {"diskann.search.num_nodes_to_cache", "0"}});
    ASSERT_TRUE(disk.IsOk()) << disk.GetStatus().Message();
    EXPECT_EQ(disk.Value().Values().at("diskann.search.num_nodes_to_cache"),
              OptionValue(int64_t{0}));
    EXPECT_TRUE(_logs.Records().empty());

    // An IVF searcher does not know the DiskANN cache key: kept as text and warned about.
    auto ivf = NormalizeSearcherOptions(UnsanitizedOptions<OptionsType::Searcher>(
        api::SearcherOptions{{"index.type", std::string("ivf")},
                             {"index.dimension", std::string("4")},
                             {"diskann.search.num_nodes_to_cache", std::string("-1")}}));
    ASSERT_TRUE(ivf.IsOk()) << ivf.GetStatus().Message();
    EXPECT_EQ(ivf.Value().Values().at("diskann.search.num_nodes_to_cache"),
              OptionValue(std::string("-1")));
    EXPECT_EQ(UnknownKeyWarnings().size(), 2u);

    ExpectInvalidResult(
        NormalizeSearcherOptions(StringOptionMap{{"index.type", "diskann"},
                                                 {"index.dimension", "4"},
                                                 {"diskann.search.num_nodes_to_cache", "-1"}}),
        "Option diskann.search.num_nodes_to_cache must be >= 0");
    ExpectInvalidResult(NormalizeSearcherOptions(StringOptionMap{{"index.type", "ivf"}}),
                        "Missing required option: index.dimension");
}

TEST_F(OptionValidationTest, NormalizeSearch) {
    const std::string msg = "indexType is required for normalize search schema selection";
    ExpectInvalidResult(NormalizeSearchOptions("", StringOptionMap{}), msg);
    ExpectInvalidResult(NormalizeSearchOptions("", StringOptionMap{{"search.topk", "10"}}), msg);

    auto disk = NormalizeSearchOptions("diskann",
                                       StringOptionMap{{"search.topk", "10"},
                                                       {"diskann.search.list_size", "64"},
                                                       {"diskann.search.use_reorder_data", "0"}});
    ASSERT_TRUE(disk.IsOk()) << disk.GetStatus().Message();
    EXPECT_EQ(disk.Value().GetInt("diskann.search.list_size", -1), 64);
    EXPECT_EQ(disk.Value().Values().at("diskann.search.use_reorder_data"), OptionValue(false));
    ExpectInvalidResult(NormalizeSearchOptions("diskann", StringOptionMap{{"search.topk", "10"}}),
                        "Missing required option: diskann.search.list_size");

    auto ivf = NormalizeSearchOptions(
        "ivf", UnsanitizedOptions<OptionsType::Search>(api::SearchOptions{
                   {"search.topk", std::string("5")}, {"search.nprobe", std::string(" 3")}}));
    ASSERT_TRUE(ivf.IsOk()) << ivf.GetStatus().Message();
    EXPECT_EQ(ivf.Value().GetInt("search.nprobe", -1), 3);

    // Any other type string uses the common search table, where nprobe is unknown.
    auto other = NormalizeSearchOptions(
        "Unknown", StringOptionMap{{"search.topk", "5"}, {"search.nprobe", "3"}});
    ASSERT_TRUE(other.IsOk());
    EXPECT_EQ(other.Value().Values().at("search.nprobe"), OptionValue(std::string("3")));
    ExpectInvalidResult(NormalizeSearchOptions("bruteforce", StringOptionMap{{"search.topk", ""}}),
                        "Option search.topk must be > 0");
}

// ---- orvane::api entry points ----

TEST_F(OptionValidationTest, ApiEntryPointsForward) {
    auto b = api::NormalizeBuilderOptions({{"index.type", "bruteforce"}, {"index.dimension", "2"}});
    ASSERT_TRUE(b.IsOk());
    EXPECT_EQ(b.Value().GetInt("index.dimension", -1), 2);
    ExpectInvalidResult(api::NormalizeBuilderOptions({}),
                        "index.type is required for builder schema selection");
    auto s = api::NormalizeSearcherOptions({{"index.type", "demo"}, {"index.dimension", "2"}});
    ASSERT_TRUE(s.IsOk());
    EXPECT_EQ(s.Value().GetInt("index.dimension", -1), 2);
    auto q = api::NormalizeSearchOptions(
        "demo", {{"search.topk", "9"}, {"search.thread_safe_filter", "True"}});
    ASSERT_TRUE(q.IsOk());
    EXPECT_EQ(q.Value().GetInt("search.topk", -1), 9);
    EXPECT_TRUE(q.Value().GetBool("search.thread_safe_filter", false));
    ExpectInvalidResult(api::NormalizeSearchOptions("", {{"search.topk", "9"}}),
                        "indexType is required for normalize search schema selection");
}

TEST_F(OptionValidationTest, ValidateSearchOptionsIgnoresOtherKeys) {
    api::SearchOptions opts{{"search.topk", int64_t{10}},
                            {"search.nprobe", std::string("not checked")}};
    EXPECT_TRUE(api::ValidateSearchOptions(opts).IsOk());
    EXPECT_TRUE(_logs.Records().empty());
    opts.Values()["search.parallel_number"] = int64_t{0};
    ExpectInvalid(api::ValidateSearchOptions(opts), "Option search.parallel_number must be > 0");
    ExpectInvalid(api::ValidateSearchOptions(api::SearchOptions{}),
                  "Missing required option: search.topk");
    ExpectInvalid(api::ValidateSearchOptions(api::SearchOptions{{"search.topk", std::string("3")}}),
                  "Type mismatch for search.topk");
}

TEST_F(OptionValidationTest, ThirtyTwoBitKeysRefuseValuesBeyondTheirRange) {
    // Text beyond 64 bits saturates and is then refused like any value above 2^32 - 1.
    const char* const kTooLarge[] = {"4294967296", "4294967297", "99999999999999999999"};
    struct Case {
        const char* kind;
        const char* key;
    };
    const Case searchKeys[] = {{"ivf", "search.nprobe"},
                               {"diskann", "diskann.search.list_size"},
                               {"diskann", "diskann.search.beam_width"},
                               {"bruteforce", "search.parallel_number"}};
    for (const Case& c : searchKeys) {
        for (const char* text : kTooLarge) {
            SCOPED_TRACE(std::string(c.key) + "=" + text);
            StringOptionMap map{{"search.topk", "3"}, {"diskann.search.list_size", "10"}};
            map[c.key] = text;
            ExpectInvalidResult(NormalizeSearchOptions(c.kind, map),
                                std::string("Option ") + c.key + " must be in [1, 4294967295]");
        }
    }
    const Case builderKeys[] = {{"ivf", "ivf.build.num_lists"},
                                {"ivf", "index.dimension"},
                                {"diskann", "diskann.build.neighbor_count"},
                                {"diskann", "diskann.build.ef_construction"},
                                {"bruteforce", "encoding.pq.m"}};
    for (const Case& c : builderKeys) {
        SCOPED_TRACE(c.key);
        StringOptionMap map{
            {"index.type", c.kind}, {"index.dimension", "8"}, {"ivf.build.num_lists", "4"}};
        map[c.key] = "4294967297";
        ExpectInvalidResult(NormalizeBuilderOptions(map),
                            std::string("Option ") + c.key + " must be in [1, 4294967295]");
    }
}

}  // namespace
}  // namespace orvane::schema
