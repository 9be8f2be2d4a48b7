#include "../../tools/FileDataset.h"

#include <gtest/gtest.h>

#include "ToolTestUtil.h"
#include "testing/FileBytes.h"
#include "testing/TempDir.h"

namespace orvane::tools {
namespace {

using testing::TempDir;
using testing::WriteFileBytes;
using testutil::Append;
using testutil::NpyBytes;

class FileDatasetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (uint32_t i = 0; i < kRows * kDim; ++i) _data.push_back(static_cast<float>(i));
        ASSERT_TRUE(WriteFloatMatrix(_dir.File("v.fvecs"), _data.data(), kRows, kDim).IsOk());
    }
    VectorFileReader Open(const std::string& name) {
        auto r = VectorFileReader::Open(_dir.File(name));
        EXPECT_TRUE(r.IsOk()) << r.GetStatus().Message();
        return r.TakeValue();
    }
    // Drains the dataset, checking the Dataset contract on every batch.
    void Drain(FileDataset& ds, std::vector<float>* vectors, std::vector<uint64_t>* ids,
               std::vector<uint64_t>* batchSizes) {
        std::vector<float> v;
        std::vector<uint64_t> i;
        while (true) {
            auto n = ds.GetNextBatch(v, i);
            ASSERT_TRUE(n.IsOk()) << n.GetStatus().Message();
            ASSERT_EQ(v.size(), n.Value() * ds.Dim());
            ASSERT_EQ(i.size(), n.Value());
            if (n.Value() == 0) break;
            batchSizes->push_back(n.Value());
            vectors->insert(vectors->end(), v.begin(), v.end());
            ids->insert(ids->end(), i.begin(), i.end());
        }
    }

    static constexpr uint32_t kRows = 10;
    static constexpr uint32_t kDim = 3;
    TempDir _dir;
    std::vector<float> _data;
};

TEST_F(FileDatasetTest, DeliversEveryRowInBatchesWithPositionIds) {
    auto ds = FileDataset::Create(Open("v.fvecs"), std::nullopt, 4);
    ASSERT_TRUE(ds.IsOk());
    EXPECT_EQ(ds.Value().Dim(), kDim);
    EXPECT_EQ(ds.Value().TotalSize(), kRows);
    std::vector<uint64_t> progress;
    ds.Value().SetProgress([&](uint64_t done) { progress.push_back(done); });
    std::vector<float> vectors;
    std::vector<uint64_t> ids, batches;
    Drain(ds.Value(), &vectors, &ids, &batches);
    EXPECT_EQ(vectors, _data);
    EXPECT_EQ(ids, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(batches, (std::vector<uint64_t>{4, 4, 2}));
    EXPECT_EQ(progress, (std::vector<uint64_t>{4, 8, 10}));

    // A second pass after Rewind sees the same rows again.
    ds.Value().Rewind();
    std::vector<float> again;
    std::vector<uint64_t> ids2, batches2;
    Drain(ds.Value(), &again, &ids2, &batches2);
    EXPECT_EQ(again, _data);
}

TEST_F(FileDatasetTest, TakesIdsFromAnIdFile) {
    std::string bytes;
    for (uint64_t i = 0; i < kRows; ++i) Append<uint64_t>(bytes, 1000 + 7 * i);
    WriteFileBytes(_dir.File("ids.bin"), bytes);
    auto ds = FileDataset::Create(Open("v.fvecs"), Open("ids.bin"), 3);
    ASSERT_TRUE(ds.IsOk()) << ds.GetStatus().Message();
    std::vector<float> vectors;
    std::vector<uint64_t> ids, batches;
    Drain(ds.Value(), &vectors, &ids, &batches);
    ASSERT_EQ(ids.size(), kRows);
    for (uint64_t i = 0; i < kRows; ++i) EXPECT_EQ(ids[i], 1000 + 7 * i);
}

TEST_F(FileDatasetTest, RefusesIdFilesThatDoNotFitTheVectors) {
    std::string nine;
    for (uint64_t i = 0; i < kRows - 1; ++i) Append<uint64_t>(nine, i);
    WriteFileBytes(_dir.File("nine.bin"), nine);
    auto ds = FileDataset::Create(Open("v.fvecs"), Open("nine.bin"), 0);
    ASSERT_FALSE(ds.IsOk());
    EXPECT_NE(ds.GetStatus().Message().find("has 9 ids but"), std::string::npos);

    // Float data or two columns cannot be row ids.
    auto floats = FileDataset::Create(Open("v.fvecs"), Open("v.fvecs"), 0);
    ASSERT_FALSE(floats.IsOk());
    EXPECT_NE(floats.GetStatus().Message().find("integer row ids are needed"), std::string::npos);
    std::string twoCols;
    for (uint64_t i = 0; i < 2 * kRows; ++i) Append<uint64_t>(twoCols, i);
    WriteFileBytes(
        _dir.File("two.npy"),
        NpyBytes("{'descr': '<u8', 'fortran_order': False, 'shape': (10, 2), }", twoCols));
    auto two = FileDataset::Create(Open("v.fvecs"), Open("two.npy"), 0);
    ASSERT_FALSE(two.IsOk());
    EXPECT_NE(two.GetStatus().Message().find("row ids need exactly one"), std::string::npos);
}

TEST_F(FileDatasetTest, RefusesIntegerVectorsAndReportsBadRowsFromGetNextBatch) {
    const std::vector<int32_t> ints(6, 1);
    ASSERT_TRUE(WriteInt32Matrix(_dir.File("i.ivecs"), ints.data(), 2, 3).IsOk());
    EXPECT_FALSE(FileDataset::Create(Open("i.ivecs"), std::nullopt, 0).IsOk());

    // The 3rd row claims dimension 4: the batch holding it fails, earlier ones work.
    std::string bytes;
    for (int32_t d : {3, 3, 4, 3}) {
        Append<int32_t>(bytes, d);
        for (int j = 0; j < 3; ++j) Append<float>(bytes, 1.0f);
    }
    WriteFileBytes(_dir.File("bad.fvecs"), bytes);
    auto ds = FileDataset::Create(Open("bad.fvecs"), std::nullopt, 2);
    ASSERT_TRUE(ds.IsOk());
    std::vector<float> v;
    std::vector<uint64_t> i;
    EXPECT_TRUE(ds.Value().GetNextBatch(v, i).IsOk());
    auto failed = ds.Value().GetNextBatch(v, i);
    ASSERT_FALSE(failed.IsOk());
    EXPECT_NE(failed.GetStatus().Message().find("row 2 has dimension 4"), std::string::npos);
}

TEST(FileDatasetBatchTest, DefaultBatchIsAboutFourMebibytes) {
    EXPECT_EQ(FileDataset::DefaultBatchRows(1024), 1024u);
    EXPECT_EQ(FileDataset::DefaultBatchRows(0), (4u << 20) / 4);
    EXPECT_EQ(FileDataset::DefaultBatchRows(2u << 20), 1u);
}

}  // namespace
}  // namespace orvane::tools
