// Checkpointed DiskANN builds: the schedule of checkpoints, resuming from one
// (also after the building process was killed), and refused checkpoints.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "index/diskann/build/BuilderTestUtil.h"
#include "index/diskann/search/SearcherTestUtil.h"
#include "index/diskann/format/StorageTestUtil.h"
#include "extensions/experimental/BuildCombinedExtensionV0.h"
#include "api/builder/checkpoint/LocalCkptManager.h"
#include "io/MemoryFileReader.h"
#include "testing/LogCapture.h"

namespace orvane::index::diskann {
namespace {

using core::ErrorCode;
using extensions::experimental::CkptExtension;
using api::CkptManager;
using testutil::BuildAll;
using testutil::Clustered;
using testutil::ExpectSoundGraph;
using testutil::GraphRecall;
using testutil::MakeBuilder;
using testutil::NearQueries;

// Keeps every checkpoint in memory; resumes from the one at `resumeFrom`
// (the newest when negative), or reports none when there is none.
class MemoryCkptManager : public CkptManager {
  public:
    explicit MemoryCkptManager(std::shared_ptr<std::vector<std::shared_ptr<std::string>>> files,
                               int resumeFrom = -1)
        : _files(std::move(files)), _resumeFrom(resumeFrom) {}

    std::unique_ptr<io::FileWriter> CreateCkptFileWriter() override {
        _files->push_back(std::make_shared<std::string>());
        return std::make_unique<io::testutil::StringWriter>(_files->back());
    }
    core::Result<bool> HasCkptFile() override { return !_files->empty(); }
    std::unique_ptr<io::FileReader> GetCkptFileReader() override {
        const size_t i = _resumeFrom < 0 ? _files->size() - 1 : static_cast<size_t>(_resumeFrom);
        return std::make_unique<io::MemoryFileReader>(*(*_files)[i]);
    }

