#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "orvane/api/OrvaneBuilder.h"
#include "api/builder/OrvaneBuilderImpl.h"
#include "orvane/io/FileWriter.h"
#include "io/OutputStream.h"
#include "testing/TempDir.h"
#include "testing/VectorDataset.h"

namespace orvane::api {
namespace {

using core::ErrorCode;
using core::Status;
using testing::VectorDataset;

// Records what the facade hands to it; can be told to fail.
struct Recorder {
    std::vector<float> pretrained;
    uint64_t pretrainCount = 0;
    uint64_t reserved = 0;
    std::vector<uint64_t> ids;
    std::vector<float> vectors;
    int dumps = 0;
    bool failAppend = false;
};

class FakeBackend : public OrvaneBuilder::Impl::Backend {
  public:
    FakeBackend(Recorder* rec, bool trainable) : _rec(rec), _trainable(trainable) {}
    Status Pretrain(const float* data, uint64_t n) override {
        _rec->pretrainCount = n;
        _rec->pretrained.assign(data, data + n * 2);
        return Status::Ok();
    }
    Status Reserve(uint64_t n) override {
        _rec->reserved = n;
        return Status::Ok();
    }
    Status AppendBatch(std::span<const float> vectors, std::span<const uint64_t> ids) override {
        if (_rec->failAppend) return Status(ErrorCode::Internal, "append failed");
        _rec->vectors.insert(_rec->vectors.end(), vectors.begin(), vectors.end());
        _rec->ids.insert(_rec->ids.end(), ids.begin(), ids.end());
        return Status::Ok();
    }
    Status Dump(io::OutputStream& stream) const override {
        ++_rec->dumps;
        return stream.Close();
    }
    Status Attach(IBuildExtension&) override { return Status(ErrorCode::NotSupported, "no"); }
    bool IsTrainable() const override { return _trainable; }

