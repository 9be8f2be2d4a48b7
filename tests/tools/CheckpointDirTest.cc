// `orvane build --checkpoint-dir`: a checkpointed build writes the same index
// as a plain one, a second run resumes from the checkpoints left behind, and
// kinds or directories that cannot take checkpoints are refused in one line.
#include <gtest/gtest.h>

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
        // 300 rows take the default of 10 checkpoints; the newest two are kept.
        EXPECT_EQ(Checkpoints(), (std::vector<std::string>{"ckpt-000009.idx", "ckpt-000010.idx"}))
            << encoding;
        EXPECT_EQ(ReadFileBytes(Path("ckpt.idx")), ReadFileBytes(Path("plain.idx"))) << encoding;

        // Run again as after a crash: it resumes from the newest checkpoint.
        std::filesystem::remove(Path("ckpt.idx"));
        auto second = BuildIndex(checkpointed, nullptr);
        ASSERT_TRUE(second.IsOk()) << encoding << ": " << second.GetStatus().Message();
        EXPECT_EQ(ReadFileBytes(Path("ckpt.idx")), ReadFileBytes(Path("plain.idx"))) << encoding;
    }
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
