#include "../../vecfile/VectorFile.h"

#include <gtest/gtest.h>

#include <numeric>

#include "testing/FileBytes.h"
#include "testing/TempDir.h"
#include "tools/ToolTestUtil.h"

namespace orvane::tools {
namespace {

using testing::TempDir;
using testing::WriteFileBytes;
using testutil::Append;
using testutil::FloatBytes;
using testutil::NpyBytes;

std::vector<float> Iota(size_t n, float start = 0.5f) {
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

// Opening is expected to fail; returns the message.
std::string OpenError(const std::string& path) {
    auto r = VectorFileReader::Open(path);
    EXPECT_FALSE(r.IsOk()) << path;
    return r.IsOk() ? std::string() : r.GetStatus().Message();
}

class VectorFileRoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(VectorFileRoundTrip, WrittenFloatsReadBackByRange) {
    TempDir dir;
    const std::string path = dir.File("v" + GetParam());
    const std::vector<float> data = Iota(7 * 3);
    ASSERT_TRUE(WriteFloatMatrix(path, data.data(), 7, 3).IsOk());
    auto r = VectorFileReader::Open(path);
    ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
    VectorFileReader& reader = r.Value();
    EXPECT_EQ(reader.Rows(), 7u);
    EXPECT_EQ(reader.Dim(), 3u);
    EXPECT_EQ(reader.Element(), ElementType::kFloat32);

    std::vector<float> all(21);
    ASSERT_TRUE(reader.ReadFloats(0, 7, all.data()).IsOk());
    EXPECT_EQ(all, data);
    std::vector<float> middle(2 * 3);
    ASSERT_TRUE(reader.ReadFloats(4, 2, middle.data()).IsOk());
    EXPECT_EQ(middle, std::vector<float>(data.begin() + 12, data.begin() + 18));
    // Reading zero rows at the end is allowed; one row past it is not.
    EXPECT_TRUE(reader.ReadFloats(7, 0, nullptr).IsOk());
    EXPECT_FALSE(reader.ReadFloats(6, 2, all.data()).IsOk());
    // Float data is not handed out as integers.
    std::vector<uint64_t> ids(3);
    EXPECT_FALSE(reader.ReadUInt64(0, 1, ids.data()).IsOk());
    // No temporary file is left beside the written one.
    EXPECT_EQ(dir.List(), std::vector<std::string>{"v" + GetParam()});
}

INSTANTIATE_TEST_SUITE_P(Formats, VectorFileRoundTrip, ::testing::Values(".fvecs", ".fbin", ".npy"),
                         [](const auto& info) { return info.param.substr(1); });

TEST(VectorFileWriteTest, Int32MatrixRoundTripsThroughIvecsAndConvertsToUInt64) {
    TempDir dir;
    const std::vector<int32_t> data = {5, 6, 7, 8, 9, 10};
    for (const char* name : {"t.ivecs", "t.ibin", "t.npy"}) {
        ASSERT_TRUE(WriteInt32Matrix(dir.File(name), data.data(), 3, 2).IsOk()) << name;
        auto r = VectorFileReader::Open(dir.File(name));
        ASSERT_TRUE(r.IsOk()) << name << ": " << r.GetStatus().Message();
        EXPECT_EQ(r.Value().Element(), ElementType::kInt32);
        std::vector<uint64_t> out(6);
        ASSERT_TRUE(r.Value().ReadUInt64(0, 3, out.data()).IsOk());
        EXPECT_EQ(out, (std::vector<uint64_t>{5, 6, 7, 8, 9, 10})) << name;
        std::vector<float> f(2);
        EXPECT_FALSE(r.Value().ReadFloats(0, 1, f.data()).IsOk()) << name;
    }
}

TEST(VectorFileWriteTest, RefusesMismatchedExtension) {
    TempDir dir;
    const float v[2] = {1, 2};
    EXPECT_FALSE(WriteFloatMatrix(dir.File("x.ivecs"), v, 1, 2).IsOk());
    EXPECT_FALSE(WriteFloatMatrix(dir.File("x.txt"), v, 1, 2).IsOk());
    EXPECT_TRUE(dir.List().empty());
}

TEST(VectorFileWriteTest, RefusesRowWidthsTheReaderRefuses) {
    TempDir dir;
    const float v[2] = {1, 2};
    EXPECT_FALSE(WriteFloatMatrix(dir.File("zero.fvecs"), v, 1, 0).IsOk());
    EXPECT_FALSE(WriteFloatMatrix(dir.File("wide.fbin"), v, 0, kMaxVectorFileDim + 1).IsOk());
    EXPECT_TRUE(dir.List().empty());
}

TEST(VectorFileFvecsTest, MalformedFilesAreRefusedWithTheReason) {
    TempDir dir;
    WriteFileBytes(dir.File("empty.fvecs"), "");
    EXPECT_NE(OpenError(dir.File("empty.fvecs")).find("empty file"), std::string::npos);

    std::string rows;
    for (int r = 0; r < 3; ++r) {
        Append<int32_t>(rows, 4);
        rows += FloatBytes(Iota(4, float(r)));
    }
    WriteFileBytes(dir.File("trunc.fvecs"), rows.substr(0, rows.size() - 3));
    EXPECT_NE(OpenError(dir.File("trunc.fvecs")).find("not a multiple of the row size"),
              std::string::npos);

    std::string zeroDim;
    Append<int32_t>(zeroDim, 0);
    WriteFileBytes(dir.File("zero.fvecs"), zeroDim);
    EXPECT_NE(OpenError(dir.File("zero.fvecs")).find("invalid dimension 0"), std::string::npos);

    std::string negative;
    Append<int32_t>(negative, -3);
    negative += FloatBytes(Iota(3));
    WriteFileBytes(dir.File("neg.fvecs"), negative);
    EXPECT_NE(OpenError(dir.File("neg.fvecs")).find("invalid dimension -3"), std::string::npos);
}

TEST(VectorFileFvecsTest, RowWithAnotherDimensionIsFoundWhenRead) {
    // Rows of dimension 2 and a row claiming 3 floats: the size is still a multiple of
    // the first row's size, so only the per-row check can catch it.
    TempDir dir;
    std::string bytes;
    for (int32_t d : {2, 2, 3, 2}) {
        Append<int32_t>(bytes, d);
        bytes += FloatBytes({1.0f, 2.0f});
    }
    WriteFileBytes(dir.File("mixed.fvecs"), bytes);
    auto r = VectorFileReader::Open(dir.File("mixed.fvecs"));
    ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
    std::vector<float> out(8);
    EXPECT_TRUE(r.Value().ReadFloats(0, 2, out.data()).IsOk());
    EXPECT_EQ(out[2], 1.0f);
    EXPECT_EQ(out[3], 2.0f);
    core::Status st = r.Value().ReadFloats(1, 3, out.data());
    ASSERT_FALSE(st.IsOk());
    EXPECT_NE(st.Message().find("row 2 has dimension 3, expected 2"), std::string::npos)
        << st.Message();
}

TEST(VectorFileFbinTest, HeaderMustMatchTheFileSize) {
    TempDir dir;
    std::string good;
    Append<uint32_t>(good, 2);
    Append<uint32_t>(good, 3);
    good += FloatBytes(Iota(6));
    WriteFileBytes(dir.File("short.fbin"), good.substr(0, good.size() - 4));
    EXPECT_NE(OpenError(dir.File("short.fbin")).find("truncated"), std::string::npos);
    WriteFileBytes(dir.File("long.fbin"), good + "xx");
    EXPECT_NE(OpenError(dir.File("long.fbin")).find("trailing bytes"), std::string::npos);
    WriteFileBytes(dir.File("tiny.fbin"), "abc");
    EXPECT_NE(OpenError(dir.File("tiny.fbin")).find("8-byte header"), std::string::npos);

    std::string zeroDim;
    Append<uint32_t>(zeroDim, 5);
    Append<uint32_t>(zeroDim, 0);
    WriteFileBytes(dir.File("zero.fbin"), zeroDim);
    EXPECT_NE(OpenError(dir.File("zero.fbin")).find("invalid dimension 0"), std::string::npos);

    // A huge declared count cannot pass the size check by overflow.
    std::string huge;
    Append<uint32_t>(huge, 0xFFFFFFFFu);
    Append<uint32_t>(huge, 1u << 20);
    WriteFileBytes(dir.File("huge.fbin"), huge);
    EXPECT_NE(OpenError(dir.File("huge.fbin")).find("truncated"), std::string::npos);
}

TEST(VectorFileNpyTest, AcceptsVersionTwoHeadersAndDoubleQuotes) {
    TempDir dir;
    WriteFileBytes(dir.File("v2.npy"),
                   NpyBytes("{\"descr\": \"<f4\", \"fortran_order\": False, \"shape\": (2, 2)}",
                            FloatBytes({1, 2, 3, 4}), 2));
    auto r = VectorFileReader::Open(dir.File("v2.npy"));
    ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
    std::vector<float> out(4);
    ASSERT_TRUE(r.Value().ReadFloats(0, 2, out.data()).IsOk());
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4}));
}

