// The C functions that describe index files and move them as byte buffers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CHost.h"

namespace orvane::testing {
namespace {

constexpr int kDim = 8;
constexpr uint64_t kRows = 40;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The text describe returned (freed here), or "ERROR: message".
std::string Described(char* json, const ErrBuf& err) {
    if (json == nullptr) return "ERROR: " + err.str();
    std::string out(json);
    orvane_free(json);
    return out;
}

// The message orvane_searcher_open gives for the file, or "" when it opens.
std::string OpenMessage(const std::string& path) {
    ErrBuf err;
    orvane_searcher_handle* s =
        orvane_searcher_create(DemoOptions(kDim).c_str(), err.data, err.len());
    EXPECT_NE(s, nullptr) << err.str();
    const int rc = orvane_searcher_open(s, path.c_str(), err.data, err.len());
    orvane_searcher_destroy(s);
    return rc == 0 ? "" : err.str();
}

class CDescribeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        data_ = RandomVectors(kRows, kDim, 5);
        ASSERT_EQ(BuildDemoIndex(data_, kDim, path_), "");
    }
    // The files of a run are named after its process, so each run would
    // otherwise leave its own behind in the temp directory.
    void TearDown() override {
        for (const char* name : {"describe", "describe_bad", "describe_fifo"}) {
            ::unlink(TempIndexPath(name).c_str());
        }
    }
    std::vector<float> data_;
    std::string path_ = TempIndexPath("describe");
};

TEST_F(CDescribeTest, DescribesFileAndBufferAlike) {
    ErrBuf err;
    const std::string file =
        Described(orvane_describe(path_.c_str(), nullptr, err.data, err.len()), err);
    const std::string image = ReadAll(path_);
    const std::string buffer = Described(
        orvane_describe_buffer(image.data(), image.size(), "{}", err.data, err.len()), err);
    EXPECT_EQ(file, buffer);
    for (const std::string& want :
         {std::string("\"kind\": \"demo\""), std::string("\"rows\": 40"), std::string("\"dim\": 8"),
          "\"file_size\": " + std::to_string(image.size()), std::string("\"ids_stored\": false"),
          std::string("\"format_version\": 0"),
          std::string("\"sections\": [\"demo.section.meta\"")}) {
        EXPECT_NE(file.find(want), std::string::npos) << want << " in " << file;
    }
}

TEST_F(CDescribeTest, BadFilesFailWithTheMessageOpenGives) {
    const std::string image = ReadAll(path_);
    const std::string bad = TempIndexPath("describe_bad");
    const std::string fifo = TempIndexPath("describe_fifo");
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string badMagic = image;
    badMagic[8] = static_cast<char>(badMagic[8] ^ 0x5a);
    struct Case {
        const char* name;
        std::string path;
        std::string bytes;  // written to path when `write`
        bool write;
    };
    const Case cases[] = {
        {"missing", TempIndexPath("describe_missing"), "", false},
        {"empty", bad, "", true},
        {"truncated", bad, image.substr(0, image.size() / 2), true},
        {"garbage", bad, std::string(300, 'x'), true},
        {"bad magic", bad, badMagic, true},
        {"directory", ::testing::TempDir(), "", false},
        {"fifo without a writer", fifo, "", false},
    };
    for (const Case& c : cases) {
        if (c.write) WriteAll(c.path, c.bytes);
        SCOPED_TRACE(c.name);
        ErrBuf err;
        const std::string got =
            Described(orvane_describe(c.path.c_str(), nullptr, err.data, err.len()), err);
        const std::string opened = OpenMessage(c.path);
        EXPECT_FALSE(opened.empty()) << c.name;
        EXPECT_EQ(got, "ERROR: " + opened) << c.name;
        if (c.write) {
            ErrBuf berr;
            EXPECT_EQ(orvane_describe_buffer(c.bytes.data(), c.bytes.size(), nullptr, berr.data,
                                             berr.len()),
                      nullptr)
                << c.name;
            EXPECT_FALSE(berr.str().empty()) << c.name;
        }
    }
    ::unlink(fifo.c_str());
}

TEST_F(CDescribeTest, DumpToBufferOpensWithIdenticalResults) {
    ErrBuf err;
    orvane_builder_handle* b =
        orvane_builder_create(DemoOptions(kDim).c_str(), err.data, err.len());
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(orvane_builder_pretrain(b, data_.data(), kRows, 0, err.data, err.len()), 0);
    ASSERT_EQ(orvane_builder_insert(b, data_.data(), nullptr, kRows, kDim, err.data, err.len()), 0);
    char* image = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(orvane_builder_dump_buffer(b, &image, &size, err.data, err.len()), 0) << err.str();
    orvane_builder_destroy(b);
    EXPECT_EQ(std::string(image, size), ReadAll(path_));  // the file format, unchanged

    auto searchAll = [&](bool fromBuffer) {
        orvane_searcher_handle* s =
            orvane_searcher_create(DemoOptions(kDim).c_str(), err.data, err.len());
        const int rc = fromBuffer ? orvane_searcher_open_buffer(s, image, size, err.data, err.len())
                                  : orvane_searcher_open(s, path_.c_str(), err.data, err.len());
        EXPECT_EQ(rc, 0) << err.str();
        std::vector<float> d(kRows * 3);
        std::vector<uint64_t> ids(kRows * 3);
        EXPECT_EQ(orvane_searcher_search(s, data_.data(), kRows, 3, d.data(), ids.data(), nullptr,
                                         err.data, err.len()),
                  0);
        orvane_searcher_destroy(s);
        return std::make_pair(d, ids);
    };
    EXPECT_EQ(searchAll(true), searchAll(false));
    orvane_free(image);
}

TEST(CDescribeArgsTest, RefusesNullAndEmptyArguments) {
    ErrBuf err;
    EXPECT_EQ(orvane_describe(nullptr, nullptr, err.data, err.len()), nullptr);
    EXPECT_EQ(err.str(), "path must not be null");
    EXPECT_EQ(orvane_describe_buffer(nullptr, 5, nullptr, err.data, err.len()), nullptr);
    EXPECT_EQ(err.str(), "data must not be null");
    EXPECT_EQ(orvane_describe_buffer(nullptr, 0, nullptr, err.data, err.len()), nullptr);
    EXPECT_NE(err.str(), "");
    EXPECT_EQ(orvane_searcher_open_buffer(nullptr, "", 0, err.data, err.len()), -1);
    EXPECT_EQ(err.str(), "Invalid searcher handle");
    EXPECT_EQ(orvane_builder_dump_buffer(nullptr, nullptr, nullptr, err.data, err.len()), -1);
    EXPECT_EQ(err.str(), "Invalid builder handle");
    EXPECT_EQ(orvane_describe(::testing::TempDir().c_str(), nullptr, err.data, err.len()), nullptr);
    EXPECT_NE(err.str(), "");
}

TEST(CDescribeArgsTest, VersionIsTheProjectVersion) {
    EXPECT_STREQ(orvane_version(), ORVANE_TEST_PROJECT_VERSION);
}

}  // namespace
}  // namespace orvane::testing
