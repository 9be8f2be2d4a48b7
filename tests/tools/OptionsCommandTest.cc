// The option reference: the committed docs/options.md is the generated page, and
// the per-kind view holds exactly that kind's keys.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "../../tools/OptionsCommand.h"

namespace orvane::tools {
namespace {

TEST(OptionsCommandTest, CommittedPageIsTheGeneratedOne) {
    std::ifstream in(std::string(ORVANE_SOURCE_DIR) + "/docs/options.md");
    ASSERT_TRUE(in) << "docs/options.md not found";
    const std::string committed(std::istreambuf_iterator<char>(in), {});
    auto generated = OptionsReference("");
    ASSERT_TRUE(generated.IsOk());
    EXPECT_EQ(committed, generated.Value())
        << "docs/options.md is stale: regenerate it with `build/orvane options > docs/options.md`";
}

TEST(OptionsCommandTest, OneKindShowsOnlyItsKeys) {
    struct Case {
        const char* kind;
        const char* has;
        const char* lacks;
    };
    const Case cases[] = {
        {"ivf", "| `ivf.build.num_lists` | int | ", "diskann.search.list_size"},
        {"diskann", "| `diskann.search.list_size` | int | yes | 1..4294967295 |", "ivf.build.num_lists"},
        {"demo", "| `io.reader.type` | string | no | local, mmap |", "search.nprobe"},
    };
    for (const Case& c : cases) {
        auto text = OptionsReference(c.kind);
        ASSERT_TRUE(text.IsOk()) << c.kind;
        EXPECT_NE(text.Value().find(c.has), std::string::npos) << c.kind;
        EXPECT_EQ(text.Value().find(c.lacks), std::string::npos) << c.kind;
    }
    auto unknown = OptionsReference("hnsw");
    ASSERT_FALSE(unknown.IsOk());
    EXPECT_EQ(unknown.GetStatus().Message(),
              "unknown index kind 'hnsw' (demo, bruteforce, ivf, diskann)");
}

}  // namespace
}  // namespace orvane::tools