  private:
    std::shared_ptr<std::vector<std::shared_ptr<std::string>>> _files;
    int _resumeFrom;
};

api::BuilderOptions CkptOptions(uint32_t dim, int64_t count, int64_t threshold) {
    auto options = testutil::Options(dim, 12, 2);
    options.Values()["extension.build.ckpt.count"] = count;
    options.Values()["extension.build.ckpt.threshold"] = threshold;
    return options;
}

core::Status AttachManager(DiskANNBuilderBackend& b, CkptExtension& ext,
                           std::unique_ptr<CkptManager> manager) {
    ORVANE_RETURN_IF_ERROR(b.Attach(ext));
    return ext.LoadCkptManager(std::move(manager));
}

TEST(DiskANNCheckpointBuildTest, WritesOnePerChunkAndResumesFromIt) {
    constexpr uint32_t kDim = 8, kN = 400;
    const auto data = Clustered(kN, kDim, 5);
    const auto queries = NearQueries(data, kDim, 40, 6);
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto files = std::make_shared<std::vector<std::shared_ptr<std::string>>>();

    auto first = MakeBuilder(CkptOptions(kDim, 3, 100));
    ASSERT_NE(first, nullptr);
    CkptExtension ext;
    ASSERT_TRUE(AttachManager(*first, ext, std::make_unique<MemoryCkptManager>(files)).IsOk());
    // Batch sizes that do not line up with the chunks of 100.
    ASSERT_TRUE(BuildAll(*first, data, kDim, 130).IsOk());
    ASSERT_EQ(files->size(), 3u);  // after nodes 100, 200 and 300
    const double fullRecall = GraphRecall(first->Storage(), data, kDim, queries, 10, 48);

    for (int resumeFrom : {0, 2}) {
        SCOPED_TRACE(resumeFrom);
        auto resumed = MakeBuilder(CkptOptions(kDim, 3, 100));
        ASSERT_NE(resumed, nullptr);
        CkptExtension ext2;
        auto copy = std::make_shared<std::vector<std::shared_ptr<std::string>>>(*files);
        ASSERT_TRUE(
            AttachManager(*resumed, ext2, std::make_unique<MemoryCkptManager>(copy, resumeFrom))
                .IsOk());
        EXPECT_EQ(resumed->CheckpointBuiltCount(), 100u * (resumeFrom + 1));
        ASSERT_TRUE(BuildAll(*resumed, data, kDim, 64).IsOk());
        // Only the checkpoints after the resumed one are written again.
        EXPECT_EQ(copy->size(), files->size() + (2 - resumeFrom));
        ExpectSoundGraph(resumed->Storage(), kN, 12);
        EXPECT_GE(GraphRecall(resumed->Storage(), data, kDim, queries, 10, 48), fullRecall - 0.03);
    }
}

TEST(DiskANNCheckpointBuildTest, RefusesCheckpointsThatCannotContinueTheBuild) {
    constexpr uint32_t kDim = 8, kN = 400;
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto files = std::make_shared<std::vector<std::shared_ptr<std::string>>>();
    {
        auto b = MakeBuilder(CkptOptions(kDim, 1, 100));
        ASSERT_NE(b, nullptr);
        CkptExtension ext;
        ASSERT_TRUE(AttachManager(*b, ext, std::make_unique<MemoryCkptManager>(files)).IsOk());
        ASSERT_TRUE(BuildAll(*b, Clustered(kN, kDim, 1), kDim, kN).IsOk());
        ASSERT_EQ(files->size(), 1u);
    }
    const struct {
        const char* name;
        api::BuilderOptions options;
        const char* message;
    } cases[] = {
        {"other_dimension", CkptOptions(16, 1, 100),
         "Checkpoint dimension [8] differs from builder dimension [16]"},
        {"other_metric",
         [] {
             auto o = CkptOptions(kDim, 1, 100);
             o.Values()["distance.metric"] = std::string("inner_product");
             return o;
         }(),
         "Checkpoint metric [l2] differs from builder metric [inner_product]"},
        {"other_options",
         [] {
             auto o = CkptOptions(kDim, 1, 100);
             o.Values()["diskann.build.ef_construction"] = int64_t{33};
             return o;
         }(),
         "checkpoint belongs to another build: it was written with other builder options"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto b = MakeBuilder(c.options);
        ASSERT_NE(b, nullptr);
        CkptExtension ext;
        const core::Status st = AttachManager(*b, ext, std::make_unique<MemoryCkptManager>(files));
        EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
        EXPECT_EQ(st.Message(), c.message);
    }
    // A resumed build must reserve the checkpoint's count.
    auto b = MakeBuilder(CkptOptions(kDim, 1, 100));
    ASSERT_NE(b, nullptr);
    CkptExtension ext;
    ASSERT_TRUE(AttachManager(*b, ext, std::make_unique<MemoryCkptManager>(files)).IsOk());
    EXPECT_EQ(b->Reserve(kN + 1).Code(), ErrorCode::InvalidArgument);
    // A checkpoint without its binding (an earlier version's) or with a damaged
    // one is refused, never resumed.
    const struct {
        const char* name;
        std::function<bool(std::string&)> edit;  // false drops the binding
        ErrorCode code;
        const char* message;
    } bindings[] = {
        {"no binding", [](std::string&) { return false; }, ErrorCode::FailedPrecondition,
         "checkpoint is not bound to a build (written by an earlier version); remove it to "
         "build afresh"},
        {"binding cut short",
         [](std::string& p) {
             p.resize(p.size() - 1);
             return true;
         },
         ErrorCode::Corruption, "checkpoint binding has the wrong size"},
        {"binding of version 2",
         [](std::string& p) {
             p[0] = 2;
             return true;
         },
         ErrorCode::Corruption, "checkpoint binding of an unknown version"},
    };
    for (const auto& c : bindings) {
        SCOPED_TRACE(c.name);
        auto edited = std::make_shared<std::vector<std::shared_ptr<std::string>>>();
        edited->push_back(std::make_shared<std::string>(testutil::RewriteImage(
            *files->front(), [&](const std::string& name, std::string& payload) {
                return name != api::kCkptBindingSection || c.edit(payload);
            })));
        auto fresh = MakeBuilder(CkptOptions(kDim, 1, 100));
        ASSERT_NE(fresh, nullptr);
        CkptExtension freshExt;
        const core::Status st =
            AttachManager(*fresh, freshExt, std::make_unique<MemoryCkptManager>(edited));
        EXPECT_EQ(st.Code(), c.code);
        EXPECT_EQ(st.Message(), c.message);
    }
    // ... and append the rows it was built from.
    {
        auto other = MakeBuilder(CkptOptions(kDim, 1, 100));
        ASSERT_NE(other, nullptr);
        CkptExtension otherExt;
        ASSERT_TRUE(
            AttachManager(*other, otherExt, std::make_unique<MemoryCkptManager>(files)).IsOk());
        const core::Status st = BuildAll(*other, Clustered(kN, kDim, 2), kDim, 150);
        EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
        EXPECT_EQ(st.Message(),
                  "checkpoint belongs to another build: its 400 rows differ from the first rows "
                  "of this build's input");
    }
    // Only the checkpoint extension attaches.
    struct OtherExtension : api::IBuildExtension {
        std::string_view Name() const override { return "label"; }
    } other;
    const core::Status st = b->Attach(other);
    EXPECT_EQ(st.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(st.Message(), "extensions not supported by diskann builder");
}

// Passes everything to a directory manager, and kills the process when asked
// for a checkpoint writer beyond the `completed` ones.
class KillingCkptManager : public CkptManager {
  public:
    KillingCkptManager(std::unique_ptr<CkptManager> inner, int completed)
        : _inner(std::move(inner)), _left(completed) {}
    std::unique_ptr<io::FileWriter> CreateCkptFileWriter() override {
        if (_left-- == 0) std::raise(SIGKILL);
        return _inner->CreateCkptFileWriter();
    }
    core::Result<bool> HasCkptFile() override { return _inner->HasCkptFile(); }
    std::unique_ptr<io::FileReader> GetCkptFileReader() override {
        return _inner->GetCkptFileReader();
    }

  private:
    std::unique_ptr<CkptManager> _inner;
    int _left;
};

TEST(DiskANNCheckpointBuildTest, KilledBuildResumesFromItsLastCheckpoint) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr uint32_t kDim = 8, kN = 500;
    const auto data = Clustered(kN, kDim, 9);
    const auto queries = NearQueries(data, kDim, 40, 10);
    // The death test's child re-runs this body in a new process: both derive
    // the directory from the parent's process id.
    const bool inChild = !GTEST_FLAG_GET(internal_run_death_test).empty();
    const std::filesystem::path ckptPath =
        std::filesystem::temp_directory_path() /
        ("orvane_diskann_kill_" + std::to_string(inChild ? getppid() : getpid()));
    const std::string ckptDir = ckptPath.string();
    struct RemoveDir {
        std::filesystem::path path;
        bool owner;
        ~RemoveDir() {
            std::error_code ec;
            if (owner) std::filesystem::remove_all(path, ec);
        }
    } cleanup{ckptPath, !inChild};

    // The child builds until it asks for its third checkpoint and dies there.
    EXPECT_EXIT(
        {
            testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
            auto b = MakeBuilder(CkptOptions(kDim, 4, 100));
            CkptExtension ext;
            auto local = api::CreateLocalCkptManager(ckptDir);
            if (b == nullptr || !local.IsOk()) std::exit(1);
            auto killer = std::make_unique<KillingCkptManager>(local.TakeValue(), 2);
            if (!AttachManager(*b, ext, std::move(killer)).IsOk()) std::exit(2);
            // Reaching the end (either way) means the kill did not happen.
            std::exit(BuildAll(*b, data, kDim, 60).IsOk() ? 3 : 4);
        },
        ::testing::KilledBySignal(SIGKILL), "");

    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto resumed = MakeBuilder(CkptOptions(kDim, 4, 100));
    ASSERT_NE(resumed, nullptr);
    CkptExtension ext;
    auto local = api::CreateLocalCkptManager(ckptDir);
    ASSERT_TRUE(local.IsOk()) << local.GetStatus().Message();
    ASSERT_TRUE(AttachManager(*resumed, ext, local.TakeValue()).IsOk());
    EXPECT_EQ(resumed->CheckpointBuiltCount(), 200u);  // chunks of 100: two completed
    ASSERT_TRUE(BuildAll(*resumed, data, kDim, 60).IsOk());
    ExpectSoundGraph(resumed->Storage(), kN, 12);

    auto uninterrupted = MakeBuilder(testutil::Options(kDim, 12, 2));
    ASSERT_NE(uninterrupted, nullptr);
    ASSERT_TRUE(BuildAll(*uninterrupted, data, kDim, 60).IsOk());
    EXPECT_GE(GraphRecall(resumed->Storage(), data, kDim, queries, 10, 48),
              GraphRecall(uninterrupted->Storage(), data, kDim, queries, 10, 48) - 0.03);
}

}  // namespace
}  // namespace orvane::index::diskann
