#include "../../vecfile/PartialFile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "io/LocalFileWriter.h"

#include "testing/FileBytes.h"
#include "testing/TempDir.h"
#include "tools/ToolTestUtil.h"

namespace orvane::tools {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

TEST(PartialFileTest, CommitMovesTheFileIntoPlaceAndAbandonRemovesIt) {
    TempDir dir;
    WriteFileBytes(dir.File("out.idx"), "old");
    {
        PartialFile p(dir.File("out.idx"));
        EXPECT_NE(p.TempPath(), p.FinalPath());
        WriteFileBytes(p.TempPath(), "new");
        ASSERT_TRUE(p.Commit().IsOk());
    }
    EXPECT_EQ(ReadFileBytes(dir.File("out.idx")), "new");
    {
        PartialFile p(dir.File("out.idx"));
        WriteFileBytes(p.TempPath(), "half");
    }
    // Abandoned: the earlier file is untouched and no temporary file is left.
    EXPECT_EQ(ReadFileBytes(dir.File("out.idx")), "new");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"out.idx"});

    PartialFile missing(dir.File("none/x.idx"));
    EXPECT_FALSE(missing.Commit().IsOk());
}

TEST(PartialFileTest, TerminationSignalRemovesTheTemporaryFile) {
    TempDir dir;
    const std::string target = dir.File("out.idx");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        InstallSignalCleanup();
        PartialFile p(target);
        WriteFileBytes(p.TempPath(), "half written");
        ::raise(SIGTERM);
        ::_exit(0);  // not reached: the default action ends the process
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_TRUE(dir.List().empty());
}

// The library writer's own temporary file is removed on a signal too (the data of an
// index being dumped is there, not under the tool's partial name).
TEST(PartialFileTest, SignalsRemoveTheLibraryWritersTemporaryFiles) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        TempDir dir;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            InstallSignalCleanup();
            io::LocalFileWriter writer(dir.File("index.idx"));
            std::string block(1 << 21, 'x');  // past the buffer: bytes reach the file
            if (!writer.Write(block.data(), block.size()).IsOk()) ::_exit(3);
            PartialFile partial(dir.File("truth.ivecs"));
            WriteFileBytes(partial.TempPath(), "half");
            if (dir.List().size() != 2) ::_exit(4);
            ::raise(sig);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), sig);
        EXPECT_TRUE(dir.List().empty()) << dir.List().front();
    }
}

// A process id that belonged to a process which has ended.
pid_t DeadPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

TEST(PartialFileTest, StaleTemporaryFilesOfDeadProcessesAreRemoved) {
    TempDir dir;
    const std::string dead = std::to_string(DeadPid());
    const std::string live = std::to_string(::getppid());
    // Left by writers killed without a chance to clean up.
    WriteFileBytes(dir.File("a.idx.tmp." + dead + ".0.123"), "x");
    WriteFileBytes(dir.File("a.idx.partial." + dead), "x");
    // Not stale: a live writer, another target, names that only look alike.
    WriteFileBytes(dir.File("a.idx.tmp." + live + ".0.1"), "x");
    WriteFileBytes(dir.File("b.idx.tmp." + dead + ".0.1"), "x");
    WriteFileBytes(dir.File("a.idx.tmp.notes"), "x");
    WriteFileBytes(dir.File("a.idx.partial." + dead + "x"), "x");
    {
        io::LocalFileWriter writer(dir.File("a.idx"));
        ASSERT_TRUE(writer.Write("abc", 3).IsOk());
        ASSERT_TRUE(writer.Close().IsOk());
    }
    { PartialFile partial(dir.File("a.idx")); }
    std::vector<std::string> want = {"a.idx", "a.idx.partial." + dead + "x",
                                     "a.idx.tmp." + live + ".0.1", "a.idx.tmp.notes",
                                     "b.idx.tmp." + dead + ".0.1"};
    std::vector<std::string> got = dir.List();
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace orvane::tools
