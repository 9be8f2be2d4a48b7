// `orvane build --checkpoint-dir`: a checkpointed build writes the same index
// as a plain one and removes its checkpoints, a run after an interrupted one
// resumes from the checkpoints left behind (and only from its own build's), and
// kinds or directories that cannot take checkpoints are refused in one line.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <functional>

#include <filesystem>
#include <sstream>

#include "../../tools/BuildCommand.h"
#include "../../tools/Commands.h"
#include "../../tools/DemoCommand.h"
#include "../../vecfile/VectorFile.h"
#include "ToolTestUtil.h"
#include "testing/FileBytes.h"
#include "testing/TempDir.h"

namespace orvane::tools {
namespace {

using testing::ReadFileBytes;

constexpr uint32_t kDim = 8;
constexpr uint64_t kRows = 300;

class CheckpointDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testutil::QuietLibraryLog();
        DemoConfig c;
        c.baseRows = kRows;
        c.dim = kDim;
        c.queryRows = 1;
        const DemoData data = GenerateClusteredData(c);
        ASSERT_TRUE(WriteFloatMatrix(Path("base.fvecs"), data.base.data(), kRows, kDim).IsOk());
    }
    std::string Path(const std::string& name) const { return _dir.File(name); }

    BuildRequest Request(const std::string& out, const std::string& encoding) {
        BuildRequest r;
        r.basePath = Path("base.fvecs");
        r.outputPath = Path(out);
        r.options = {{"index.type", "bruteforce"}, {"encoding.type", encoding}};
        r.batchRows = 32;
        return r;
    }
    std::vector<std::string> Checkpoints() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(Path("ckpt"))) {
            const std::string name = e.path().filename().string();
            if (name.starts_with("ckpt-")) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<float> ReadRows(uint64_t rows) const {
        auto reader = VectorFileReader::Open(Path("base.fvecs"));
        EXPECT_TRUE(reader.IsOk());
        std::vector<float> data(rows * kDim);
        EXPECT_TRUE(reader.Value().ReadFloats(0, rows, data.data()).IsOk());
        return data;
    }
    // Runs the build with a file size limit below the finished index's size: its
    // checkpoints are written and writing the index fails, as if it died there.
    static void InterruptedBuild(const BuildRequest& r, uint64_t limit) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit low = old;
        low.rlim_cur = limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
        auto built = BuildIndex(r, nullptr);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
        ASSERT_FALSE(built.IsOk());
    }

    testing::TempDir _dir;
};

TEST_F(CheckpointDirTest, CheckpointedAndResumedBuildsWriteThePlainIndex) {
    for (const std::string encoding : {"rawf32", "sq8"}) {
        ASSERT_TRUE(BuildIndex(Request("plain.idx", encoding), nullptr).IsOk()) << encoding;
        std::filesystem::remove_all(Path("ckpt"));
        BuildRequest checkpointed = Request("ckpt.idx", encoding);
        checkpointed.checkpointDir = Path("ckpt");
        auto first = BuildIndex(checkpointed, nullptr);
        ASSERT_TRUE(first.IsOk()) << encoding << ": " << first.GetStatus().Message();
        EXPECT_TRUE(first.Value().notes.empty());
        // A finished build leaves no checkpoint behind.
        EXPECT_TRUE(Checkpoints().empty()) << encoding;
        EXPECT_EQ(ReadFileBytes(Path("ckpt.idx")), ReadFileBytes(Path("plain.idx"))) << encoding;

        // A build that died while writing the index resumes from its newest
        // checkpoint (10 of them, after every 28 rows) and says so.
        std::filesystem::remove(Path("ckpt.idx"));
        InterruptedBuild(checkpointed, ReadFileBytes(Path("plain.idx")).size() - 1);
        EXPECT_EQ(Checkpoints(), (std::vector<std::string>{"ckpt-000009.idx", "ckpt-000010.idx"}))
            << encoding;
        auto second = BuildIndex(checkpointed, nullptr);
        ASSERT_TRUE(second.IsOk()) << encoding << ": " << second.GetStatus().Message();
        EXPECT_EQ(second.Value().notes,
                  (std::vector<std::string>{"resuming from checkpoint " +
                                            Path("ckpt/ckpt-000010.idx") + " (280 rows)"}));
        EXPECT_EQ(ReadFileBytes(Path("ckpt.idx")), ReadFileBytes(Path("plain.idx"))) << encoding;
        EXPECT_TRUE(Checkpoints().empty()) << encoding;
    }
}

