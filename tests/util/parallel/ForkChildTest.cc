// A child made by fork() after the library has used its worker pools must still
// build and search: the pools start fresh workers there. Each case builds and
// searches in the parent (starting the Build, Search and IO pools), forks, and
// the child builds and searches again and must find the parent's hits. A child
// that hangs is killed after a deadline, so a regression fails instead of
// stalling the suite.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "api/OrvaneBuilder.h"
#include "api/OrvaneSearcher.h"
#include "testing/TempDir.h"

namespace orvane {
namespace {

using api::BuilderOptions;
using api::IOOptions;
using api::SearcherOptions;
using api::SearchOptions;

constexpr uint32_t kDim = 8;
constexpr uint64_t kRows = 300;

struct ForkCase {
    const char* name;
    BuilderOptions build;
    SearchOptions search;
};

std::vector<float> Rows() {
    std::vector<float> data(kRows * kDim);
    for (uint64_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>((i * 7919) % 101);
    return data;
}

bool Build(const ForkCase& c, const std::string& path) {
    const std::vector<float> data = Rows();
    std::vector<uint64_t> ids(kRows);
    std::iota(ids.begin(), ids.end(), uint64_t{10});
    auto builder = api::OrvaneBuilder::Create(c.build);
    if (!builder.IsOk() || !builder.Value().Pretrain(data.data(), kRows).IsOk() ||
        !builder.Value().InsertBatch(data.data(), ids.data(), kRows).IsOk() ||
        !builder.Value().Dump(IOOptions{{"index.path", path}}).IsOk()) {
        return false;
    }
    return true;
}

// The ids found in `path` for a few of the rows, or an empty vector on failure.
std::vector<uint64_t> Search(const ForkCase& c, const std::string& path) {
    const std::vector<float> data = Rows();
    auto searcher = api::OrvaneSearcher::Create(SearcherOptions{
        {"index.type", c.build.GetString("index.type", "")}, {"index.dimension", int64_t{kDim}}});
    if (!searcher.IsOk() || !searcher.Value().Open(IOOptions{{"index.path", path}}).IsOk()) {
        return {};
    }
    std::vector<uint64_t> found;
    for (uint64_t row = 0; row < kRows; row += 60) {
        auto result = searcher.Value().Search(api::Query(data.data() + row * kDim, kDim), c.search);
        if (!result.IsOk()) {
            ADD_FAILURE() << result.GetStatus().Message();
            return {};
        }
        for (const auto& hit : result.Value().topk) found.push_back(hit.id);
    }
    (void)searcher.Value().Close();
    return found;
}

// Waits up to `deadline` for the child; kills it when it is still running.
// Returns its exit code, or -1 when it was killed or did not exit normally.
int WaitChild(pid_t child, std::chrono::seconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ForkChildTest, ChildBuildsAndSearchesAfterTheParentUsedThePools) {
    const ForkCase cases[] = {
        {"bruteforce",
         BuilderOptions{{"index.type", std::string("bruteforce")},
                        {"index.dimension", int64_t{kDim}},
                        {"encoding.type", std::string("rawf32")}},
         SearchOptions{{"search.topk", int64_t{5}}, {"search.parallel_number", int64_t{4}}}},
        {"diskann",
         BuilderOptions{{"index.type", std::string("diskann")},
                        {"index.dimension", int64_t{kDim}},
                        {"encoding.type", std::string("rawf32")},
                        {"diskann.build.neighbor_count", int64_t{16}},
                        {"diskann.build.thread_count", int64_t{4}}},
         SearchOptions{{"search.topk", int64_t{5}},
                       {"search.parallel_number", int64_t{4}},
                       {"diskann.search.list_size", int64_t{32}}}},
    };
    testing::TempDir dir;
    for (const ForkCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File(c.name);
        ASSERT_TRUE(Build(c, path));
        const std::vector<uint64_t> parent = Search(c, path);
        ASSERT_FALSE(parent.empty());
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The parent's file answers as it did there; a build (whose graph
            // may differ with thread timing) succeeds and can be searched.
            const std::string own = path + "_child";
            const bool ok = Search(c, path) == parent && Build(c, own) && !Search(c, own).empty();
            ::_exit(ok ? 0 : 3);
        }
        EXPECT_EQ(WaitChild(child, std::chrono::seconds(60)), 0)
            << "the child hung (-1) or failed (3)";
    }
}

}  // namespace
}  // namespace orvane
