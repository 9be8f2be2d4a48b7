#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "isa/CpuFeatures.h"
#include "isa/DynamicIsa.h"

namespace orvane::isa {
namespace {

CpuFeatures Features(bool avx2, bool avx512) {
    CpuFeatures f;
    f.sse = f.avx = true;
    f.avx2 = avx2;
    f.avx512f = f.avx512dq = f.avx512bw = f.avx512vl = avx512;
    return f;
}

TEST(CpuFeaturesTest, OverrideTextIsSearchedForSubstrings) {
    CpuFeatures avx2 = ParseCpuFeatureOverride("isa.avx2");
    CpuFeatures expected;
    expected.avx = true;
    expected.avx2 = true;
    EXPECT_EQ(avx2, expected) << "isa.avx2 implies isa.avx and nothing else";

    CpuFeatures avx512 = ParseCpuFeatureOverride("isa.avx512");
    EXPECT_TRUE(avx512.avx && avx512.avx512f && avx512.avx512dq && avx512.avx512bw &&
                avx512.avx512vl);
    EXPECT_FALSE(avx512.avx2) << "isa.avx512 does not contain isa.avx2";
    EXPECT_FALSE(avx512.avx512vpopcntdq);
    EXPECT_FALSE(avx512.sse);

    CpuFeatures all = ParseCpuFeatureOverride("isa.sseisa.avx512isa.avx2");
    EXPECT_TRUE(all.sse && all.avx && all.avx2 && all.avx512f);
    EXPECT_FALSE(all.avx512vpopcntdq);

    EXPECT_EQ(ParseCpuFeatureOverride(""), CpuFeatures{});
    EXPECT_EQ(ParseCpuFeatureOverride("avx2 AVX512 isa.AVX2 isa_avx2"), CpuFeatures{});
}

TEST(CpuFeaturesTest, SelectionPrefersAvx2WithOrWithoutAvx512) {
    EXPECT_EQ(SelectKernelIsa(Features(true, false)), IsaE::avx2);
    // Every AVX-512 processor has AVX2; it must not fall back to scalar.
    EXPECT_EQ(SelectKernelIsa(Features(true, true)), IsaE::avx2);
    EXPECT_EQ(SelectKernelIsa(Features(false, true)), IsaE::scalar);
    EXPECT_EQ(SelectKernelIsa(Features(false, false)), IsaE::scalar);
    EXPECT_EQ(SelectKernelIsa(CpuFeatures{}), IsaE::scalar);
}

TEST(CpuFeaturesTest, SelectionFromOverrideTexts) {
    EXPECT_EQ(SelectKernelIsa(ParseCpuFeatureOverride("isa.avx2")), IsaE::avx2);
    EXPECT_EQ(SelectKernelIsa(ParseCpuFeatureOverride("isa.avx512,isa.avx2")), IsaE::avx2);
    EXPECT_EQ(SelectKernelIsa(ParseCpuFeatureOverride("isa.avx512")), IsaE::scalar);
    EXPECT_EQ(SelectKernelIsa(ParseCpuFeatureOverride("isa.sse,isa.avx")), IsaE::scalar);
    EXPECT_EQ(SelectKernelIsa(ParseCpuFeatureOverride("")), IsaE::scalar);
}

// DetectCpu caches nothing, so the override can be changed between calls.
class DetectCpuTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv(kOverrideCpuFeaturesEnv);
        _hadOld = old != nullptr;
        if (_hadOld) _old = old;
    }
    void TearDown() override {
        if (_hadOld) {
            ::setenv(kOverrideCpuFeaturesEnv, _old.c_str(), 1);
        } else {
            ::unsetenv(kOverrideCpuFeaturesEnv);
        }
    }
    bool _hadOld = false;
    std::string _old;
};

TEST_F(DetectCpuTest, ReadsOverrideOrProcessor) {
    ::setenv(kOverrideCpuFeaturesEnv, "isa.avx2", 1);
    EXPECT_EQ(DetectCpu(), ParseCpuFeatureOverride("isa.avx2"));
    ::setenv(kOverrideCpuFeaturesEnv, "", 1);
    EXPECT_EQ(DetectCpu(), CpuFeatures{}) << "an empty override sets nothing";
    ::unsetenv(kOverrideCpuFeaturesEnv);
    const CpuFeatures real = DetectCpu();
    EXPECT_EQ(real.avx2, __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(real.avx, __builtin_cpu_supports("avx") != 0);
    EXPECT_EQ(real.sse, __builtin_cpu_supports("sse4.2") != 0);
    EXPECT_EQ(real.avx512f, __builtin_cpu_supports("avx512f") != 0);
    EXPECT_EQ(real.avx512vl, __builtin_cpu_supports("avx512vl") != 0);
    EXPECT_EQ(real.avx512vpopcntdq, __builtin_cpu_supports("avx512vpopcntdq") != 0);
    EXPECT_TRUE(real.avx) << "the library is built for processors with AVX";
}

}  // namespace
}  // namespace orvane::isa
