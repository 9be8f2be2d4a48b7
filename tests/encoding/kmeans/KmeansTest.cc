#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory_resource>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "encoding/kmeans/Kmeans.h"
#include "util/ExecutorManager.h"

namespace orvane::quantizer {
namespace {

using core::ErrorCode;

std::pmr::memory_resource& Res() {
    return *std::pmr::get_default_resource();
}

std::shared_ptr<coro::Executor> BuildExecutor() {
    auto r = util::ExecutorManager::Instance().Get(util::ExecutorPurpose::Build);
    EXPECT_TRUE(r.IsOk());
    return r.Value();
}

// `perCluster` rows around each of `centers` (dim 4), spread +-0.1, rows of
// the clusters interleaved so that the first rows come from different clusters.
std::vector<float> Blobs(const std::vector<std::vector<float>>& centers, uint32_t perCluster,
                         uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
    std::vector<float> data;
    for (uint32_t i = 0; i < perCluster; ++i) {
        for (const auto& c : centers) {
            for (float v : c) data.push_back(v + noise(gen));
        }
    }
    return data;
}

const std::vector<std::vector<float>> kCenters = {{0, 0, 0, 0}, {10, 10, 10, 10}, {-10, 5, 0, 20}};

// Index of the centroid row of `centroids` nearest to `point`.
size_t Nearest(const std::vector<float>& centroids, const std::vector<float>& point) {
    size_t best = 0;
    float bestD = 1e30f;
    for (size_t c = 0; c * point.size() < centroids.size(); ++c) {
        float d = 0;
        for (size_t j = 0; j < point.size(); ++j) {
            const float diff = centroids[c * point.size() + j] - point[j];
            d += diff * diff;
        }
        if (d < bestD) bestD = d, best = c;
    }
    return best;
}

// Every blob center has its own centroid within 0.1 per component.
void ExpectRecoversCenters(const std::vector<float>& centroids) {
    std::vector<bool> used(kCenters.size(), false);
    for (const auto& center : kCenters) {
        const size_t c = Nearest(centroids, center);
        EXPECT_FALSE(used[c]);
        used[c] = true;
        for (size_t j = 0; j < center.size(); ++j)
            EXPECT_NEAR(centroids[c * 4 + j], center[j], 0.1);
    }
}

TEST(KmeansTest, SeparableClustersWithEveryInitialization) {
    const auto data = Blobs(kCenters, 50, 1);
    auto executor = BuildExecutor();
    struct Case {
        uint32_t threads;
        bool kmc2;
    };
    for (const Case c : {Case{1, false}, Case{2, false}, Case{3, true}, Case{1, true}}) {
        auto [st, centroids] =
            KmeansUtil::Kmeans(data, 4, 3, 20, c.threads, executor.get(), Res(), c.kmc2);
        ASSERT_TRUE(st.IsOk());
        ASSERT_EQ(centroids.size(), 12u);
        ExpectRecoversCenters(centroids);
    }
}

TEST(KmeansTest, PlainKmeansIsIndependentOfThreadCount) {
    const auto data = Blobs({{0, 0, 0, 0}, {1, 1, 1, 1}, {0, 2, 0, 2}, {3, 0, 0, 0}}, 41, 2);
    auto executor = BuildExecutor();
    const auto one = KmeansUtil::Kmeans(data, 4, 7, 10, 1, nullptr, Res()).second;
    for (uint32_t threads : {2u, 5u}) {
        EXPECT_EQ(KmeansUtil::Kmeans(data, 4, 7, 10, threads, executor.get(), Res()).second, one);
    }
}

TEST(KmeansTest, FewerRowsThanClustersAndEpochCounts) {
    const std::vector<float> data = {1, 2, 3, 4, 5, 6};  // 3 rows of 2
    struct Case {
        uint32_t k;
        uint32_t epochs;
        std::vector<float> expected;
    };
    const std::vector<Case> cases = {
        {5, 0, {1, 2, 3, 4, 5, 6, 0, 0, 0, 0}},
        {5, 3, {1, 2, 3, 4, 5, 6, 0, 0, 0, 0}},
        {1, 0, {1, 2}},
        {1, 1, {3, 4}},  // one assignment and one update: the mean
        {2, 1, {1, 2, 4, 5}},
    };
    for (const Case& c : cases) {
        auto [st, centroids] = KmeansUtil::Kmeans(data, 2, c.k, c.epochs, 1, nullptr, Res());
        ASSERT_TRUE(st.IsOk());
        EXPECT_EQ(centroids, c.expected) << c.k << "/" << c.epochs;
    }
}

TEST(KmeansTest, InputErrors) {
    const std::vector<float> ten(10, 1.0f);
    struct Case {
        std::vector<float> data;
        const char* message;
    };
    for (const Case& c : {Case{{}, "data is empty"}, Case{ten, "dim is not match with data"}}) {
        auto [st, centroids] = KmeansUtil::Kmeans(c.data, 3, 2, 5, 1, nullptr, Res());
        EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
        EXPECT_EQ(st.Message(), c.message);
        EXPECT_TRUE(centroids.empty());
        std::pmr::vector<float> start = {1, 2, 3};
        auto [st2, indexes] =
            KmeansUtil::KmeansWithCentroids(c.data, 3, 5, 1, nullptr, Res(), start);
        EXPECT_EQ(st2.Message(), c.message);
    }
    std::pmr::vector<float> none;
    auto [st, indexes] = KmeansUtil::KmeansWithCentroids(ten, 2, 5, 1, nullptr, Res(), none);
    EXPECT_EQ(st.Message(), "centroids is empty");
}

TEST(KmeansTest, WithCentroidsRefinesInPlaceAndReturnsAssignments) {
    const auto data = Blobs(kCenters, 20, 3);
    std::pmr::vector<float> centroids = {1, 1, 1, 1, 9, 9, 9, 9, -9, 4, 1, 19};
    auto [st, indexes] = KmeansUtil::KmeansWithCentroids(data, 4, 10, 1, nullptr, Res(), centroids);
    ASSERT_TRUE(st.IsOk());
    ExpectRecoversCenters(std::vector<float>(centroids.begin(), centroids.end()));
    ASSERT_EQ(indexes.size(), 60u);
    for (size_t i = 0; i < indexes.size(); ++i) EXPECT_EQ(indexes[i], i % 3);
}

TEST(KmeansTest, EmptyClusterIsReseededWithADataRow) {
    const std::vector<float> data = {0, 0, 1, 0, 0, 1, 1, 1};
    std::vector<float> centroids = {0.5f, 0.5f, 100, 100, 0.5f, 0.5f};  // 1 and 2 get no row
    const std::vector<uint32_t> indexes = {0, 0, 0, 0};
    EXPECT_FALSE(UpdateCentroids(data, indexes, centroids, 2, Res()));
    EXPECT_EQ(centroids[0], 0.5f);
    EXPECT_EQ(centroids[1], 0.5f);
    for (size_t c = 1; c < 3; ++c) {
        bool isRow = false;
        for (size_t r = 0; r < 4; ++r) {
            isRow |= centroids[c * 2] == data[r * 2] && centroids[c * 2 + 1] == data[r * 2 + 1];
        }
        EXPECT_TRUE(isRow) << c;
    }
}

// Each centroid is its rows' mean, summed in double in row order, at every row
// width (short rows take code of fixed width): the values mix 1e16 and 1 so
// that another order of the adds gives other sums. Rows with a cluster number
// out of range are left out.
TEST(KmeansTest, UpdateAveragesInRowOrderAtEveryWidth) {
    constexpr uint32_t kClusters = 3;
    constexpr uint64_t kRows = 48;
    for (uint32_t dim = 1; dim <= 10; ++dim) {
        std::vector<float> data(kRows * dim);
        std::vector<uint32_t> indexes(kRows);
        for (uint64_t i = 0; i < kRows; ++i) {
            indexes[i] = static_cast<uint32_t>(i % (kClusters + 1));  // every fourth row: none
            for (uint32_t j = 0; j < dim; ++j) {
                const uint64_t phase = (i / 4 + j) % 3;
                data[i * dim + j] = phase == 0 ? 1e16f : (phase == 1 ? 1.0f : -1e16f);
            }
        }
        std::vector<double> sums(kClusters * dim, 0.0);
        std::vector<uint64_t> counts(kClusters, 0);
        for (uint64_t i = 0; i < kRows; ++i) {
            if (indexes[i] >= kClusters) continue;
            ++counts[indexes[i]];
            for (uint32_t j = 0; j < dim; ++j) sums[indexes[i] * dim + j] += data[i * dim + j];
        }
        std::vector<float> expected(kClusters * dim);
        for (uint64_t v = 0; v < expected.size(); ++v) {
            expected[v] = static_cast<float>(sums[v] / static_cast<double>(counts[v / dim]));
        }
        std::vector<float> centroids(kClusters * dim, 7.0f);
        EXPECT_FALSE(UpdateCentroids(data, indexes, centroids, dim, Res()));
        EXPECT_EQ(centroids, expected) << "dim " << dim;
    }
}

TEST(KmeansTest, UpdateReportsConvergence) {
    const std::vector<float> data = {0, 0, 2, 2};
    std::vector<float> centroids = {1, 1};
    EXPECT_TRUE(UpdateCentroids(data, std::vector<uint32_t>{0, 0}, centroids, 2, Res()));
    centroids = {1.001f, 1};
    EXPECT_FALSE(UpdateCentroids(data, std::vector<uint32_t>{0, 0}, centroids, 2, Res()));
    EXPECT_TRUE(UpdateCentroids(data, std::vector<uint32_t>{0, 0}, std::span<float>(), 2, Res()));
}

TEST(KmeansTest, Kmc2WithIdenticalRowsTakesTheFirstCandidate) {
    const std::vector<float> data = {3, 4, 3, 4};
    EXPECT_EQ(KmeansUtil::InitializeCentroidsKMC2(data, 2, 2, 32, Res()),
              (std::vector<float>{3, 4, 3, 4}));
    EXPECT_TRUE(KmeansUtil::InitializeCentroidsKMC2({}, 2, 2, 32, Res()).empty());
    EXPECT_TRUE(KmeansUtil::InitializeCentroidsKMC2(data, 2, 0, 32, Res()).empty());
    EXPECT_EQ(KmeansUtil::InitializeCentroidsKMC2(data, 2, 9, 32, Res()).size(), 4u);
}

TEST(KmeansTest, RandomSelectTakesDistinctRows) {
    std::vector<float> data;
    for (int i = 0; i < 20; ++i) data.insert(data.end(), {float(i), float(-i)});
    const auto picked = RandomSelectVectors(data, 2, 5, Res());
    ASSERT_EQ(picked.size(), 10u);
    std::vector<bool> seen(20, false);
    for (size_t r = 0; r < 5; ++r) {
        const int row = static_cast<int>(picked[r * 2]);
        EXPECT_EQ(picked[r * 2 + 1], -float(row));
        EXPECT_FALSE(seen[row]);
        seen[row] = true;
    }
    EXPECT_EQ(RandomSelectVectors(data, 2, 50, Res()).size(), 40u);
}

TEST(KmeansConcurrentTest, AssignmentIsIndependentOfThreadCountAndTiesGoLow) {
    std::mt19937 gen(4);
    std::uniform_int_distribution<int> small(0, 3);  // coarse values make ties common
    std::vector<float> data(103 * 3);
    for (float& v : data) v = static_cast<float>(small(gen));
    const std::vector<float> centroids = {1, 1, 1, 0, 2, 0, 1, 1, 1, 3, 3, 3, 0, 2, 0};
    auto executor = BuildExecutor();
    std::vector<uint32_t> expected(103);
    UpdateIndexes(data, expected, centroids, 3, 1, nullptr, Res());
    for (size_t i = 0; i < 103; ++i) EXPECT_NE(expected[i], 2u) << i;  // 2 duplicates 0
    for (uint32_t threads : {2u, 4u, 7u, 200u}) {
        std::vector<uint32_t> got(103, 99);
        UpdateIndexes(data, got, centroids, 3, threads, executor.get(), Res());
        EXPECT_EQ(got, expected) << threads;
    }
}

// Holds every task until released, each on its own thread.
class HoldingExecutor : public coro::Executor {
  public:
    bool schedule(Func fn) override {
        ++_scheduled;
        _threads.emplace_back([this, fn = std::move(fn)] {
            _release.wait();
            fn();
        });
        return true;
    }
    void Release() { _promise.set_value(); }
    void Join() {
        for (auto& t : _threads) t.join();
    }
    int Scheduled() const { return _scheduled.load(); }

