#include <gtest/gtest.h>

#include <memory_resource>
#include <string>

#include "orvane/core/MemoryResource.h"
#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "orvane/core/Status.h"

namespace orvane {
namespace {

using api::BuilderOptions;
using core::ErrorCode;
using core::Result;
using core::Status;

TEST(StatusTest, DefaultIsOkWithEmptyMessage) {
    Status def;
    Status ok(ErrorCode::Ok);
    EXPECT_TRUE(def.IsOk());
    EXPECT_TRUE(ok.IsOk());
    EXPECT_FALSE(!def);
    EXPECT_EQ(def.Code(), ok.Code());
    EXPECT_TRUE(def.Message().empty());
    EXPECT_TRUE(Status::Ok().IsOk());
}

TEST(StatusTest, CodesKeepTheirNumericValues) {
    EXPECT_EQ(static_cast<int>(ErrorCode::InvalidArgument), 1);
    EXPECT_EQ(static_cast<int>(ErrorCode::IoError), 5);
    EXPECT_EQ(static_cast<int>(ErrorCode::Corruption), 12);
    EXPECT_EQ(static_cast<int>(ErrorCode::Conflict), 15);
    EXPECT_EQ(static_cast<int>(ErrorCode::FailedPrecondition), 19);
    Status io = Status::IoError("disk gone");
    EXPECT_EQ(io.Code(), ErrorCode::IoError);
    EXPECT_EQ(io.Message(), "disk gone");
    EXPECT_TRUE(!io);
    EXPECT_FALSE(Status::InvalidState().IsOk());
    EXPECT_FALSE(Status::InvalidArgument().IsOk());
}

TEST(ResultTest, HoldsValueOrStatus) {
    Result<std::string> value = std::string("abc");
    ASSERT_TRUE(value.IsOk());
    EXPECT_TRUE(static_cast<bool>(value));
    EXPECT_EQ(value.Value(), "abc");
    EXPECT_EQ(value.TakeValue(), "abc");

    auto err = Result<std::string>::Err(Status(ErrorCode::NotFound, "missing"));
    ASSERT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetStatus().Code(), ErrorCode::NotFound);
    Status taken = err.TakeStatus();
    EXPECT_EQ(taken.Message(), "missing");
}

TEST(OptionsTest, TypedGettersNeverConvert) {
    BuilderOptions options;
    options.Values()["k"] = std::string("3");
    options.Values()["i"] = int64_t{5};
    options.Values()["d"] = 0.5;
    options.Values()["b"] = true;
    EXPECT_EQ(options.GetInt("k", 7), 7);
    EXPECT_EQ(options.GetInt("i", 7), 5);
    EXPECT_EQ(options.GetDouble("i", 1.5), 1.5);
    EXPECT_EQ(options.GetDouble("d", 1.5), 0.5);
    EXPECT_TRUE(options.GetBool("b", false));
    EXPECT_FALSE(options.GetBool("i", false));
    EXPECT_EQ(options.GetString("k", "x"), "3");
    EXPECT_EQ(options.GetString("missing", "x"), "x");
}

TEST(OptionsTest, DebugStringFormatsEachAlternative) {
    EXPECT_EQ(BuilderOptions().DebugString(), "{}");
    EXPECT_EQ(BuilderOptions({{"index.type", std::string("ivf")}}).DebugString(),
              "{\"index.type\":\"ivf\"}");
    EXPECT_EQ(BuilderOptions({{"a", int64_t{-12}}}).DebugString(), "{\"a\":-12}");
    EXPECT_EQ(BuilderOptions({{"a", 1.0 / 3.0}}).DebugString(), "{\"a\":0.333333}");
    EXPECT_EQ(BuilderOptions({{"a", false}}).DebugString(), "{\"a\":false}");
    const std::string two = BuilderOptions({{"a", int64_t{1}}, {"b", true}}).DebugString();
    EXPECT_TRUE(two == "{\"a\":1, \"b\":true}" || two == "{\"b\":true, \"a\":1}") << two;
}

TEST(MemoryResourceTest, NormalizeFillsMissingHandles) {
    auto* def = std::pmr::get_default_resource();
    auto empty = core::Normalize(core::MemoryResourceConfig());
    EXPECT_EQ(empty.storage.get(), def);
    EXPECT_EQ(empty.instant.get(), def);

    std::pmr::monotonic_buffer_resource mine;
    core::MemoryResourceConfig instantOnly;
    instantOnly.instant = core::RefMemoryResource(&mine);
    auto a = core::Normalize(instantOnly);
    EXPECT_EQ(a.storage.get(), def);
    EXPECT_EQ(a.instant.get(), &mine);

    core::MemoryResourceConfig storageOnly;
    storageOnly.storage = core::RefMemoryResource(&mine);
    auto b = core::Normalize(storageOnly);
    EXPECT_EQ(b.storage.get(), &mine);
    EXPECT_EQ(b.instant.get(), &mine);
}

TEST(MemoryResourceTest, RefHandleDoesNotFreeTheResource) {
    auto* res = new std::pmr::monotonic_buffer_resource();
    {
        auto handle = core::RefMemoryResource(res);
        EXPECT_EQ(handle.get(), res);
    }
    // Still usable: the handle's deleter did nothing.
    void* p = res->allocate(16);
    EXPECT_NE(p, nullptr);
    delete res;
}

}  // namespace
}  // namespace orvane