  private:
    Recorder* _rec;
    bool _trainable;
};

constexpr uint32_t kDim = 2;

std::vector<float> Rows(uint64_t n) {
    std::vector<float> v(n * kDim);
    for (uint64_t i = 0; i < n; ++i) {
        v[i * kDim] = static_cast<float>(i);
        v[i * kDim + 1] = -static_cast<float>(i);
    }
    return v;
}

std::unique_ptr<OrvaneBuilder::Impl> MakeImpl(Recorder* rec, bool trainable, double ratio = 1.0) {
    BuilderOptions options{{"index.dimension", int64_t{kDim}},
                           {"index.type", std::string("demo")},
                           {"pretrain.sample_ratio", ratio}};
    return std::make_unique<OrvaneBuilder::Impl>(options,
                                                 std::make_unique<FakeBackend>(rec, trainable),
                                                 core::Normalize(core::MemoryResourceConfig()));
}

TEST(BuilderCreateTest, RefusesMissingTypeUnknownKindAndBadOptions) {
    auto noType = OrvaneBuilder::Create(BuilderOptions{{"index.dimension", int64_t{4}}});
    ASSERT_FALSE(noType.IsOk());
    EXPECT_EQ(noType.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(noType.GetStatus().Message(), "index.type is required");

    auto typeNotString = OrvaneBuilder::Create(
        BuilderOptions{{"index.dimension", int64_t{4}}, {"index.type", int64_t{3}}});
    ASSERT_FALSE(typeNotString.IsOk());
    EXPECT_EQ(typeNotString.GetStatus().Message(), "index.type is required");

    auto badType = OrvaneBuilder::Create(
        BuilderOptions{{"index.dimension", int64_t{4}}, {"index.type", std::string("DEMO")}});
    ASSERT_FALSE(badType.IsOk());
    EXPECT_EQ(badType.GetStatus().Code(), ErrorCode::InvalidArgument);

    auto noDim = OrvaneBuilder::Create(BuilderOptions{{"index.type", std::string("demo")}});
    ASSERT_FALSE(noDim.IsOk());
    EXPECT_EQ(noDim.GetStatus().Message(), "Missing required option: index.dimension");

    auto ok = OrvaneBuilder::Create(
        BuilderOptions{{"index.dimension", int64_t{4}}, {"index.type", std::string("demo")}});
    ASSERT_TRUE(ok.IsOk()) << ok.GetStatus().Message();
    EXPECT_EQ(ok.Value().GetStatus(), BuilderStatus::Initial);
}

TEST(BuilderCreateTest, DimensionBeyond32BitsIsRefusedNotWrapped) {
    // 2^32 + 4 would otherwise become a builder of dimension 4.
    for (int64_t dim : {int64_t{1} << 32, (int64_t{1} << 32) + 4}) {
        auto wide = OrvaneBuilder::Create(
            BuilderOptions{{"index.dimension", dim}, {"index.type", std::string("demo")}});
        ASSERT_FALSE(wide.IsOk()) << dim;
        EXPECT_EQ(wide.GetStatus().Code(), ErrorCode::InvalidArgument);
        EXPECT_EQ(wide.GetStatus().Message(), "Option index.dimension must be in [1, 4294967295]");
    }
    auto widest = OrvaneBuilder::Create(BuilderOptions{{"index.dimension", int64_t{UINT32_MAX}},
                                                       {"index.type", std::string("demo")}});
    EXPECT_TRUE(widest.IsOk()) << widest.GetStatus().Message();
}

TEST(BuilderCreateTest, KindsWithoutBackendAreNotFound) {
    for (const char* kind : {"bruteforce", "ivf", "diskann"}) {
        BuilderOptions options{{"index.dimension", int64_t{4}},
                               {"index.type", std::string(kind)},
                               {"ivf.build.num_lists", int64_t{4}}};
        auto created = OrvaneBuilder::Create(options);
        if (created.IsOk()) continue;  // the kind has a back end by now
        EXPECT_EQ(created.GetStatus().Code(), ErrorCode::NotFound) << kind;
        EXPECT_EQ(created.GetStatus().Message(),
                  std::string("no builder backend for IndexType: ") + kind);
    }
}

TEST(BuilderLifecycleTest, PretrainTwiceIsRefusedAndStateKept) {
    Recorder rec;
    auto impl = MakeImpl(&rec, true);
    auto rows = Rows(4);
    ASSERT_TRUE(impl->Pretrain(rows.data(), 4).IsOk());
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::Trained);
    Status again = impl->Pretrain(rows.data(), 4);
    EXPECT_EQ(again.Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(again.Message(), "Pretrain can only be called once.");
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::Trained);
}

TEST(BuilderLifecycleTest, PretrainArgumentChecksKeepState) {
    Recorder rec;
    auto impl = MakeImpl(&rec, true);
    auto rows = Rows(1);
    EXPECT_EQ(impl->Pretrain(rows.data(), 0).Message(), "total count must be > 0");
    EXPECT_EQ(impl->Pretrain(nullptr, 3).Message(), "data must not be null");
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::Initial);
}

TEST(BuilderLifecycleTest, NonTrainableKind) {
    Recorder rec;
    auto impl = MakeImpl(&rec, false);
    // InsertFrom never consults trainability: refused straight after creation.
    VectorDataset data(Rows(5), kDim);
    Status refused = impl->InsertFrom(data);
    EXPECT_EQ(refused.Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(refused.Message(),
              "Insert must be called after training is complete (or not needed) and can only be "
              "called once.");
    // InsertBatch promotes the state and succeeds.
    auto rows = Rows(3);
    std::vector<uint64_t> ids{7, 8, 9};
    ASSERT_TRUE(impl->InsertBatch(rows.data(), ids.data(), 3).IsOk());
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::DataInjected);
    EXPECT_EQ(rec.ids, ids);
    EXPECT_EQ(rec.vectors, rows);
    EXPECT_EQ(rec.reserved, 3u);
    EXPECT_EQ(impl->Pretrain(rows.data(), 3).Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(impl->InsertBatch(rows.data(), ids.data(), 3).Code(), ErrorCode::FailedPrecondition);
}

TEST(BuilderLifecycleTest, NonTrainablePretrainOnlyMovesState) {
    Recorder rec;
    auto impl = MakeImpl(&rec, false);
    // Rows claimed behind a null pointer are refused, as for a trainable kind.
    EXPECT_EQ(impl->Pretrain(nullptr, 3).Message(), "data must not be null");
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::Initial);
    ASSERT_TRUE(impl->Pretrain(nullptr, 0).IsOk());
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::TrainNotNeeded);
    EXPECT_EQ(rec.pretrainCount, 0u);
    VectorDataset data(Rows(5), kDim);
    EXPECT_EQ(impl->PretrainFrom(data).Message(), "Pretrain can only be called once.");
    ASSERT_TRUE(impl->InsertFrom(data).IsOk());
}

