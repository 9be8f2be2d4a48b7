#include "JsonOptionMap.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane::csrc {
namespace {

TEST(JsonOptionMapTest, QuotedAndBareValuesGiveTheSameText) {
    const StringMap quoted = parse_json_map(R"({"index.type":"demo","index.dimension":"4"})");
    const StringMap bare = parse_json_map(R"({"index.type": "demo", "index.dimension": 4})");
    const StringMap expected{{"index.type", "demo"}, {"index.dimension", "4"}};
    EXPECT_EQ(quoted, expected);
    EXPECT_EQ(bare, expected);

    EXPECT_EQ(parse_json_map(R"({"index.type": "ivf", "index.dimension": 128})"),
              (StringMap{{"index.type", "ivf"}, {"index.dimension", "128"}}));
}

TEST(JsonOptionMapTest, NullEmptyOrBracelessTextGivesAnEmptyMap) {
    EXPECT_TRUE(parse_json_map(nullptr).empty());
    EXPECT_TRUE(parse_json_map("").empty());
    EXPECT_TRUE(parse_json_map(R"("index.type": "demo")").empty());
    EXPECT_TRUE(parse_json_map(R"("index.type": "demo"})").empty());
    EXPECT_TRUE(parse_json_map(R"({"index.type": "demo")").empty());
    // A closing brace before the only opening one leaves no body.
    EXPECT_TRUE(parse_json_map(R"(} "a": "b" {)").empty());
    EXPECT_TRUE(parse_json_map("{}").empty());
    EXPECT_TRUE(parse_json_map("{   }").empty());
}

TEST(JsonOptionMapTest, BodyIsBetweenFirstOpenAndLastCloseBrace) {
    // Text outside the braces is ignored; an inner brace ends a bare value.
    EXPECT_EQ(parse_json_map(R"(prefix {"a": 1} suffix)"), (StringMap{{"a", "1"}}));
    EXPECT_EQ(parse_json_map(R"({"a": 1}, "b": "x"})"), (StringMap{{"a", "1"}, {"b", "x"}}));
}

TEST(JsonOptionMapTest, UnterminatedQuotesStopTheScan) {
    // The pair with the unterminated value is not stored; earlier pairs are kept.
    EXPECT_EQ(parse_json_map(R"({"a": "1", "b": "oops})"), (StringMap{{"a", "1"}}));
    // An unterminated key stops before its pair.
    EXPECT_EQ(parse_json_map(R"({"a": "1", "b})"), (StringMap{{"a", "1"}}));
    EXPECT_EQ(parse_json_map(R"({"a": "1", "b": 2, "c})"), (StringMap{{"a", "1"}, {"b", "2"}}));
    // A key without a colon after it stops the scan.
    EXPECT_EQ(parse_json_map(R"({"a": "1", "b" "2"})"), (StringMap{{"a", "1"}}));
}

TEST(JsonOptionMapTest, LaterDuplicatesOverwrite) {
    EXPECT_EQ(parse_json_map(R"({"k": "first", "other": 1, "k": second})"),
              (StringMap{{"k", "second"}, {"other", "1"}}));
}

TEST(JsonOptionMapTest, BareValuesLoseTrailingBlanksOnly) {
    EXPECT_EQ(parse_json_map(R"({"a":   12   , "b": true  })"),
              (StringMap{{"a", "12"}, {"b", "true"}}));
    // Quoted values keep every blank.
    EXPECT_EQ(parse_json_map(R"({"a": "  x  "})"), (StringMap{{"a", "  x  "}}));
    // Only spaces are skipped after the colon, so a tab stays part of the value.
    EXPECT_EQ(parse_json_map("{\"a\":\t7}"), (StringMap{{"a", "\t7"}}));
}

TEST(JsonOptionMapTest, MissingValuesAreEmptyText) {
    EXPECT_EQ(parse_json_map(R"({"a": })"), (StringMap{{"a", ""}}));
    EXPECT_EQ(parse_json_map(R"({"a":})"), (StringMap{{"a", ""}}));
    EXPECT_EQ(parse_json_map(R"({"a": , "b": 2})"), (StringMap{{"a", ""}, {"b", "2"}}));
    EXPECT_EQ(parse_json_map(R"({"a": ""})"), (StringMap{{"a", ""}}));
}

TEST(JsonOptionMapTest, TrailingCommaAndJunkBetweenPairs) {
    EXPECT_EQ(parse_json_map(R"({"a": 1,})"), (StringMap{{"a", "1"}}));
    EXPECT_EQ(parse_json_map(R"({"a": "1" junk , junk "b" junk : "2"})"),
              (StringMap{{"a", "1"}, {"b", "2"}}));
    // Without a comma after a value the scan ends there.
    EXPECT_EQ(parse_json_map(R"({"a": "1" "b": "2"})"), (StringMap{{"a", "1"}}));
}

TEST(JsonOptionMapTest, NoEscapeOrNestingSupport) {
    // A backslash does not escape the quote: the value ends at the first quote.
    EXPECT_EQ(parse_json_map(R"({"a": "x\"y"})"), (StringMap{{"a", "x\\"}}));
    // A nested object is scanned as flat text.
    EXPECT_EQ(parse_json_map(R"({"outer": {"inner": 1}})"),
              (StringMap{{"outer", "{\"inner\": 1"}}));
}

}  // namespace
}  // namespace orvane::csrc
