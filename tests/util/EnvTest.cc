#include <gtest/gtest.h>

#include <cstdlib>

#include "util/Env.h"

namespace orvane::util {
namespace {

constexpr const char* kVar = "ORVANE_TEST_ENV_VALUE";

class EnvTest : public ::testing::Test {
  protected:
    void Set(const char* text) { ::setenv(kVar, text, 1); }
    void TearDown() override { ::unsetenv(kVar); }
};

TEST_F(EnvTest, StringUnsetEmptyNameAndEmptyValue) {
    ::unsetenv(kVar);
    auto unset = GetEnvString(kVar);
    ASSERT_FALSE(unset.IsOk());
    EXPECT_EQ(unset.GetStatus().Code(), core::ErrorCode::NotFound);
    EXPECT_EQ(unset.GetStatus().Message(), std::string("Env var not set: ") + kVar);
    auto noName = GetEnvString("");
    ASSERT_FALSE(noName.IsOk());
    EXPECT_EQ(noName.GetStatus().Message(), "Env name is empty");
    Set("");
    auto empty = GetEnvString(kVar);
    ASSERT_TRUE(empty.IsOk());
    EXPECT_EQ(empty.Value(), "");
    EXPECT_EQ(GetEnvStringOr("", "d"), "d");
}

TEST_F(EnvTest, U32Boundaries) {
    Set("4294967295");
    ASSERT_TRUE(GetEnvU32(kVar).IsOk());
    EXPECT_EQ(GetEnvU32(kVar).Value(), 4294967295u);
    Set("4294967296");
    auto over = GetEnvU32(kVar);
    ASSERT_FALSE(over.IsOk());
    EXPECT_EQ(over.GetStatus().Message(), std::string("Env value out of range for ") + kVar);
    EXPECT_EQ(GetEnvU32Or(kVar, 9), 9u);
    for (const char* bad : {"12a", " 12", "12 ", "", "+1", "-1"}) {
        Set(bad);
        auto r = GetEnvU32(kVar);
        ASSERT_FALSE(r.IsOk()) << bad;
        EXPECT_EQ(r.GetStatus().Message(), std::string("Invalid env value for ") + kVar) << bad;
        EXPECT_EQ(r.GetStatus().Code(), core::ErrorCode::InvalidArgument);
    }
    ::unsetenv(kVar);
    EXPECT_EQ(GetEnvU32Or(kVar, 32), 32u);
}

TEST_F(EnvTest, U64AndI64Ranges) {
    Set("18446744073709551615");
    ASSERT_TRUE(GetEnvU64(kVar).IsOk());
    EXPECT_EQ(GetEnvU64(kVar).Value(), 18446744073709551615ull);
    Set("18446744073709551616");
    EXPECT_FALSE(GetEnvU64(kVar).IsOk());
    Set("-5");
    ASSERT_TRUE(GetEnvI64(kVar).IsOk());
    EXPECT_EQ(GetEnvI64(kVar).Value(), -5);
    EXPECT_FALSE(GetEnvU64(kVar).IsOk());
    Set("+5");
    EXPECT_FALSE(GetEnvI64(kVar).IsOk());
    Set("-9223372036854775808");
    ASSERT_TRUE(GetEnvI64(kVar).IsOk());
    EXPECT_EQ(GetEnvI64(kVar).Value(), INT64_MIN);
    Set("9223372036854775808");
    EXPECT_FALSE(GetEnvI64(kVar).IsOk());
    Set("-");
    EXPECT_FALSE(GetEnvI64(kVar).IsOk());
    EXPECT_EQ(GetEnvI64Or(kVar, 3), 3);
}

TEST_F(EnvTest, BoolIsCaseInsensitive) {
    Set("TRUE");
    ASSERT_TRUE(GetEnvBool(kVar).IsOk());
    EXPECT_TRUE(GetEnvBool(kVar).Value());
    Set("0");
    EXPECT_FALSE(GetEnvBool(kVar).Value());
    Set("False");
    EXPECT_FALSE(GetEnvBool(kVar).Value());
    Set("yes");
    auto r = GetEnvBool(kVar);
    ASSERT_FALSE(r.IsOk());
    EXPECT_EQ(r.GetStatus().Message(), std::string("Invalid env value for ") + kVar);
    EXPECT_TRUE(GetEnvBoolOr(kVar, true));
}

}  // namespace
}  // namespace orvane::util