TEST(VectorFileNpyTest, MalformedHeadersAreRefusedWithTheReason) {
    TempDir dir;
    const std::string data = FloatBytes(Iota(4));
    struct Case {
        const char* name;
        std::string bytes;
        const char* expect;
    } cases[] = {
        {"magic.npy", "\x93NUMPX\x01\x00" + std::string("\x10\x00", 2) + std::string(16, ' '),
         "wrong magic"},
        {"dtype.npy", NpyBytes("{'descr': '<f8', 'fortran_order': False, 'shape': (2, 2), }", data),
         "unsupported dtype '<f8'"},
        {"bigendian.npy",
         NpyBytes("{'descr': '>f4', 'fortran_order': False, 'shape': (2, 2), }", data),
         "unsupported dtype '>f4'"},
        {"fortran.npy",
         NpyBytes("{'descr': '<f4', 'fortran_order': True, 'shape': (2, 2), }", data),
         "Fortran-order"},
        {"rank3.npy",
         NpyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (1, 2, 2), }", data),
         "1-D or 2-D"},
        {"short.npy", NpyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (3, 2), }", data),
         "truncated"},
        {"nokey.npy", NpyBytes("{'descr': '<f4', 'shape': (2, 2), }", data), "lacks one of"},
        {"garbage.npy", NpyBytes("[1, 2]", data), "not a dictionary"},
        {"badshape.npy",
         NpyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (2, x), }", data),
         "'shape' is not a tuple"},
        {"overflow.npy",
         NpyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (99999999999999999999, 2), }",
                  data),
         "'shape' is not a tuple"},
        {"version.npy",
         NpyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 2), }", data, 9),
         "format version 9"},
        {"cut.npy", std::string("\x93NUMPY\x01\x00\xff\x00{'descr'", 18), "truncated .npy header"},
    };
    for (const Case& c : cases) {
        WriteFileBytes(dir.File(c.name), c.bytes);
        const std::string msg = OpenError(dir.File(c.name));
        EXPECT_NE(msg.find(c.expect), std::string::npos) << c.name << ": " << msg;
        // Every message names the file.
        EXPECT_NE(msg.find(c.name), std::string::npos) << msg;
    }
}

