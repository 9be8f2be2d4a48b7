#include "../../vecfile/PartialFile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

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

}  // namespace
}  // namespace orvane::tools