  private:
    std::promise<void> _promise;
    std::shared_future<void> _release = _promise.get_future().share();
    std::atomic<int> _scheduled{0};
    std::vector<std::thread> _threads;
};

// The system call a thread is blocked in, or -1 while it runs.
long CurrentSyscall(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string first;
    in >> first;
    if (first.empty() || first == "running") return -1;
    return std::stol(first);
}

// While the assignment tasks are outstanding, the caller blocks on a wake-up
// (futex) rather than waking every millisecond from a sleep.
TEST(KmeansConcurrentTest, AssignmentWaitBlocksInsteadOfPolling) {
    const std::vector<float> data(64 * 2, 1.0f);
    const std::vector<float> centroids = {0, 0, 1, 1};
    std::vector<uint32_t> indexes(64, 9);
    HoldingExecutor executor;
    std::atomic<pid_t> callerTid{0};
    std::thread caller([&] {
        callerTid = static_cast<pid_t>(syscall(SYS_gettid));
        UpdateIndexes(data, indexes, centroids, 2, 2, &executor, Res());
    });
    while (executor.Scheduled() < 2) std::this_thread::yield();
    long seen = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        seen = CurrentSyscall(callerTid.load());
        if (seen == SYS_futex || seen == SYS_nanosleep || seen == SYS_clock_nanosleep) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_EQ(seen, SYS_futex);
    executor.Release();
    caller.join();
    executor.Join();
    EXPECT_EQ(indexes, std::vector<uint32_t>(64, 1));
}

}  // namespace
}  // namespace orvane::quantizer
