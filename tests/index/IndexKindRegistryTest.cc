#include "index/IndexKindRegistry.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "schema/OptionValidators.h"

namespace orvane::index {
namespace {

TEST(IndexKindRegistryTest, EveryRegisteredKindIsCompleteAndNamedByTheVocabulary) {
    std::set<std::string_view> names;
    for (const IndexKindDescriptor* kind : AllIndexKinds()) {
        ASSERT_NE(kind, nullptr);
        ASSERT_NE(kind->schemas, nullptr);
        EXPECT_TRUE(names.insert(kind->Name()).second) << "registered twice: " << kind->Name();
        EXPECT_EQ(kind->schemas->name, kind->Name());
        EXPECT_EQ(FindIndexKind(kind->Kind()), kind);
        EXPECT_NE(kind->createBuilder, nullptr) << kind->Name();
        EXPECT_NE(kind->createSearcher, nullptr) << kind->Name();
        EXPECT_NE(kind->decodeMeta, nullptr) << kind->Name();
        // Every kind's meta section is named after its type.
        EXPECT_EQ(std::string(kind->metaSection), std::string(kind->Name()) + ".section.meta");
        EXPECT_EQ(FindIndexKind(kind->Name()), kind);
        // The demo options must pass the kind's own schemas as keys it knows.
        for (const auto& [key, value] : kind->demoBuildOptions) {
            EXPECT_NE(kind->schemas->builder.Find(key), nullptr) << key;
        }
        for (const auto& [key, value] : kind->demoSearchOptions) {
            EXPECT_NE(kind->schemas->search.Find(key), nullptr) << key;
        }
    }
    EXPECT_FALSE(names.empty());
}

TEST(IndexKindRegistryTest, LooksUpByExactNameAndBySectionNames) {
    struct Case {
        std::string type;
        bool found;
    };
    const Case cases[] = {{"demo", true},   {"Demo", false},      {"", false},
                          {"demo ", false}, {"bruteforce", true}, {"BruteForce", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(FindIndexKind(c.type) != nullptr, c.found) << "'" << c.type << "'";
    }
    const std::vector<std::string> demo = {"demo.section.vector", "demo.section.meta"};
    ASSERT_NE(KindFromSections(demo), nullptr);
    EXPECT_EQ(KindFromSections(demo)->Name(), "demo");
    const std::vector<std::string> other = {"x.section.meta", "demo.section.vector"};
    EXPECT_EQ(KindFromSections(other), nullptr);
    const std::vector<std::string> bruteforce = {"bruteforce.section.ids",
                                                 "bruteforce.section.meta"};
    ASSERT_NE(KindFromSections(bruteforce), nullptr);
    EXPECT_EQ(KindFromSections(bruteforce)->Name(), "bruteforce");
    // Table order, comma separated, the reference kind first.
    std::string names;
    for (const IndexKindDescriptor* kind : AllIndexKinds()) {
        names += (names.empty() ? "" : ", ") + std::string(kind->Name());
    }
    EXPECT_EQ(KindNames(), names);
    EXPECT_EQ(KindNames().rfind("demo", 0), 0u);
}

TEST(IndexKindRegistryTest, MetaDecodesCountAndDimensionAndRefusesShortPayloads) {
    for (const char* name : {"demo", "bruteforce"}) {
        const IndexKindDescriptor* kind = FindIndexKind(name);
        ASSERT_NE(kind, nullptr) << name;
        const char meta[8] = {3, 0, 0, 0, 4, 0, 0, 0};
        auto m = kind->decodeMeta(std::span<const char>(meta));
        ASSERT_TRUE(m.has_value()) << name;
        EXPECT_EQ(m->count, 3u) << name;
        EXPECT_EQ(m->dim, 4u) << name;
        EXPECT_FALSE(kind->decodeMeta(std::span<const char>(meta, 7)).has_value()) << name;
    }
}

// The kind table is the option vocabulary: every kind it lists is accepted by
// the `index.type` validator, and a name it does not list is refused by it,
// so the facades refuse such a kind before looking for its back end.
TEST(IndexKindRegistryTest, TheKindTableIsTheOnlyListOfKindNames) {
    for (const IndexKindDescriptor* kind : AllIndexKinds()) {
        EXPECT_TRUE(schema::ValidateIndexType("index.type", std::string(kind->Name())).IsOk());
    }
    EXPECT_FALSE(schema::ValidateIndexType("index.type", std::string("hnsw")).IsOk());
    EXPECT_EQ(FindIndexKind(static_cast<core::IndexE>(7)), nullptr);
    api::SearcherOptions options{{"index.type", std::string("hnsw")},
                                 {"index.dimension", int64_t{4}}};
    auto searcher = api::OrvaneSearcher::Create(options);
    ASSERT_FALSE(searcher.IsOk());
    EXPECT_EQ(searcher.GetStatus().Code(), core::ErrorCode::InvalidArgument);
}

}  // namespace
}  // namespace orvane::index
