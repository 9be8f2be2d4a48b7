#include "api/BuildThreadDefaults.h"

#include <gtest/gtest.h>

namespace orvane::api {
namespace {

TEST(BuildThreadDefaultsTest, FillsOnlyTheThreadCountsTheCallerLeftOut) {
    struct Case {
        const char* type;
        TextOptionMap given;
        std::vector<std::string> set;
    };
    const Case cases[] = {
        {"demo", {}, {}},
        {"nosuchkind", {}, {}},
        {"ivf", {}, {"ivf.build.thread_count", "encoding.pq.thread_count"}},
        {"ivf", {{"ivf.build.thread_count", "1"}}, {"encoding.pq.thread_count"}},
        {"diskann",
         {{"encoding.pq.thread_count", "3"}},
         {"diskann.build.thread_count", "diskann.disk_encoding.encoding.pq.thread_count"}},
    };
    for (const Case& c : cases) {
        TextOptionMap options = c.given;
        EXPECT_EQ(DefaultBuildThreads(options, c.type, 7), c.set) << c.type;
        for (const std::string& key : c.set) EXPECT_EQ(options.at(key), "7") << key;
        for (const auto& [key, value] : c.given) EXPECT_EQ(options.at(key), value) << key;
    }
    EXPECT_GE(HardwareThreads(), 1u);
}

}  // namespace
}  // namespace orvane::api
