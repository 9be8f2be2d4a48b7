// Vectors with NaN or infinite components or a squared norm beyond the float
// range, the padding id 2^64 - 1 and duplicate ids are refused at every entry of
// the builder that takes them, naming the row; a dump that fails in the file writer leaves the
// build ready for another dump.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "orvane/io/FileWriter.h"
#include "testing/TempDir.h"
#include "testing/VectorDataset.h"

namespace orvane::api {
namespace {

using core::ErrorCode;
using core::Status;

constexpr uint32_t kDim = 4;
constexpr uint64_t kRows = 40;

BuilderOptions DemoOptions() {
    return BuilderOptions{{"index.dimension", int64_t{kDim}}, {"index.type", std::string("demo")}};
}

std::vector<float> Rows(uint64_t n) {
    std::vector<float> v(n * kDim);
    for (uint64_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i % 7) - 3.0f;
    return v;
}

std::vector<uint64_t> Ids(uint64_t n) {
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) ids[i] = i;
    return ids;
}

enum class Entry { kPretrain, kPretrainFrom, kInsertBatch, kInsertFrom };

struct BadRowCase {
    const char* name;
    Entry entry;
    uint64_t row;
    float value;  // written into the row unless NaN-free ids are the point
    uint64_t id;  // given to the row when not 0
    std::string message;
};

class BadRowTest : public ::testing::TestWithParam<BadRowCase> {};

TEST_P(BadRowTest, IsRefusedNamingTheRow) {
    const BadRowCase& c = GetParam();
    std::vector<float> data = Rows(kRows);
    std::vector<uint64_t> ids = Ids(kRows);
    if (c.id != 0) {
        ids[c.row] = c.id;
    } else {
        data[c.row * kDim + 2] = c.value;
    }
    auto created = OrvaneBuilder::Create(DemoOptions());
    ASSERT_TRUE(created.IsOk());
    OrvaneBuilder& b = created.Value();
    // Small batches, so the bad row sits in a later batch than the first.
    testing::VectorDataset dataset(data, kDim, 16);
    dataset.SetIds(ids);
    Status st;
    switch (c.entry) {
        case Entry::kPretrain:
            st = b.Pretrain(data.data(), kRows);
            break;
        case Entry::kPretrainFrom:
            st = b.PretrainFrom(dataset);
            break;
        case Entry::kInsertBatch:
            ASSERT_TRUE(b.Pretrain(Rows(2).data(), 2).IsOk());
            st = b.InsertBatch(data.data(), ids.data(), kRows);
            break;
        case Entry::kInsertFrom:
            ASSERT_TRUE(b.Pretrain(Rows(2).data(), 2).IsOk());
            st = b.InsertFrom(dataset);
            break;
    }
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), c.message);
    EXPECT_NE(b.GetStatus(), BuilderStatus::DataInjected);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr uint64_t kPaddingId = std::numeric_limits<uint64_t>::max();

std::string NonFinite(uint64_t row) {
    return "Vector at row [" + std::to_string(row) + "] holds a NaN or infinite value";
}
std::string HugeNorm(uint64_t row) {
    return "Vector at row [" + std::to_string(row) + "] has a squared norm beyond the float range";
}
std::string Padding(uint64_t row) {
    return "Row id at row [" + std::to_string(row) +
           "] is 18446744073709551615, the id of a missing hit";
}

INSTANTIATE_TEST_SUITE_P(
    Entries, BadRowTest,
    ::testing::Values(
        BadRowCase{"PretrainNaN", Entry::kPretrain, 5, kNaN, 0, NonFinite(5)},
        BadRowCase{"PretrainFromInf", Entry::kPretrainFrom, 21, -kInf, 0, NonFinite(21)},
        BadRowCase{"InsertBatchNaN", Entry::kInsertBatch, 0, kNaN, 0, NonFinite(0)},
        BadRowCase{"InsertBatchInf", Entry::kInsertBatch, 39, kInf, 0, NonFinite(39)},
        BadRowCase{"InsertFromNaN", Entry::kInsertFrom, 33, kNaN, 0, NonFinite(33)},
        // 1e30 is finite, but its square is not a float: every distance would be inf.
        BadRowCase{"PretrainHugeNorm", Entry::kPretrain, 7, 1e30f, 0, HugeNorm(7)},
        BadRowCase{"InsertBatchHugeNorm", Entry::kInsertBatch, 3, -2e19f, 0, HugeNorm(3)},
        BadRowCase{"InsertFromHugeNorm", Entry::kInsertFrom, 30, 1e30f, 0, HugeNorm(30)},
        BadRowCase{"InsertBatchPaddingId", Entry::kInsertBatch, 12, 0, kPaddingId, Padding(12)},
        BadRowCase{"InsertFromPaddingId", Entry::kInsertFrom, 35, 0, kPaddingId, Padding(35)},
        // Row 20's id becomes 4, the id of row 4 (batches of 16: another batch).
        BadRowCase{"InsertBatchDuplicateId", Entry::kInsertBatch, 20, 0, 4,
                   "Row id [4] appears twice: at row [4] and row [20]"},
        BadRowCase{"InsertFromDuplicateId", Entry::kInsertFrom, 20, 0, 4,
                   "Row id [4] appears twice: at row [4] and row [20]"}),
    [](const auto& info) { return std::string(info.param.name); });

