// Drives the builder functions of the C interface as a foreign host would.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "csrc/CHost.h"

namespace orvane::testing {
namespace {

TEST(CBuilderTest, CreateFailuresCarryTheLibraryMessage) {
    struct Case {
        const char* json;
        const char* message;
    };
    const Case cases[] = {
        {nullptr, "index.type is required for builder schema selection"},
        {"", "index.type is required for builder schema selection"},
        {R"("index.type": "demo", "index.dimension": 4)",
         "index.type is required for builder schema selection"},
        {R"({"index.type": "demo"})", "Missing required option: index.dimension"},
        {R"({"index.type": "demo", "index.dimension": "12abc"})",
         "Invalid int value for index.dimension"},
        {R"({"index.type": "demo", "index.dimension": 0})", "Option index.dimension must be > 0"},
        {R"({"index.type": "demo", "index.dimension": })", "Option index.dimension must be > 0"},
        {R"({"index.type": "nope", "index.dimension": 4})",
         "Option index.type has unsupported value: nope (one of demo, bruteforce, ivf, diskann)"},
        {R"({"index.type": "demo", "index.dimension": 4, "pretrain.sample_ratio": 0})",
         "Option pretrain.sample_ratio must be in (0,1]"},
    };
    for (const Case& c : cases) {
        ErrBuf err;
        orvane_builder_handle* b = orvane_builder_create(c.json, err.data, err.len());
        EXPECT_EQ(b, nullptr) << (c.json ? c.json : "(null)");
        EXPECT_EQ(err.str(), c.message) << (c.json ? c.json : "(null)");
        orvane_builder_destroy(b);
    }
}

TEST(CBuilderTest, QuotedAndBareOptionsBothCreate) {
    for (const char* json : {R"({"index.type":"demo","index.dimension":"4"})",
                             R"({"index.type": "demo", "index.dimension": 4})"}) {
        ErrBuf err;
        orvane_builder_handle* b = orvane_builder_create(json, err.data, err.len());
        ASSERT_NE(b, nullptr) << err.str();
        EXPECT_EQ(err.str(), "");
        orvane_builder_destroy(b);
    }
}

TEST(CBuilderTest, ErrorBufferLengths) {
    const std::string full = "index.type is required for builder schema selection";
    {
        // Length 0: nothing is written.
        char buf[8];
        std::memset(buf, 'x', sizeof(buf));
        EXPECT_EQ(orvane_builder_create("{}", buf, 0), nullptr);
        EXPECT_EQ(std::string(buf, sizeof(buf)), std::string(8, 'x'));
        EXPECT_EQ(orvane_builder_create("{}", buf, -5), nullptr);
        EXPECT_EQ(std::string(buf, sizeof(buf)), std::string(8, 'x'));
    }
    {
        // Length 1: only the terminating zero byte.
        char buf[8];
        std::memset(buf, 'x', sizeof(buf));
        EXPECT_EQ(orvane_builder_create("{}", buf, 1), nullptr);
        EXPECT_EQ(buf[0], '\0');
        EXPECT_EQ(std::string(buf + 1, 7), std::string(7, 'x'));
    }
    {
        // Shorter than the message: len-1 characters and a zero byte, nothing beyond.
        char buf[8];
        std::memset(buf, 'x', sizeof(buf));
        EXPECT_EQ(orvane_builder_create("{}", buf, 6), nullptr);
        EXPECT_EQ(std::string(buf), full.substr(0, 5));
        EXPECT_EQ(buf[5], '\0');
        EXPECT_EQ(buf[6], 'x');
        EXPECT_EQ(buf[7], 'x');
    }
    {
        // Larger: the whole message, zero-padded to the end of the buffer.
        char buf[96];
        std::memset(buf, 'x', sizeof(buf));
        EXPECT_EQ(orvane_builder_create("{}", buf, sizeof(buf)), nullptr);
        EXPECT_EQ(std::string(buf), full);
        for (size_t i = full.size(); i < sizeof(buf); ++i) ASSERT_EQ(buf[i], '\0') << i;
    }
    {
        // Exactly the message length plus its zero byte.
        std::vector<char> buf(full.size() + 1, 'x');
        EXPECT_EQ(orvane_builder_create("{}", buf.data(), static_cast<int>(buf.size())), nullptr);
        EXPECT_EQ(std::string(buf.data()), full);
    }
    // A null buffer with any length is never touched.
    EXPECT_EQ(orvane_builder_create("{}", nullptr, 64), nullptr);
    EXPECT_EQ(orvane_builder_pretrain(nullptr, nullptr, 0, 0, nullptr, 64), -1);
}

TEST(CBuilderTest, NullHandleIsRefusedEverywhere) {
    ErrBuf err;
    const float v[4] = {0, 0, 0, 0};
    EXPECT_EQ(orvane_builder_pretrain(nullptr, v, 1, 0, err.data, err.len()), -1);
    EXPECT_EQ(err.str(), "Invalid builder handle");
    ErrBuf err2;
    EXPECT_EQ(orvane_builder_insert(nullptr, v, nullptr, 1, 4, err2.data, err2.len()), -1);
    EXPECT_EQ(err2.str(), "Invalid builder handle");
    ErrBuf err3;
    EXPECT_EQ(orvane_builder_dump(nullptr, "/tmp/x", err3.data, err3.len()), -1);
    EXPECT_EQ(err3.str(), "Invalid builder handle");
    orvane_builder_destroy(nullptr);
}

class CBuilderLifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        _builder = orvane_builder_create(DemoOptions(kDim).c_str(), _err.data, _err.len());
        ASSERT_NE(_builder, nullptr) << _err.str();
    }
    void TearDown() override { orvane_builder_destroy(_builder); }