// Checkpoints of one build are never resumed by another: other vectors, other
// options, more rows or another kind are refused naming the checkpoint and what
// differs, and no index is written.
TEST_F(CheckpointDirTest, ResumeOfAnotherBuildIsRefused) {
    std::vector<float> other = ReadRows(kRows);
    other[5 * kDim + 3] += 0.5f;  // row 5 differs, ids and shape are the same
    ASSERT_TRUE(WriteFloatMatrix(Path("other.fvecs"), other.data(), kRows, kDim).IsOk());
    std::vector<float> longer = ReadRows(kRows);
    longer.insert(longer.end(), longer.begin(), longer.end());
    ASSERT_TRUE(WriteFloatMatrix(Path("longer.fvecs"), longer.data(), 2 * kRows, kDim).IsOk());
    struct Case {
        const char* name;
        std::function<void(BuildRequest&)> change;
        const char* differs;
    };
    const Case cases[] = {
        {"other vectors", [&](BuildRequest& r) { r.basePath = Path("other.fvecs"); },
         "its 280 rows differ from the first rows of this build's input"},
        {"other options", [](BuildRequest& r) { r.options["pretrain.sample_ratio"] = "0.5"; },
         "it was written with other builder options"},
        {"other encoding", [](BuildRequest& r) { r.options["encoding.type"] = "sq8"; }, nullptr},
        {"more rows of the same file", [&](BuildRequest& r) { r.basePath = Path("longer.fvecs"); },
         "it was written by a build of 300 rows, this build has 600"},
    };
    ASSERT_TRUE(BuildIndex(Request("plain.idx", "rawf32"), nullptr).IsOk());
    const uint64_t limit = ReadFileBytes(Path("plain.idx")).size() - 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(Path("ckpt"));
        BuildRequest r = Request("x.idx", "rawf32");
        r.checkpointDir = Path("ckpt");
        InterruptedBuild(r, limit);
        c.change(r);
        auto resumed = BuildIndex(r, nullptr);
        ASSERT_FALSE(resumed.IsOk());
        const std::string message = resumed.GetStatus().Message();
        EXPECT_NE(message.find("--checkpoint-dir " + Path("ckpt") + ": cannot resume from " +
                               Path("ckpt/ckpt-000010.idx")),
                  std::string::npos)
            << message;
        // The shape checks name what differs in their own words.
        const std::string differs =
            c.differs != nullptr ? std::string("checkpoint belongs to another build: ") + c.differs
                                 : "Quantizer encoding type mismatch";
        EXPECT_NE(message.find(differs), std::string::npos) << message;
        EXPECT_FALSE(std::filesystem::exists(Path("x.idx")));
    }
}

// A diskann build below its checkpoint threshold says that it writes none.
TEST_F(CheckpointDirTest, DiskannBelowItsThresholdSaysNoCheckpointsAreWritten) {
    BuildRequest r = Request("d.idx", "rawf32");
    r.options["index.type"] = "diskann";
    r.checkpointDir = Path("ckpt");
    auto built = BuildIndex(r, nullptr);
    ASSERT_TRUE(built.IsOk()) << built.GetStatus().Message();
    EXPECT_EQ(built.Value().notes,
              (std::vector<std::string>{"no checkpoints will be written: 300 rows are fewer than "
                                        "extension.build.ckpt.threshold 100000"}));
    EXPECT_TRUE(Checkpoints().empty());
}

TEST_F(CheckpointDirTest, UnsupportedKindsAndUnusableDirectoriesAreRefused) {
    testing::WriteFileBytes(Path("a-file"), "x");
    struct Case {
        std::string name;
        std::string kind;
        std::string dir;
        std::string error;  // expected within the one error line
    };
    const std::vector<Case> cases = {
        {"demo kind", "demo", Path("ckpt"),
         "--checkpoint-dir: the demo kind: extension checkpoint not supported by demo builder"},
        {"directory under a file", "bruteforce", Path("a-file") + "/ckpt", Path("a-file")},
    };
    for (const Case& c : cases) {
        std::ostringstream out, err;
        CommandIo io{out, err, false};
        const std::vector<std::string> args = {"build",
                                               Path("base.fvecs"),
                                               "-o",
                                               "index.type=" + c.kind,
                                               "--output",
                                               Path("x.idx"),
                                               "--checkpoint-dir",
                                               c.dir,
                                               "-q"};
        const int code = RunCli(args, io);
        EXPECT_NE(code, kExitOk) << c.name;
        const std::string message = err.str();
        EXPECT_NE(message.find(c.error), std::string::npos) << c.name << ": " << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << c.name;
        EXPECT_FALSE(std::filesystem::exists(Path("x.idx"))) << c.name;
    }
}

}  // namespace
}  // namespace orvane::tools