// Why a quantizer cannot be made reaches the caller behind the back end's
// fixed text instead of only the log.
TEST(BuilderQuantizerCauseTest, TheReasonIsAppended) {
    struct Case {
        const char* kind;
        const char* metric;
        const char* message;
    };
    const std::string chunks =
        ": Invalid numChunks [8] for PQ encoding, must be > 0 and <= dimension [4].";
    const std::string cosine =
        ": the cosine metric is not supported with pq encoding; use sq8 or rawf32, or normalise "
        "the vectors and use inner_product";
    const Case cases[] = {{"bruteforce", "l2", "Failed to CreateQuantizerTrainer"},
                          {"diskann", "l2", "Failed to CreateQuantizerTrainer"},
                          {"ivf", "l2", "failed to create quantizer trainer"},
                          {"bruteforce", "cosine", "Failed to CreateQuantizerTrainer"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.metric);
        auto created =
            OrvaneBuilder::Create(BuilderOptions{{"index.dimension", int64_t{kDim}},
                                                 {"index.type", std::string(c.kind)},
                                                 {"distance.metric", std::string(c.metric)},
                                                 {"encoding.type", std::string("pq")},
                                                 {"encoding.pq.m", int64_t{8}},
                                                 {"ivf.build.num_lists", int64_t{2}}});
        ASSERT_FALSE(created.IsOk());
        const bool isCosine = std::string(c.metric) == "cosine";
        EXPECT_EQ(created.GetStatus().Message(), c.message + (isCosine ? cosine : chunks));
    }
}

// A writer that accepts `budget` bytes and then fails like a full disk.
class FullDiskWriter : public io::FileWriter {
  public:
    explicit FullDiskWriter(uint64_t budget) : _budget(budget) {}
    Status Write(const char*, uint64_t size) override {
        if (_written + size > _budget) return Status(ErrorCode::IoError, "No space left on device");
        _written += size;
        return Status::Ok();
    }
    Status Close() override { return Status::Ok(); }
    core::Result<uint64_t> GetLength() override { return _written; }

  private:
    uint64_t _budget;
    uint64_t _written = 0;
};

TEST(BuilderDumpRetryTest, WriterFailureKeepsTheBuildForAnotherDump) {
    testing::TempDir dir;
    const std::vector<float> data = Rows(kRows);
    const std::vector<uint64_t> ids = Ids(kRows);
    auto created = OrvaneBuilder::Create(DemoOptions());
    ASSERT_TRUE(created.IsOk());
    OrvaneBuilder& b = created.Value();
    ASSERT_TRUE(b.Pretrain(data.data(), kRows).IsOk());
    ASSERT_TRUE(b.InsertBatch(data.data(), ids.data(), kRows).IsOk());

    // Fails in the header, in the vector section and in the section table.
    for (uint64_t budget : {uint64_t{10}, uint64_t{300}, uint64_t{900}}) {
        Status st = b.Dump(std::make_unique<FullDiskWriter>(budget), IOOptions());
        EXPECT_EQ(st.Code(), ErrorCode::IoError) << budget;
        EXPECT_EQ(b.GetStatus(), BuilderStatus::DataInjected) << budget;
    }
    // A directory where the file should be: the writer cannot even open it.
    std::filesystem::create_directories(dir.File("taken.idx"));
    EXPECT_FALSE(b.Dump(IOOptions{{"index.path", dir.File("taken.idx")}}).IsOk());
    EXPECT_EQ(b.GetStatus(), BuilderStatus::DataInjected);

    const std::string path = dir.File("retry.idx");
    ASSERT_TRUE(b.Dump(IOOptions{{"index.path", path}}).IsOk());
    EXPECT_EQ(b.GetStatus(), BuilderStatus::Dumped);

    auto searcher = OrvaneSearcher::Create(
        SearcherOptions{{"index.dimension", int64_t{kDim}}, {"index.type", std::string("demo")}});
    ASSERT_TRUE(searcher.IsOk());
    ASSERT_TRUE(searcher.Value().Open(IOOptions{{"index.path", path}}).IsOk());
    EXPECT_EQ(searcher.Value().GetMeta().count, kRows);
    EXPECT_TRUE(searcher.Value().Close().IsOk());
}

}  // namespace
}  // namespace orvane::api