    static constexpr int kDim = 4;
    orvane_builder_handle* _builder = nullptr;
    ErrBuf _err;
};

TEST_F(CBuilderLifecycleTest, PretrainArgumentChecks) {
    const std::vector<float> data = RandomVectors(3, kDim, 1);
    EXPECT_EQ(orvane_builder_pretrain(_builder, nullptr, 3, 0, _err.data, _err.len()), -1);
    EXPECT_EQ(_err.str(), "data must not be null");
    EXPECT_EQ(orvane_builder_pretrain(_builder, data.data(), 0, 0, _err.data, _err.len()), -1);
    EXPECT_EQ(_err.str(), "total count must be > 0");
    // Refusals leave the builder usable.
    EXPECT_EQ(orvane_builder_pretrain(_builder, data.data(), 3, 12345, _err.data, _err.len()), 0);
    EXPECT_EQ(orvane_builder_pretrain(_builder, data.data(), 3, 0, _err.data, _err.len()), -1);
    EXPECT_EQ(_err.str(), "Pretrain can only be called once.");
}

TEST_F(CBuilderLifecycleTest, InsertArgumentChecks) {
    const std::vector<float> data = RandomVectors(3, kDim, 2);
    EXPECT_EQ(orvane_builder_insert(_builder, data.data(), nullptr, 3, kDim, _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(),
              "Insert must be called after training is complete (or not needed) and can only be "
              "called once.");
    ASSERT_EQ(orvane_builder_pretrain(_builder, data.data(), 3, 0, _err.data, _err.len()), 0);

    EXPECT_EQ(orvane_builder_insert(_builder, nullptr, nullptr, 3, kDim, _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "data must not be null");
    EXPECT_EQ(orvane_builder_insert(_builder, data.data(), nullptr, 3, -1, _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "dim must not be negative");
    EXPECT_EQ(
        orvane_builder_insert(_builder, data.data(), nullptr, 3, kDim + 1, _err.data, _err.len()),
        -1);
    EXPECT_EQ(_err.str(), "Dataset dimension does not match index dimension");
    EXPECT_EQ(orvane_builder_insert(_builder, data.data(), nullptr, 0, kDim, _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "Dataset total count must be > 0");

    // After every refusal the one real insert still goes through.
    const std::vector<uint64_t> ids{7, 8, 9};
    EXPECT_EQ(
        orvane_builder_insert(_builder, data.data(), ids.data(), 3, kDim, _err.data, _err.len()),
        0);
}

TEST_F(CBuilderLifecycleTest, DumpArgumentChecks) {
    const std::string path = TempIndexPath("dump_checks");
    EXPECT_EQ(orvane_builder_dump(_builder, nullptr, _err.data, _err.len()), -1);
    EXPECT_EQ(_err.str(), "path must not be null");
    EXPECT_EQ(orvane_builder_dump(_builder, path.c_str(), _err.data, _err.len()), -1);
    EXPECT_EQ(_err.str(),
              "Dump must be called after data has been injected.: no data was inserted");

    const std::vector<float> data = RandomVectors(3, kDim, 3);
    ASSERT_EQ(orvane_builder_pretrain(_builder, data.data(), 3, 0, _err.data, _err.len()), 0);
    ASSERT_EQ(orvane_builder_insert(_builder, data.data(), nullptr, 3, kDim, _err.data, _err.len()),
              0);
    EXPECT_EQ(orvane_builder_dump(_builder, nullptr, _err.data, _err.len()), -1);
    EXPECT_EQ(_err.str(), "path must not be null");
    ASSERT_EQ(orvane_builder_dump(_builder, path.c_str(), _err.data, _err.len()), 0) << _err.str();
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace orvane::testing
