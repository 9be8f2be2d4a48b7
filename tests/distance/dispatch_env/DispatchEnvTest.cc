// Level selection as seen through InvokeWithDynamicIsa: every (dispatcher,
// argument types) pair resolves its level on first use from the override
// variable and keeps it. Runs in its own binary so that no other test has used
// the dispatch sites before the variable is set.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <span>
#include <thread>
#include <vector>

#include "distance/Metric.h"
#include "isa/CpuFeatures.h"
#include "isa/DynamicIsa.h"

namespace orvane::isa {
namespace {

// Reports the level it was called at; each N is a separate dispatch site.
template <int N>
struct ProbeDispatcher {
    static IsaE TagInvoke(ScalarT) { return IsaE::scalar; }
    static IsaE TagInvoke(Avx2T) { return IsaE::avx2; }
};

// The same with an AVX-512 kernel.
template <int N>
struct WideProbeDispatcher {
    static IsaE TagInvoke(ScalarT) { return IsaE::scalar; }
    static IsaE TagInvoke(Avx2T) { return IsaE::avx2; }
    static IsaE TagInvoke(Avx512T) { return IsaE::avx512; }
};

template <int N, template <int> typename Probe = ProbeDispatcher>
IsaE LevelUnder(const char* overrideText) {
    if (overrideText == nullptr) {
        ::unsetenv(kOverrideCpuFeaturesEnv);
    } else {
        ::setenv(kOverrideCpuFeaturesEnv, overrideText, 1);
    }
    return InvokeWithDynamicIsa(Probe<N>{});
}

TEST(DispatchEnvTest, LevelChosenOnFirstUseAndKept) {
    EXPECT_EQ(LevelUnder<0>("isa.avx512"), IsaE::scalar);
    EXPECT_EQ(LevelUnder<1>(""), IsaE::scalar);
    EXPECT_EQ(LevelUnder<2>("isa.avx2"), IsaE::avx2);
    EXPECT_EQ(LevelUnder<3>("isa.avx512 isa.avx2"), IsaE::avx2);
    EXPECT_EQ(LevelUnder<4>("isa.sse isa.avx"), IsaE::scalar);
    // Already resolved sites ignore later changes of the variable.
    EXPECT_EQ(LevelUnder<0>("isa.avx2"), IsaE::scalar);
    EXPECT_EQ(LevelUnder<2>(""), IsaE::avx2);
    ::unsetenv(kOverrideCpuFeaturesEnv);
}

// A dispatcher with an AVX-512 kernel runs it when the override names
// AVX-512 and AVX2 and the machine supports it; one without runs AVX2 there.
TEST(DispatchEnvTest, Avx512KernelChosenWhereSupported) {
    if (__builtin_cpu_supports("avx2") == 0) GTEST_SKIP() << "processor without AVX2";
    const IsaE wide = SupportedIsa() == IsaE::avx512 ? IsaE::avx512 : IsaE::avx2;
    EXPECT_EQ((LevelUnder<10, WideProbeDispatcher>("isa.avx512 isa.avx2")), wide);
    EXPECT_EQ((LevelUnder<11, WideProbeDispatcher>("isa.avx2")), IsaE::avx2);
    EXPECT_EQ((LevelUnder<12, WideProbeDispatcher>("isa.avx512")), IsaE::scalar);
    EXPECT_EQ((LevelUnder<13, ProbeDispatcher>("isa.avx512 isa.avx2")), IsaE::avx2);
    ::unsetenv(kOverrideCpuFeaturesEnv);
    EXPECT_EQ((LevelUnder<14, WideProbeDispatcher>(nullptr)), SupportedIsa());
}

// The real metric kernels follow the override: on near-zero vectors cosine is 1
// on the scalar level and 0 on the AVX2 level. Single and batch evaluation are
// separate dispatch sites and so can be resolved under different overrides.
TEST(DispatchEnvTest, MetricKernelsFollowOverride) {
    if (__builtin_cpu_supports("avx2") == 0) GTEST_SKIP() << "processor without AVX2";
    const std::vector<float> a = {1e-4f, 0.0f}, b = {0.0f, 1e-4f};
    const dist::MetricT<dist::MetricE::cosine> cosine;

    ::setenv(kOverrideCpuFeaturesEnv, "isa.avx512 isa.avx2", 1);
    EXPECT_EQ(dist::TagInvoke(dist::EvalTag{}, cosine, std::span<const float>(a),
                              std::span<const float>(b)),
              0.0f);

    ::setenv(kOverrideCpuFeaturesEnv, "isa.avx512", 1);
    float out = -1.0f;
    dist::TagInvoke(dist::BatchEvalTag{}, cosine, a.data(), b.data(), 2, 1, &out);
    EXPECT_FLOAT_EQ(out, 1.0f);
    // The single-vector site stays on AVX2.
    EXPECT_EQ(dist::TagInvoke(dist::EvalTag{}, cosine, std::span<const float>(a),
                              std::span<const float>(b)),
              0.0f);
    ::unsetenv(kOverrideCpuFeaturesEnv);
}

// Many threads race to the first use of the same dispatch sites: each site is
// resolved exactly once and every caller sees the same level and values.
TEST(DispatchEnvStressTest, ConcurrentFirstUse) {
    if (__builtin_cpu_supports("avx2") == 0) GTEST_SKIP() << "processor without AVX2";
    ::setenv(kOverrideCpuFeaturesEnv, "isa.avx2", 1);
    constexpr int kThreads = 8;
    constexpr int kCalls = 2000;
    const std::vector<float> a = {1.0f, 2.0f, 3.0f}, b = {3.0f, 2.0f, 1.0f};
    std::atomic<bool> go{false};
    std::atomic<int> wrongLevel{0}, wrongValue{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            for (int i = 0; i < kCalls; ++i) {
                if (InvokeWithDynamicIsa(ProbeDispatcher<100>{}) != IsaE::avx2) ++wrongLevel;
                const float l2 =
                    dist::TagInvoke(dist::EvalTag{}, dist::MetricT<dist::MetricE::l2>{},
                                    std::span<const float>(a), std::span<const float>(b));
                if (l2 != 8.0f) ++wrongValue;
            }
        });
    }
    go.store(true, std::memory_order_release);
    for (auto& th : threads) th.join();
    ::unsetenv(kOverrideCpuFeaturesEnv);
    EXPECT_EQ(wrongLevel.load(), 0);
    EXPECT_EQ(wrongValue.load(), 0);
}

}  // namespace
}  // namespace orvane::isa