TEST(BuilderLifecycleTest, InsertFromStreamsEveryBatch) {
    Recorder rec;
    auto impl = MakeImpl(&rec, true);
    VectorDataset sample(Rows(40), kDim, 7);
    ASSERT_TRUE(impl->PretrainFrom(sample).IsOk());
    VectorDataset data(Rows(40), kDim, 7);
    ASSERT_TRUE(impl->InsertFrom(data).IsOk());
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::DataInjected);
    EXPECT_EQ(rec.reserved, 40u);
    ASSERT_EQ(rec.ids.size(), 40u);
    EXPECT_EQ(rec.ids.front(), 1000u);
    EXPECT_EQ(rec.ids.back(), 1039u);
    EXPECT_EQ(rec.vectors, Rows(40));
}

TEST(BuilderLifecycleTest, ShortDatasetEndsInError) {
    Recorder rec;
    auto impl = MakeImpl(&rec, true);
    auto rows = Rows(1);
    ASSERT_TRUE(impl->Pretrain(rows.data(), 1).IsOk());
    VectorDataset data(Rows(90), kDim, 32);
    data.AnnounceTotal(100);
    Status st = impl->InsertFrom(data);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "totalAdded mismatch to totalCount: 90 vs 100");
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::Error);
    VectorDataset again(Rows(2), kDim);
    EXPECT_EQ(impl->InsertFrom(again).Code(), ErrorCode::FailedPrecondition);
}

TEST(BuilderLifecycleTest, InconsistentBatchIsConflictAndKeepsState) {
    for (int variant = 0; variant < 2; ++variant) {
        Recorder rec;
        auto impl = MakeImpl(&rec, true);
        auto rows = Rows(1);
        ASSERT_TRUE(impl->Pretrain(rows.data(), 1).IsOk());
        VectorDataset data(Rows(10), kDim, 4);
        if (variant == 0)
            data.DropOneFloat();
        else
            data.DropOneId();
        EXPECT_EQ(impl->InsertFrom(data).Code(), ErrorCode::Conflict);
        EXPECT_EQ(impl->GetStatus(), BuilderStatus::Trained);
    }
}

TEST(BuilderLifecycleTest, BackendFailureMovesToError) {
    Recorder rec;
    rec.failAppend = true;
    auto impl = MakeImpl(&rec, true);
    auto rows = Rows(2);
    std::vector<uint64_t> ids{1, 2};
    ASSERT_TRUE(impl->Pretrain(rows.data(), 2).IsOk());
    EXPECT_EQ(impl->InsertBatch(rows.data(), ids.data(), 2).Code(), ErrorCode::Internal);
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::Error);
    EXPECT_EQ(impl->InsertBatch(rows.data(), ids.data(), 2).Code(), ErrorCode::FailedPrecondition);
}

TEST(BuilderLifecycleTest, InsertBatchArgumentChecks) {
    Recorder rec;
    auto impl = MakeImpl(&rec, true);
    auto rows = Rows(2);
    std::vector<uint64_t> ids{1, 2};
    ASSERT_TRUE(impl->Pretrain(rows.data(), 2).IsOk());
    const char* msg = "data and ids must not be null, n must be > 0";
    EXPECT_EQ(impl->InsertBatch(rows.data(), ids.data(), 0).Message(), msg);
    EXPECT_EQ(impl->InsertBatch(nullptr, ids.data(), 2).Message(), msg);
    EXPECT_EQ(impl->InsertBatch(rows.data(), nullptr, 2).Message(), msg);
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::Trained);
}

TEST(BuilderSamplingTest, TinyRatioSamplesOneRow) {
    Recorder rec;
    auto impl = MakeImpl(&rec, true, 0.0001);
    VectorDataset data(Rows(100), kDim, 9);
    ASSERT_TRUE(impl->PretrainFrom(data).IsOk());
    EXPECT_EQ(rec.pretrainCount, 1u);
    ASSERT_EQ(rec.pretrained.size(), 2u);
    // The sampled row is one of the dataset's rows.
    EXPECT_EQ(rec.pretrained[0], -rec.pretrained[1]);
}

