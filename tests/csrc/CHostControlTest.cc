// The C functions beside the build and search ones: the log's level and destination,
// the check of option keys, and file IO options given with the creation options.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "CHost.h"
#include "telemetry/Logger.h"

namespace orvane::testing {
namespace {

TEST(CHostControlTest, LogLevelSendsLinesToStderrOnly) {
    ErrBuf err;
    struct Case {
        const char* level;
        bool infoShown;
        bool errorShown;
    };
    const Case cases[] = {{"info", true, true},
                          {"warn", false, true},
                          {"off", false, false},
                          {"trace", true, true},
                          {"error", false, true}};
    for (const Case& c : cases) {
        ASSERT_EQ(orvane_set_log_level(c.level, err.data, err.len()), 0) << err.str();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        ORVANE_LOG_INFO("info line for the host");
        ORVANE_LOG_ERROR("error line for the host");
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string errText = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, "") << c.level;
        EXPECT_EQ(errText.find("info line for the host") != std::string::npos, c.infoShown)
            << c.level;
        EXPECT_EQ(errText.find("error line for the host") != std::string::npos, c.errorShown)
            << c.level;
    }
    EXPECT_EQ(orvane_set_log_level("loud", err.data, err.len()), -1);
    EXPECT_EQ(err.str(), "unknown log level 'loud' (trace, debug, info, warn, error or off)");
    EXPECT_EQ(orvane_set_log_level(nullptr, err.data, err.len()), -1);
    ASSERT_EQ(orvane_set_log_level("warn", err.data, err.len()), 0);
}

TEST(CHostControlTest, OptionKeysAreCheckedAgainstTheKindsSchema) {
    struct Case {
        const char* purpose;
        const char* type;
        const char* json;
        const char* error;  // nullptr: accepted
    };
    const Case cases[] = {
        {"builder", "demo", R"({"index.type": "demo", "index.dimension": 4})", nullptr},
        {"builder", "demo", R"({"index.type": "demo", "io.verify_crc": "true"})", nullptr},
        {"builder", "demo", R"({"index.type": "demo", "index.dimenson": 4})",
         "Unknown option key: index.dimenson (the demo builder knows: "},
        {"searcher", "demo", R"({"index.type": "demo", "io.reader.type": "mmap"})", nullptr},
        {"searcher", "demo", R"({"index.type": "demo", "io.verify_crcc": "1"})",
         "Unknown option key: io.verify_crcc (the demo searcher knows: "},
        {"search", "demo", R"({"search.topk": "3"})", nullptr},
        {"search", "demo", R"({"search.nprobe": "3"})",
         "Unknown option key: search.nprobe (the demo search knows: "},
        {"searching", "demo", "{}", "purpose must be builder, searcher or search"},
        {"search", "", "{}", "index type must not be empty"},
    };
    for (const Case& c : cases) {
        ErrBuf err;
        const int rc = orvane_check_option_keys(c.purpose, c.type, c.json, err.data, err.len());
        EXPECT_EQ(rc, c.error == nullptr ? 0 : -1) << c.json;
        if (c.error != nullptr) {
            EXPECT_EQ(err.str().rfind(c.error, 0), 0u) << err.str();
        }
    }
}

TEST(CHostControlTest, IoOptionsReachOpenAndDump) {
    const int dim = 4;
    const std::vector<float> data = RandomVectors(50, dim, 9);
    const std::string path = TempIndexPath("io_options");
    ASSERT_EQ(BuildDemoIndex(data, dim, path), "");
    {
        // Damage one byte of the vector section (the file ends in table and footer).
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(200);
        char byte = 0;
        f.read(&byte, 1);
        byte ^= 0x40;
        f.seekp(200);
        f.write(&byte, 1);
    }
    struct Case {
        const char* io;  // extra creation options
        bool opens;
    };
    const Case cases[] = {{"", true},
                          {R"(, "io.verify_crc": "true")", false},
                          {R"(, "io.verify_crc": "true", "io.reader.type": "mmap")", false},
                          {R"(, "io.reader.type": "tape")", false}};
    for (const Case& c : cases) {
        ErrBuf err;
        const std::string json =
            R"({"index.type": "demo", "index.dimension": 4)" + std::string(c.io) + "}";
        orvane_searcher_handle* s = orvane_searcher_create(json.c_str(), err.data, err.len());
        ASSERT_NE(s, nullptr) << err.str();
        EXPECT_EQ(orvane_searcher_open(s, path.c_str(), err.data, err.len()) == 0, c.opens)
            << json << " " << err.str();
        orvane_searcher_destroy(s);
    }
    std::remove(path.c_str());

    // Builders keep their io keys for dump; a bad one is refused there.
    ErrBuf err;
    orvane_builder_handle* b = orvane_builder_create(
        R"({"index.type": "demo", "index.dimension": 4, "io.reader.type": "tape"})", err.data,
        err.len());
    ASSERT_NE(b, nullptr) << err.str();
    ASSERT_EQ(orvane_builder_pretrain(b, data.data(), 50, 0, err.data, err.len()), 0);
    ASSERT_EQ(orvane_builder_insert(b, data.data(), nullptr, 50, dim, err.data, err.len()), 0);
    EXPECT_EQ(orvane_builder_dump(b, path.c_str(), err.data, err.len()), -1);
    EXPECT_NE(err.str().find("io.reader.type"), std::string::npos) << err.str();
    orvane_builder_destroy(b);
}

}  // namespace
}  // namespace orvane::testing
