#include "../../tools/CommandLine.h"

#include <gtest/gtest.h>

#include "../../tools/ToolOptions.h"

namespace orvane::tools {
namespace {

constexpr FlagSpec kSpecs[] = {
    {"option", 'o', true, true, "KEY=VALUE  an option"},
    {"topk", 'k', true, false, "K  hits"},
    {"quiet", 'q', false, false, "quiet"},
};

core::Result<ParsedArgs> Parse(std::vector<std::string> args) {
    return ParseArgs(args, kSpecs);
}

TEST(CommandLineTest, AcceptsLongShortInlineAndSeparateValues) {
    auto r = Parse(
        {"in.fvecs", "-o", "a=1", "--option=b=2", "-oc=3", "--option", "d=", "-k5", "-q", "out"});
    ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
    const ParsedArgs& a = r.Value();
    EXPECT_EQ(a.GetAll("option"), (std::vector<std::string>{"a=1", "b=2", "c=3", "d="}));
    EXPECT_EQ(a.Get("topk"), "5");
    EXPECT_TRUE(a.Has("quiet"));
    EXPECT_FALSE(a.Has("missing"));
    EXPECT_EQ(a.Positional(), (std::vector<std::string>{"in.fvecs", "out"}));
    auto k = a.GetPositive("topk", 10);
    ASSERT_TRUE(k.IsOk());
    EXPECT_EQ(k.Value(), 5u);
    EXPECT_EQ(a.GetPositive("absent", 10).Value(), 10u);
}

TEST(CommandLineTest, DoubleDashEndsFlagsAndLoneDashIsPositional) {
    auto r = Parse({"--", "-q", "--topk", "-"});
    ASSERT_TRUE(r.IsOk());
    EXPECT_FALSE(r.Value().Has("quiet"));
    EXPECT_EQ(r.Value().Positional(), (std::vector<std::string>{"-q", "--topk", "-"}));
}

TEST(CommandLineTest, RefusesUnknownFlagsMissingValuesAndRepeats) {
    struct Case {
        std::vector<std::string> args;
        const char* expect;
    } cases[] = {
        {{"--nope"}, "unknown flag --nope"},
        {{"-x"}, "unknown flag -x"},
        {{"--topk"}, "--topk needs a value"},
        {{"-k", "1", "--topk", "2"}, "--topk given more than once"},
        {{"--quiet=yes"}, "takes no value"},
    };
    for (const Case& c : cases) {
        auto r = Parse(c.args);
        ASSERT_FALSE(r.IsOk()) << c.expect;
        EXPECT_NE(r.GetStatus().Message().find(c.expect), std::string::npos)
            << r.GetStatus().Message();
    }
    for (const char* bad : {"0", "-1", "ten", "", "99999999999999999999999"}) {
        auto r = Parse({"--topk", bad});
        ASSERT_TRUE(r.IsOk());
        EXPECT_FALSE(r.Value().GetPositive("topk", 10).IsOk()) << bad;
    }
}

TEST(CommandLineTest, FlagHelpAlignsTheHelpColumn) {
    const std::string help = FormatFlagHelp(kSpecs);
    EXPECT_NE(help.find("  -o, --option KEY=VALUE  an option\n"), std::string::npos) << help;
    EXPECT_NE(help.find("  -k, --topk K            hits\n"), std::string::npos) << help;
    EXPECT_NE(help.find("  -q, --quiet             quiet\n"), std::string::npos) << help;
}

TEST(KeyValueTest, SplitsAtTheFirstEqualsSign) {
    auto kv = ParseKeyValue("index.path=/tmp/a=b");
    ASSERT_TRUE(kv.IsOk());
    EXPECT_EQ(kv.Value().first, "index.path");
    EXPECT_EQ(kv.Value().second, "/tmp/a=b");
    auto empty = ParseKeyValue("index.dimension=");
    ASSERT_TRUE(empty.IsOk());
    EXPECT_EQ(empty.Value().second, "");
    for (const char* bad : {"novalue", "=3", "bad key=1", ""}) {
        EXPECT_FALSE(ParseKeyValue(bad).IsOk()) << bad;
    }
}

TEST(KeyValueTest, SameKeyTwiceMustAgree) {
    std::vector<std::string> same = {"a=1", "b=2", "a=1"};
    auto ok = ParseKeyValues(same);
    ASSERT_TRUE(ok.IsOk());
    EXPECT_EQ(ok.Value().size(), 2u);
    std::vector<std::string> clash = {"a=1", "a=2"};
    auto bad = ParseKeyValues(clash);
    ASSERT_FALSE(bad.IsOk());
    EXPECT_NE(bad.GetStatus().Message().find("given twice"), std::string::npos);
}

TEST(ToolOptionsTest, IoKeysAreRoutedToIoOptions) {
    TextOptions all = {{"index.type", "demo"},
                       {"index.path", "/x.idx"},
                       {"io.reader.type", "mmap"},
                       {"io.verify_crc", "true"},
                       {"index.dimension", "4"}};
    TextOptions io = TakeIoOptions(all);
    EXPECT_EQ(all, (TextOptions{{"index.type", "demo"}, {"index.dimension", "4"}}));
    EXPECT_EQ(
        io, (TextOptions{
                {"index.path", "/x.idx"}, {"io.reader.type", "mmap"}, {"io.verify_crc", "true"}}));
}

TEST(ToolOptionsTest, IoOptionsAreCoercedAndChecked) {
    auto io = MakeIoOptions({{"io.verify_crc", "TRUE"}, {"io.reader.type", "mmap"}}, "/p.idx");
    ASSERT_TRUE(io.IsOk()) << io.GetStatus().Message();
    EXPECT_TRUE(io.Value().GetBool("io.verify_crc", false));
    EXPECT_EQ(io.Value().GetString("index.path", ""), "/p.idx");
    EXPECT_FALSE(MakeIoOptions({{"io.verify_crc", "maybe"}}, "/p").IsOk());
    EXPECT_FALSE(MakeIoOptions({{"io.reader.type", "tape"}}, "/p").IsOk());
}

}  // namespace
}  // namespace orvane::tools

#include "schema/SchemaCatalog.h"

namespace orvane::tools {
namespace {

TEST(ToolOptionsTest, UnknownKeysAreRefusedFirstInSortedOrder) {
    const api::OptionPurpose demo = api::OptionPurpose::kBuilder;
    EXPECT_TRUE(
        api::CheckKnownOptionKeys({{"index.type", "demo"}, {"index.dimension", "4"}}, demo, "demo")
            .IsOk());
    core::Status st =
        api::CheckKnownOptionKeys({{"index.type", "demo"}, {"zz", "1"}, {"aa", "1"}}, demo, "demo");
    ASSERT_FALSE(st.IsOk());
    EXPECT_EQ(st.Code(), core::ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message().rfind("Unknown option key: aa (the demo builder knows: index.dimension, "
                                 "index.type",
                                 0),
              0u)
        << st.Message();
}

}  // namespace
}  // namespace orvane::tools
