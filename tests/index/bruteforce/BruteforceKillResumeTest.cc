// A build killed with SIGKILL in the middle resumes from its last complete
// checkpoint in a local checkpoint directory and ends with the very index file
// an uninterrupted build writes, also when its newest checkpoint was damaged.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "orvane/api/Dataset.h"
#include "orvane/api/Options.h"
#include "extensions/experimental/BuildCombinedExtensionV0.h"
#include "api/builder/checkpoint/LocalCkptManager.h"
#include "index/bruteforce/BruteforceTestUtil.h"
#include "testing/FileBytes.h"
#include "testing/TempDir.h"

namespace orvane::index {
namespace {

using core::Status;
using extensions::experimental::CkptExtension;
using api::CreateLocalCkptManager;

constexpr uint32_t kDim = 8;
constexpr uint64_t kRows = 100;
constexpr uint64_t kBatch = 10;

// Hands out the rows in batches; before batch `pauseAt` it tells the parent
// through `signalFd` and waits to be killed.
class RowsDataset : public api::Dataset {
  public:
    RowsDataset(const std::vector<float>& rows, uint64_t pauseAt = 0, int signalFd = -1)
        : _rows(rows), _pauseAt(pauseAt), _signalFd(signalFd) {}
    uint32_t Dim() const override { return kDim; }
    uint64_t TotalSize() const override { return kRows; }
    core::Result<uint64_t> GetNextBatch(std::vector<float>& vectors,
                                        std::vector<uint64_t>& ids) override {
        if (_pauseAt != 0 && _next == _pauseAt * kBatch) {
            const char done = 1;
            if (::write(_signalFd, &done, 1) != 1) ::_exit(3);
            for (;;) ::pause();
        }
        const uint64_t n = std::min(kBatch, kRows - _next);
        vectors.assign(_rows.begin() + _next * kDim, _rows.begin() + (_next + n) * kDim);
        ids.clear();
        for (uint64_t i = 0; i < n; ++i) ids.push_back(5000 + 3 * (_next + i));
        _next += n;
        return n;
    }

  private:
    const std::vector<float>& _rows;
    uint64_t _pauseAt;
    int _signalFd;
    uint64_t _next = 0;
};

api::BuilderOptions Options(const std::string& encoding, bool checkpoints) {
    auto options = testing::BruteforceOptions(kDim, "l2", encoding);
    // 100 rows, 4 checkpoints: after rows 21, 42, 63 and 84.
    if (checkpoints) options.Values()["extension.build.ckpt.count"] = int64_t{4};
    return options;
}

// Builds, resuming from `ckptDir` when given; pretrains on `trainRows`.
Status Build(const std::string& encoding, const std::string& ckptDir,
             const std::vector<float>& trainRows, api::Dataset& data, const std::string& out) {
    auto builder = api::OrvaneBuilder::Create(Options(encoding, !ckptDir.empty()));
    if (!builder.IsOk()) return builder.TakeStatus();
    CkptExtension extension;
    if (!ckptDir.empty()) {
        ORVANE_RETURN_IF_ERROR(builder.Value().Attach(extension));
        auto manager = CreateLocalCkptManager(ckptDir);
        if (!manager.IsOk()) return manager.TakeStatus();
        ORVANE_RETURN_IF_ERROR(extension.LoadCkptManager(manager.TakeValue()));
    }
    ORVANE_RETURN_IF_ERROR(builder.Value().Pretrain(trainRows.data(), kRows));
    ORVANE_RETURN_IF_ERROR(builder.Value().InsertFrom(data));
    return builder.Value().Dump(api::IOOptions{{"index.path", out}});
}

// Runs a checkpointed build in a child process and kills it with SIGKILL once
// it has appended 60 rows (checkpoints after rows 21 and 42 written).
void BuildAndKill(const std::string& encoding, const std::string& ckptDir,
                  const std::vector<float>& rows, const std::string& out) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        RowsDataset data(rows, 6, fds[1]);
        (void)Build(encoding, ckptDir, rows, data, out);
        ::_exit(2);  // never reached: the parent kills the build first
    }
    ::close(fds[1]);
    char done = 0;
    ASSERT_EQ(::read(fds[0], &done, 1), 1);
    ::close(fds[0]);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST(BruteforceKillResumeTest, KilledBuildResumesToTheSameIndexFile) {
    const auto rows = testing::RandomRows(kRows, kDim, 11);
    const auto otherRows = testing::RandomRows(kRows, kDim, 12);
    struct Case {
        std::string encoding;
        bool damageNewest;
        std::vector<std::string> filesAfterKill;
    };
    const std::vector<Case> cases = {
        {"rawf32", false, {"LOCK", "ckpt-000001.idx", "ckpt-000002.idx"}},
        {"sq8", false, {"LOCK", "ckpt-000001.idx", "ckpt-000002.idx"}},
        {"rawf32", true, {"LOCK", "ckpt-000001.idx", "ckpt-000002.idx"}},
    };
    for (const Case& c : cases) {
        const std::string what = c.encoding + (c.damageNewest ? " damaged" : "");
        ::orvane::testing::TempDir dir;
        const std::string ckptDir = dir.File("ckpt");
        RowsDataset plainData(rows);
        ASSERT_TRUE(Build(c.encoding, "", rows, plainData, dir.File("plain.idx")).IsOk());

        BuildAndKill(c.encoding, ckptDir, rows, dir.File("resumed.idx"));
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(ckptDir)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.filesAfterKill) << what;
        EXPECT_FALSE(std::filesystem::exists(dir.File("resumed.idx"))) << what;
        if (c.damageNewest) {
            const std::string newest = ckptDir + "/ckpt-000002.idx";
            std::string bytes = ::orvane::testing::ReadFileBytes(newest);
            bytes[bytes.size() / 2] ^= 0x21;
            ::orvane::testing::WriteFileBytes(newest, bytes);
        }

        // The resumed build trains on other rows: that must not change the
        // model the checkpointed rows were encoded with.
        RowsDataset data(rows);
        Status resumed = Build(c.encoding, ckptDir, otherRows, data, dir.File("resumed.idx"));
        ASSERT_TRUE(resumed.IsOk()) << what << ": " << resumed.Message();
        EXPECT_TRUE(::orvane::testing::ReadFileBytes(dir.File("resumed.idx")) ==
                    ::orvane::testing::ReadFileBytes(dir.File("plain.idx")))
            << what;
        if (c.damageNewest) {
            EXPECT_TRUE(std::filesystem::exists(ckptDir + "/ckpt-000002.idx.damaged")) << what;
        }
    }
}

}  // namespace
}  // namespace orvane::index
