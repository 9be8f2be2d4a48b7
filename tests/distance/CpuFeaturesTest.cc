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

TEST(CpuFeaturesTest, SelectionPrefersTheWidestLevel) {
    EXPECT_EQ(SelectKernelIsa(Features(true, false)), IsaE::avx2);
    EXPECT_EQ(SelectKernelIsa(Features(true, true)), IsaE::avx512);
    // The AVX-512 kernels use AVX2 instructions too.
    EXPECT_EQ(SelectKernelIsa(Features(false, true)), IsaE::scalar);
    EXPECT_EQ(SelectKernelIsa(Features(false, false)), IsaE::scalar);
    EXPECT_EQ(SelectKernelIsa(CpuFeatures{}), IsaE::scalar);
    // Each of F, DQ, BW and VL is required.
    for (int missing = 0; missing < 4; ++missing) {
        CpuFeatures f = Features(true, true);
        bool* flags[] = {&f.avx512f, &f.avx512dq, &f.avx512bw, &f.avx512vl};
        *flags[missing] = false;
        EXPECT_EQ(SelectKernelIsa(f), IsaE::avx2) << "without AVX-512 flag " << missing;
    }
}

TEST(CpuFeaturesTest, SelectionFromOverrideTexts) {
    EXPECT_EQ(SelectKernelIsa(ParseCpuFeatureOverride("isa.avx2")), IsaE::avx2);
    EXPECT_EQ(SelectKernelIsa(ParseCpuFeatureOverride("isa.avx512,isa.avx2")), IsaE::avx512);
    EXPECT_EQ(SelectKernelIsa(ParseCpuFeatureOverride("isa.avx512")), IsaE::scalar);
    EXPECT_EQ(SelectKernelIsa(ParseCpuFeatureOverride("isa.sse,isa.avx")), IsaE::scalar);
    EXPECT_EQ(SelectKernelIsa(ParseCpuFeatureOverride("")), IsaE::scalar);
}

// A level is only run when the OS saves its register state (XGETBV).
TEST(CpuFeaturesTest, OsSupportClampsTheLevel) {
    struct Case {
        IsaE wanted;
        bool osxsave;
        uint64_t xcr0;
        IsaE expected;
    };
    const Case cases[] = {
        {IsaE::avx512, true, 0xe7, IsaE::avx512},   // x87, SSE, AVX, opmask, ZMM
        {IsaE::avx512, true, 0x2e7, IsaE::avx512},  // extra state bits do not matter
        {IsaE::avx512, true, 0x07, IsaE::avx2},     // no opmask/ZMM state
        {IsaE::avx512, true, 0x27, IsaE::avx2},     // opmask only
        {IsaE::avx512, true, 0x67, IsaE::avx2},     // upper ZMM halves missing
        {IsaE::avx512, true, 0xa7, IsaE::avx2},     // ZMM16-31 missing
        {IsaE::avx512, true, 0xe3, IsaE::scalar},   // no AVX state: neither level
        {IsaE::avx512, false, 0xe7, IsaE::scalar},  // OS does not save extended state
        {IsaE::avx2, true, 0xe7, IsaE::avx2},       // never raised above the wanted level
        {IsaE::avx2, true, 0x03, IsaE::scalar},    {IsaE::avx2, false, 0x07, IsaE::scalar},
        {IsaE::scalar, true, 0xe7, IsaE::scalar},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClampToOsSupport(c.wanted, c.osxsave, c.xcr0), c.expected)
            << "wanted " << static_cast<int>(c.wanted) << " osxsave " << c.osxsave << " xcr0 "
            << std::hex << c.xcr0;
    }
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
    EXPECT_EQ(real.avx512vnni, __builtin_cpu_supports("avx512vnni") != 0);
    EXPECT_EQ(SupportsAvx512Vnni(), real.avx512vnni);
    EXPECT_TRUE(real.avx) << "the library is built for processors with AVX";
}

// The override chooses the level but can never ask for more than the machine
// runs: an AVX-512 override on a processor without it stays at AVX2.
TEST_F(DetectCpuTest, ChosenLevelFollowsOverrideWithinSupport) {
    const IsaE supported = SupportedIsa();
    ::unsetenv(kOverrideCpuFeaturesEnv);
    EXPECT_EQ(ChooseKernelIsa(), supported);
    ::setenv(kOverrideCpuFeaturesEnv, "isa.avx512 isa.avx2", 1);
    EXPECT_EQ(ChooseKernelIsa(), supported == IsaE::avx512 ? IsaE::avx512 : supported);
    ::setenv(kOverrideCpuFeaturesEnv, "isa.avx2", 1);
    EXPECT_EQ(ChooseKernelIsa(), supported == IsaE::scalar ? IsaE::scalar : IsaE::avx2);
    ::setenv(kOverrideCpuFeaturesEnv, "", 1);
    EXPECT_EQ(ChooseKernelIsa(), IsaE::scalar);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl")) {
        // Every current OS enables the AVX-512 state on such processors.
        EXPECT_EQ(supported, IsaE::avx512);
    } else if (__builtin_cpu_supports("avx2")) {
        EXPECT_EQ(supported, IsaE::avx2);
    }
}

}  // namespace
}  // namespace orvane::isa