TEST(BuilderSamplingTest, FullRatioSamplesAllRowsInOrder) {
    Recorder rec;
    auto impl = MakeImpl(&rec, true, 1.0);
    VectorDataset data(Rows(100), kDim, 9);
    ASSERT_TRUE(impl->PretrainFrom(data).IsOk());
    EXPECT_EQ(rec.pretrainCount, 100u);
    EXPECT_EQ(rec.pretrained, Rows(100));
}

TEST(BuilderSamplingTest, HalfRatioSamplesSortedDistinctRows) {
    Recorder rec;
    auto impl = MakeImpl(&rec, true, 0.5);
    VectorDataset data(Rows(101), kDim, 8);
    ASSERT_TRUE(impl->PretrainFrom(data).IsOk());
    ASSERT_EQ(rec.pretrainCount, 51u);  // 50.5 rounds away from zero
    for (uint64_t i = 1; i < rec.pretrainCount; ++i) {
        EXPECT_LT(rec.pretrained[(i - 1) * kDim], rec.pretrained[i * kDim]);
    }
}

TEST(BuilderSamplingTest, DatasetChecks) {
    Recorder rec;
    auto impl = MakeImpl(&rec, true);
    VectorDataset empty(std::vector<float>{}, kDim);
    EXPECT_EQ(impl->PretrainFrom(empty).Message(), "Dataset total count must be > 0");
    VectorDataset wrongDim(std::vector<float>(9, 1.0f), 3);
    EXPECT_EQ(impl->PretrainFrom(wrongDim).Message(),
              "Dataset dimension does not match index dimension");
    VectorDataset broken(Rows(10), kDim);
    broken.FailReads();
    EXPECT_EQ(impl->PretrainFrom(broken).Code(), ErrorCode::IoError);
    VectorDataset shortData(Rows(10), kDim, 4);
    shortData.AnnounceTotal(12);
    EXPECT_EQ(impl->PretrainFrom(shortData).Code(), ErrorCode::Conflict);
    EXPECT_EQ(impl->GetStatus(), BuilderStatus::Initial);
}

TEST(BuilderDumpTest, NullWriterRefusedBeforeStateCheck) {
    auto builder = OrvaneBuilder::Create(
        BuilderOptions{{"index.dimension", int64_t{2}}, {"index.type", std::string("demo")}});
    ASSERT_TRUE(builder.IsOk());
    Status st = builder.Value().Dump(nullptr, IOOptions());
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "FileWriter is null");
}

TEST(BuilderDumpTest, DumpBeforeInsertKeepsStateAndLeavesNoFile) {
    testing::TempDir dir;
    const std::string path = dir.File("early.idx");
    auto builder = OrvaneBuilder::Create(
        BuilderOptions{{"index.dimension", int64_t{2}}, {"index.type", std::string("demo")}});
    ASSERT_TRUE(builder.IsOk());
    Status st = builder.Value().Dump(IOOptions{{"index.path", path}});
    EXPECT_EQ(st.Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(st.Message(),
              "Dump must be called after data has been injected.: no data was inserted");
    EXPECT_EQ(builder.Value().GetStatus(), BuilderStatus::Initial);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(builder.Value().Dump(IOOptions{{"index.path", int64_t{1}}}).Message(),
              "File path not specified in IOOptions");

    // A second dump is told apart from a dump before any insert.
    const std::vector<float> rows{1, 2, 3, 4};
    const std::vector<uint64_t> ids{0, 1};
    ASSERT_TRUE(builder.Value().Pretrain(rows.data(), 2).IsOk());
    ASSERT_TRUE(builder.Value().InsertBatch(rows.data(), ids.data(), 2).IsOk());
    ASSERT_TRUE(builder.Value().Dump(IOOptions{{"index.path", path}}).IsOk());
    EXPECT_EQ(builder.Value().Dump(IOOptions{{"index.path", path}}).Message(),
              "Dump must be called after data has been injected.: the index was already dumped");
}

TEST(BuilderDumpTest, MovedFromBuilderRefusesWork) {
    auto builder = OrvaneBuilder::Create(
        BuilderOptions{{"index.dimension", int64_t{2}}, {"index.type", std::string("demo")}});
    ASSERT_TRUE(builder.IsOk());
    OrvaneBuilder moved = builder.TakeValue();
    OrvaneBuilder& source = builder.Value();
    EXPECT_FALSE(source.Pretrain(nullptr, 0).IsOk());
    EXPECT_EQ(moved.GetStatus(), BuilderStatus::Initial);
}

}  // namespace
}  // namespace orvane::api