TEST(VectorFileIdsTest, IntegerFilesConvertAndRefuseNegativeIds) {
    TempDir dir;
    std::string u64;
    for (uint64_t v : {7ull, 1ull << 40, 3ull}) Append<uint64_t>(u64, v);
    WriteFileBytes(dir.File("ids.npy"),
                   NpyBytes("{'descr': '<u8', 'fortran_order': False, 'shape': (3,), }", u64));
    WriteFileBytes(dir.File("ids.bin"), u64);
    for (const char* name : {"ids.npy", "ids.bin"}) {
        auto r = VectorFileReader::Open(dir.File(name));
        ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
        EXPECT_EQ(r.Value().Rows(), 3u);
        EXPECT_EQ(r.Value().Dim(), 1u);
        std::vector<uint64_t> out(2);
        ASSERT_TRUE(r.Value().ReadUInt64(1, 2, out.data()).IsOk());
        EXPECT_EQ(out, (std::vector<uint64_t>{1ull << 40, 3}));
    }

    std::string i64;
    for (int64_t v : {4ll, -1ll}) Append<int64_t>(i64, v);
    WriteFileBytes(dir.File("neg.npy"),
                   NpyBytes("{'descr': '<i8', 'fortran_order': False, 'shape': (2,), }", i64));
    auto neg = VectorFileReader::Open(dir.File("neg.npy"));
    ASSERT_TRUE(neg.IsOk());
    std::vector<uint64_t> out(2);
    EXPECT_TRUE(neg.Value().ReadUInt64(0, 1, out.data()).IsOk());
    EXPECT_EQ(out[0], 4u);
    core::Status st = neg.Value().ReadUInt64(0, 2, out.data());
    ASSERT_FALSE(st.IsOk());
    EXPECT_NE(st.Message().find("negative value -1 in row 1"), std::string::npos) << st.Message();

    WriteFileBytes(dir.File("odd.bin"), u64.substr(0, 12));
    EXPECT_NE(OpenError(dir.File("odd.bin")).find("not a multiple of 8"), std::string::npos);
}

TEST(VectorFileOpenTest, UnknownExtensionsMissingFilesAndDirectoriesAreRefused) {
    TempDir dir;
    WriteFileBytes(dir.File("data.csv"), "1,2\n");
    EXPECT_NE(OpenError(dir.File("data.csv")).find("unknown file type"), std::string::npos);
    EXPECT_NE(OpenError(dir.File("absent.fvecs")).find("cannot open"), std::string::npos);
    std::filesystem::create_directory(dir.File("d.fvecs"));
    EXPECT_NE(OpenError(dir.File("d.fvecs")).find("not a regular file"), std::string::npos);
}

}  // namespace
}  // namespace orvane::tools

namespace orvane::tools {
namespace {

TEST(VectorFileOpenTest, ExtensionIsTakenFromTheLastPathComponent) {
    EXPECT_EQ(FileExtension("a/b/base.fvecs"), ".fvecs");
    EXPECT_EQ(FileExtension("data.v1/base"), "");
    EXPECT_EQ(FileExtension("base"), "");
    EXPECT_EQ(FileExtension("x.tar.npy"), ".npy");
}

}  // namespace
}  // namespace orvane::tools
