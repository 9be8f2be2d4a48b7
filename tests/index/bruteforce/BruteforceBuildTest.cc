// The bruteforce builder: its preconditions and messages, the checkpoint
// schedule, resuming from a checkpoint (skipping the stored rows, refusing a
// different dataset or a checkpoint of another shape) and keeping the
// restored model.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/builder/checkpoint/InnerCkptManager.h"
#include "index/bruteforce/BruteforceBuilderBackend.h"
#include "index/bruteforce/BruteforceIndexMeta.h"
#include "index/bruteforce/BruteforceTestUtil.h"
#include "io/InputStream.h"
#include "io/MemoryFileReader.h"
#include "io/OutputStream.h"
#include "testing/LogCapture.h"

namespace orvane::index {
namespace {

using core::ErrorCode;
using core::Status;
using api::InnerCkptManager;
using testing::BruteforceOptions;
using testing::MemoryCkptManager;
using testing::RandomRows;
using testing::SpreadIds;
using Files = std::vector<std::shared_ptr<std::string>>;

constexpr uint32_t kDim = 6;

api::BuilderOptions WithCkpt(api::BuilderOptions options, int64_t count, int64_t threshold = 0) {
    options.Values()["extension.build.ckpt.count"] = count;
    if (threshold) options.Values()["extension.build.ckpt.threshold"] = threshold;
    return options;
}

std::unique_ptr<BruteforceBuilderBackend> MakeBackend(const api::BuilderOptions& options) {
    auto backend = std::make_unique<BruteforceBuilderBackend>(core::MemoryResourceConfig());
    Status init = backend->Init(options);
    EXPECT_TRUE(init.IsOk()) << init.Message();
    return backend;
}

Status LoadManager(BruteforceBuilderBackend& backend, std::shared_ptr<Files> files) {
    return backend.LoadFromCkptManager(
        std::make_unique<InnerCkptManager>(std::make_unique<MemoryCkptManager>(files)));
}

// Appends rows [0, n) in batches of the given sizes, stopping at the first failure.
Status AppendInBatches(BruteforceBuilderBackend& backend, const std::vector<float>& rows,
                       const std::vector<uint64_t>& ids, const std::vector<uint64_t>& sizes) {
    uint64_t at = 0;
    for (uint64_t size : sizes) {
        ORVANE_RETURN_IF_ERROR(
            backend.AppendBatch(std::span<const float>(rows.data() + at * kDim, size * kDim),
                                std::span<const uint64_t>(ids.data() + at, size)));
        at += size;
    }
    return Status::Ok();
}

core::Result<std::string> DumpToBytes(const BruteforceBuilderBackend& backend) {
    auto bytes = std::make_shared<std::string>();
    io::OutputStream stream(std::make_unique<io::testutil::StringWriter>(bytes));
    ORVANE_RETURN_IF_ERROR(stream.Init({}));
    ORVANE_RETURN_IF_ERROR(backend.Dump(stream));
    return *bytes;
}

// The row count a checkpoint (or index) file's meta section records.
uint32_t StoredCount(const std::string& file) {
    io::InputStream stream(std::make_unique<io::MemoryFileReader>(file));
    EXPECT_TRUE(stream.Open({}).IsOk());
    auto meta = stream.GetSectionReader(bruteforce::kIndexMetaName);
    EXPECT_TRUE(meta.IsOk());
    bruteforce::BruteforceIndexMeta m;
    EXPECT_TRUE(meta.Value()->Read(0, 8, std::span<char>(reinterpret_cast<char*>(&m), 8)).IsOk());
    return m.count;
}

TEST(BruteforceBuildTest, PreconditionsAndMessages) {
    const auto rows = RandomRows(10, kDim, 1);
    const auto ids = SpreadIds(10);
    struct Case {
        std::string name;
        std::function<Status()> run;
        ErrorCode code;
        std::string message;
    };
    auto fresh = [] { return MakeBackend(BruteforceOptions(kDim)); };
    const std::vector<Case> cases = {
        {"reserve without dimension",
         [] {
             BruteforceBuilderBackend b{core::MemoryResourceConfig()};
             EXPECT_TRUE(b.Init(api::BuilderOptions{}).IsOk());
             return b.Reserve(4);
         },
         ErrorCode::FailedPrecondition, "builder dimension not initialized"},
        {"reserve past the 32-bit count", [&] { return fresh()->Reserve(uint64_t{1} << 32); },
         ErrorCode::InvalidArgument,
         "bruteforce index holds at most 4294967295 vectors, reserved [4294967296]"},
        {"append before reserve", [&] { return fresh()->AppendBatch(rows, ids); },
         ErrorCode::FailedPrecondition, "Must call Reserve before AppendBatch"},
        {"vectors and ids disagree",
         [&] {
             auto b = fresh();
             EXPECT_TRUE(b->Reserve(10).IsOk());
             return b->AppendBatch(std::span<const float>(rows).subspan(1), ids);
         },
         ErrorCode::InvalidArgument, "vectors.size() must equal ids.size() * dimension"},
        {"append past the reservation",
         [&] {
             auto b = fresh();
             EXPECT_TRUE(b->Reserve(9).IsOk());
             return b->AppendBatch(rows, ids);
         },
         ErrorCode::Corruption, "Failed to append batch."},
        {"dump short of the reservation",
         [&] {
             auto b = fresh();
             EXPECT_TRUE(b->Reserve(10).IsOk());
             EXPECT_TRUE(b->AppendBatch(std::span<const float>(rows).first(9 * kDim),
                                        std::span<const uint64_t>(ids).first(9))
                             .IsOk());
             return DumpToBytes(*b).GetStatus();
         },
         ErrorCode::Internal, "Vector count mismatch: expected 10 but got 9"},
        {"checkpoint count too large for the total",
         [&] { return MakeBackend(WithCkpt(BruteforceOptions(kDim), 3))->Reserve(10); },
         ErrorCode::InvalidArgument,
         "_reservedCount / (_numberOfCkpt + 1) must > _numberOfCkpt: 10 rows give 2 rows per "
         "checkpoint, which must exceed extension.build.ckpt.count [3]; give fewer checkpoints"},
        {"trainer that cannot be made",
         [] {
             BruteforceBuilderBackend b{core::MemoryResourceConfig()};
             auto options = BruteforceOptions(kDim, "l2", "pq");
             options.Values()["encoding.pq.m"] = int64_t{kDim + 1};
             return b.Init(options);
         },
         ErrorCode::InvalidArgument,
         "Failed to CreateQuantizerTrainer: Invalid numChunks [7] for PQ encoding, must be > 0 and "
         "<= dimension [6]."},
    };
    ::orvane::testing::LogCapture logs(::orvane::testing::LogCapture::Keep::kNothing);
    for (const Case& c : cases) {
        Status st = c.run();
        EXPECT_EQ(st.Code(), c.code) << c.name;
        EXPECT_EQ(st.Message(), c.message) << c.name;
    }
    auto b = MakeBackend(WithCkpt(BruteforceOptions(kDim), 3));
    EXPECT_TRUE(b->Reserve(20).IsOk());
    EXPECT_EQ(b->RowCountPerCkpt(), 6u);

    class Other : public api::IBuildExtension {
      public:
        std::string_view Name() const override { return "label"; }
    };
    Other other;
    Status refused = b->Attach(other);
    EXPECT_EQ(refused.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(refused.Message(), "extension not supported by bruteforce searcher");
}

TEST(BruteforceBuildTest, CheckpointScheduleIgnoresBatchSizes) {
    const auto rows = RandomRows(20, kDim, 2);
    const auto ids = SpreadIds(20);
    struct Case {
        std::string name;
        int64_t count;
        int64_t threshold;
        std::vector<uint64_t> batches;
        std::vector<uint32_t> checkpoints;  // rows held by each checkpoint written
    };
    const std::vector<uint64_t> ones(20, 1);
    const std::vector<Case> cases = {
        {"one batch", 3, 0, {20}, {6, 12, 18}},
        {"single rows", 3, 0, ones, {6, 12, 18}},
        {"fives", 3, 0, {5, 5, 5, 5}, {6, 12, 18}},
        {"on the checkpoint rows", 3, 0, {6, 6, 6, 2}, {6, 12, 18}},
        {"uneven", 3, 0, {7, 13}, {6, 12, 18}},
        {"one checkpoint", 1, 0, {3, 17}, {11}},
        {"below the threshold", 3, 21, {20}, {}},
        {"at the threshold", 3, 20, {20}, {6, 12, 18}},
    };
    for (const Case& c : cases) {
        auto files = std::make_shared<Files>();
        auto b = MakeBackend(WithCkpt(BruteforceOptions(kDim), c.count, c.threshold));
        ASSERT_TRUE(LoadManager(*b, files).IsOk()) << c.name;
        ASSERT_TRUE(b->Reserve(20).IsOk()) << c.name;
        ASSERT_TRUE(AppendInBatches(*b, rows, ids, c.batches).IsOk()) << c.name;
        std::vector<uint32_t> written;
        for (const auto& f : *files) written.push_back(StoredCount(*f));
        EXPECT_EQ(written, c.checkpoints) << c.name;
        ASSERT_TRUE(DumpToBytes(*b).IsOk()) << c.name;
    }
}

// One build interrupted after `stopAfter` rows, checkpointing into `files`.
void InterruptedBuild(const api::BuilderOptions& options, const std::vector<float>& rows,
                      const std::vector<uint64_t>& ids, uint64_t stopAfter,
                      std::shared_ptr<Files> files) {
    auto b = MakeBackend(options);
    ASSERT_TRUE(LoadManager(*b, files).IsOk());
    if (b->IsTrainable()) {
        ASSERT_TRUE(b->Pretrain(rows.data(), ids.size()).IsOk());
    }
    ASSERT_TRUE(b->Reserve(ids.size()).IsOk());
    ASSERT_TRUE(AppendInBatches(*b, rows, ids, {stopAfter}).IsOk());
}

TEST(BruteforceBuildTest, ResumedBuildEqualsAnUninterruptedOneAndKeepsItsModel) {
    const auto rows = RandomRows(20, kDim, 3);
    const auto ids = SpreadIds(20);
    const auto otherRows = RandomRows(20, kDim, 4);
    for (const std::string encoding : {"rawf32", "sq8"}) {
        const auto options = WithCkpt(BruteforceOptions(kDim, "l2", encoding), 3);
        auto plain = MakeBackend(BruteforceOptions(kDim, "l2", encoding));
        if (plain->IsTrainable()) {
            ASSERT_TRUE(plain->Pretrain(rows.data(), 20).IsOk());
        }
        ASSERT_TRUE(plain->Reserve(20).IsOk());
        ASSERT_TRUE(plain->AppendBatch(rows, ids).IsOk());
        auto expected = DumpToBytes(*plain);
        ASSERT_TRUE(expected.IsOk());

        auto files = std::make_shared<Files>();
        InterruptedBuild(options, rows, ids, 14, files);
        ASSERT_EQ(files->size(), 2u) << encoding;  // after rows 6 and 12

        ::orvane::testing::LogCapture logs;
        auto resumed = MakeBackend(options);
        ASSERT_TRUE(LoadManager(*resumed, files).IsOk()) << encoding;
        EXPECT_TRUE(resumed->RestoredFromCkpt());
        // Training on other data must not touch the model the stored rows use.
        if (resumed->IsTrainable()) {
            ASSERT_TRUE(resumed->Pretrain(otherRows.data(), 20).IsOk());
            EXPECT_TRUE(
                logs.Contains(telemetry::LogLevel::Info,
                              "Bruteforce builder resumed from a checkpoint of [12] vectors "
                              "keeps its restored model, pretrain skipped"));
        }
        ASSERT_TRUE(resumed->Reserve(20).IsOk());
        ASSERT_TRUE(AppendInBatches(*resumed, rows, ids, {5, 10, 5}).IsOk()) << encoding;
        // The next checkpoint comes q = 6 rows after the restored 12.
        ASSERT_EQ(files->size(), 3u) << encoding;
        EXPECT_EQ(StoredCount(*files->back()), 18u);
        auto got = DumpToBytes(*resumed);
        ASSERT_TRUE(got.IsOk()) << got.GetStatus().Message();
        EXPECT_TRUE(got.Value() == expected.Value()) << encoding;
    }
}

TEST(BruteforceBuildTest, ResumeRefusesAnotherDatasetOrShape) {
    const auto rows = RandomRows(20, kDim, 5);
    const auto ids = SpreadIds(20);
    auto files = std::make_shared<Files>();
    InterruptedBuild(WithCkpt(BruteforceOptions(kDim), 3), rows, ids, 13, files);
    ASSERT_EQ(files->size(), 2u);

    struct Case {
        std::string name;
        api::BuilderOptions options;
        std::function<Status(BruteforceBuilderBackend&)> after;  // run once resumed
        ErrorCode code;
        std::string message;
    };
    auto changedSixthId = [&](BruteforceBuilderBackend& b) {
        EXPECT_TRUE(b.Reserve(20).IsOk());
        auto other = ids;
        other[5] += 1;
        return b.AppendBatch(rows, other);
    };
    auto changedRow = [&](uint64_t row) {
        return [&, row](BruteforceBuilderBackend& b) {
            EXPECT_TRUE(b.Reserve(20).IsOk());
            auto other = rows;
            other[row * kDim] += 0.25f;
            return b.AppendBatch(other, ids);
        };
    };
    auto otherOptions = WithCkpt(BruteforceOptions(kDim), 3);
    otherOptions.Values()["search.parallel_number"] = int64_t{2};
    const std::vector<Case> cases = {
        {"sixth id differs", WithCkpt(BruteforceOptions(kDim), 3), changedSixthId,
         ErrorCode::InvalidArgument, "Dataset dismatch with checkpoint"},
        {"a checkpointed row's vector differs", WithCkpt(BruteforceOptions(kDim), 3),
         changedRow(11), ErrorCode::InvalidArgument,
         "checkpoint belongs to another build: its 12 rows differ from the first rows of this "
         "build's input"},
        {"another checkpoint count", WithCkpt(BruteforceOptions(kDim), 2),
         [](BruteforceBuilderBackend& b) { return b.Reserve(20); }, ErrorCode::Ok, ""},
        {"more rows reserved", WithCkpt(BruteforceOptions(kDim), 3),
         [](BruteforceBuilderBackend& b) { return b.Reserve(21); }, ErrorCode::InvalidArgument,
         "checkpoint belongs to another build: it was written by a build of 20 rows, this build "
         "has 21"},
        {"other options", otherOptions, nullptr, ErrorCode::InvalidArgument,
         "checkpoint belongs to another build: it was written with other builder options"},
        {"reserve below the stored rows", WithCkpt(BruteforceOptions(kDim), 1),
         [](BruteforceBuilderBackend& b) { return b.Reserve(11); }, ErrorCode::InvalidArgument,
         "Reserved [11] vectors but the checkpoint holds [12]"},
        {"another dimension", WithCkpt(BruteforceOptions(kDim + 1), 3), nullptr,
         ErrorCode::InvalidArgument, "checkpoint dimension [6] differs from index dimension [7]"},
        {"another metric", WithCkpt(BruteforceOptions(kDim, "inner_product"), 3), nullptr,
         ErrorCode::InvalidArgument,
         "checkpoint was built with another encoding, metric or dimension"},
        // Last: it appends every row and so writes a newer checkpoint.
        {"a row after the checkpoint differs", WithCkpt(BruteforceOptions(kDim), 3), changedRow(12),
         ErrorCode::Ok, ""},
    };
    for (const Case& c : cases) {
        auto b = MakeBackend(c.options);
        Status st = LoadManager(*b, files);
        if (c.after) {
            ASSERT_TRUE(st.IsOk()) << c.name << ": " << st.Message();
            st = c.after(*b);
        } else {
            EXPECT_FALSE(b->RestoredFromCkpt()) << c.name;
        }
        EXPECT_EQ(st.Code(), c.code) << c.name;
        EXPECT_EQ(st.Message(), c.message) << c.name;
    }
}

// A manager whose answers fail in scripted ways.
class FailingManager : public api::CkptManager {
  public:
    enum class Fail { kHas, kReader, kWriter, kDamaged };
    explicit FailingManager(Fail fail, std::string file = "")
        : _fail(fail), _file(std::move(file)) {}
    std::unique_ptr<io::FileWriter> CreateCkptFileWriter() override { return nullptr; }
    core::Result<bool> HasCkptFile() override {
        if (_fail == Fail::kHas) return Status(ErrorCode::IoError, "disk gone");
        return _fail != Fail::kWriter;
    }
    std::unique_ptr<io::FileReader> GetCkptFileReader() override {
        if (_fail != Fail::kDamaged) return nullptr;
        return std::make_unique<io::MemoryFileReader>(_file);
    }

  private:
    Fail _fail;
    std::string _file;
};

TEST(BruteforceBuildTest, ManagerFailuresAreReportedAndRestoreNothing) {
    const auto rows = RandomRows(20, kDim, 6);
    const auto ids = SpreadIds(20);
    auto files = std::make_shared<Files>();
    InterruptedBuild(WithCkpt(BruteforceOptions(kDim), 3), rows, ids, 7, files);
    ASSERT_EQ(files->size(), 1u);
    std::string damaged = *files->front();
    damaged[damaged.size() / 2] ^= 0x5a;  // inside the vector section

    using Fail = FailingManager::Fail;
    struct Case {
        std::string name;
        Fail fail;
        ErrorCode code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"has fails", Fail::kHas, ErrorCode::IoError, "ckptManager failed to fetch input stream"},
        {"no reader", Fail::kReader, ErrorCode::IoError, "ckptManager failed to get input stream"},
        {"damaged checkpoint", Fail::kDamaged, ErrorCode::Corruption, ""},
    };
    ::orvane::testing::LogCapture logs(::orvane::testing::LogCapture::Keep::kNothing);
    for (const Case& c : cases) {
        auto b = MakeBackend(WithCkpt(BruteforceOptions(kDim), 3));
        Status st = b->LoadFromCkptManager(
            std::make_unique<InnerCkptManager>(std::make_unique<FailingManager>(c.fail, damaged)));
        EXPECT_EQ(st.Code(), c.code) << c.name << ": " << st.Message();
        if (!c.message.empty()) {
            EXPECT_EQ(st.Message(), c.message) << c.name;
        }
        EXPECT_FALSE(b->RestoredFromCkpt()) << c.name;
    }
    // A manager that cannot take a checkpoint fails the append that needs one.
    auto b = MakeBackend(WithCkpt(BruteforceOptions(kDim), 3));
    ASSERT_TRUE(b->LoadFromCkptManager(std::make_unique<InnerCkptManager>(
                                           std::make_unique<FailingManager>(Fail::kWriter)))
                    .IsOk());
    ASSERT_TRUE(b->Reserve(20).IsOk());
    Status st = b->AppendBatch(rows, ids);
    EXPECT_EQ(st.Code(), ErrorCode::IoError);
    EXPECT_EQ(st.Message(), "Failed to get output stream when checkpoint");
    EXPECT_EQ(b->AppendedCount(), 6u);  // the rows before the checkpoint stay
}

}  // namespace
}  // namespace orvane::index
