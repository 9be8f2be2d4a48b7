#include "coro/Try.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace orvane::coro {
namespace {

TEST(TryTest, HoldsValueOrException) {
    Try<std::string> empty;
    EXPECT_FALSE(empty.available());
    EXPECT_THROW(empty.value(), std::logic_error);

    Try<std::string> value(std::string("abc"));
    EXPECT_TRUE(value.hasValue());
    EXPECT_FALSE(value.hasError());
    EXPECT_EQ(value.exception(), nullptr);
    EXPECT_EQ(value.value(), "abc");
    std::string moved = std::move(value).value();
    EXPECT_EQ(moved, "abc");

    Try<std::string> error(std::make_exception_ptr(std::runtime_error("bad")));
    EXPECT_TRUE(error.hasError());
    EXPECT_FALSE(error.hasValue());
    EXPECT_NE(error.exception(), nullptr);
    EXPECT_THROW(error.value(), std::runtime_error);

    error.setValue("fixed");
    EXPECT_EQ(error.value(), "fixed");
}

TEST(TryTest, MoveOnlyValues) {
    Try<std::unique_ptr<int>> t(std::make_unique<int>(7));
    std::unique_ptr<int> p = std::move(t).value();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, 7);
}

TEST(TryTest, VoidTry) {
    Try<void> empty;
    EXPECT_FALSE(empty.available());
    EXPECT_THROW(empty.value(), std::logic_error);
    Try<void> done = Try<void>::Done();
    EXPECT_TRUE(done.hasValue());
    EXPECT_NO_THROW(done.value());
    Try<void> failed(std::make_exception_ptr(std::out_of_range("x")));
    EXPECT_TRUE(failed.hasError());
    EXPECT_THROW(failed.value(), std::out_of_range);
    failed.setValue();
    EXPECT_FALSE(failed.hasError());
}

}  // namespace
}  // namespace orvane::coro
