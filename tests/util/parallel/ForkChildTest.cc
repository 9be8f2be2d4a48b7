// A child made by fork() after the library has used its worker pools must still
// build and search: the pools start fresh workers there. Each case builds and
// searches in the parent (starting the Build, Search and IO pools), forks, and
// the child builds and searches again and must find the parent's hits. A child
// that hangs is killed after a deadline, so a regression fails instead of
// stalling the suite.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
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

// Under a thread limit an insert cannot start its worker threads. The builder's
// own text stays first and the reason follows it, so the caller learns why.
// Pretraining runs in the parent; the child drops to an unprivileged user
// limited to its one thread, inserts, and sends the message back through a pipe.
TEST(ForkChildTest, InsertUnderAThreadLimitSaysWhy) {
    struct LimitCase {
        const char* name;
        BuilderOptions build;
        const char* text;  // the builder's fixed text, then ": " and the reason
    };
    const LimitCase cases[] = {
        {"bruteforce pq",
         BuilderOptions{{"index.type", std::string("bruteforce")},
                        {"index.dimension", int64_t{kDim}},
                        {"encoding.type", std::string("pq")},
                        {"encoding.pq.chunk_count", int64_t{4}}},
         "Failed to append batch.: worker threads unavailable: Failed to start worker thread"},
        {"ivf pq",
         BuilderOptions{{"index.type", std::string("ivf")},
                        {"index.dimension", int64_t{kDim}},
                        {"encoding.type", std::string("pq")},
                        {"encoding.pq.chunk_count", int64_t{4}},
                        {"ivf.build.num_lists", int64_t{4}}},
         "quantizer encode failed: worker threads unavailable: Failed to start worker thread"},
        {"diskann",
         BuilderOptions{{"index.type", std::string("diskann")},
                        {"index.dimension", int64_t{kDim}},
                        {"encoding.type", std::string("rawf32")},
                        {"diskann.build.neighbor_count", int64_t{16}},
                        {"diskann.build.thread_count", int64_t{2}}},
         "multi thread build failed: the build executor refused a task (worker threads "
         "unavailable): Failed to start worker thread"},
    };
    const std::vector<float> data = Rows();
    std::vector<uint64_t> ids(kRows);
    std::iota(ids.begin(), ids.end(), uint64_t{1});
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto builder = api::OrvaneBuilder::Create(c.build);
        ASSERT_TRUE(builder.IsOk()) << builder.GetStatus().Message();
        ASSERT_TRUE(builder.Value().Pretrain(data.data(), kRows).IsOk());
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            // root is exempt from the limit, so the child drops to an unprivileged user.
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
            const struct rlimit limit { 1, 1 };
            if (::setrlimit(RLIMIT_NPROC, &limit) != 0) ::_exit(4);
            const auto st = builder.Value().InsertBatch(data.data(), ids.data(), kRows);
            const std::string message = st.IsOk() ? "insert succeeded" : st.Message();
            const bool sent = ::write(pipeFds[1], message.data(), message.size()) ==
                              static_cast<ssize_t>(message.size());
            ::_exit(sent ? 0 : 5);
        }
        ::close(pipeFds[1]);
        const int code = WaitChild(child, std::chrono::seconds(60));
        std::string message;
        char chunk[512];
        for (ssize_t n; (n = ::read(pipeFds[0], chunk, sizeof(chunk))) > 0;)
            message.append(chunk, n);
        ::close(pipeFds[0]);
        if (code == 3 || code == 4) GTEST_SKIP() << "cannot lower the thread limit here";
        ASSERT_EQ(code, 0);
        EXPECT_EQ(message.rfind(c.text, 0), 0u) << message;
    }
}

}  // namespace
}  // namespace orvane
