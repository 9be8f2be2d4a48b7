#include "../../tools/PartialFile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "ToolTestUtil.h"

namespace orvane::tools {
namespace {

using testutil::ReadBytes;
using testutil::ScratchDir;
using testutil::WriteBytes;

TEST(PartialFileTest, CommitMovesTheFileIntoPlaceAndAbandonRemovesIt) {
    ScratchDir dir;
    WriteBytes(dir.Path("out.idx"), "old");
    {
        PartialFile p(dir.Path("out.idx"));
        EXPECT_NE(p.TempPath(), p.FinalPath());
        WriteBytes(p.TempPath(), "new");
        ASSERT_TRUE(p.Commit().IsOk());
    }
    EXPECT_EQ(ReadBytes(dir.Path("out.idx")), "new");
    {
        PartialFile p(dir.Path("out.idx"));
        WriteBytes(p.TempPath(), "half");
    }
    // Abandoned: the earlier file is untouched and no temporary file is left.
    EXPECT_EQ(ReadBytes(dir.Path("out.idx")), "new");
    EXPECT_EQ(dir.Files(), std::vector<std::string>{"out.idx"});

    PartialFile missing(dir.Path("none/x.idx"));
    EXPECT_FALSE(missing.Commit().IsOk());
}

TEST(PartialFileTest, TerminationSignalRemovesTheTemporaryFile) {
    ScratchDir dir;
    const std::string target = dir.Path("out.idx");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        PartialFile p(target);
        WriteBytes(p.TempPath(), "half written");
        ::raise(SIGTERM);
        ::_exit(0);  // not reached: the default action ends the process
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_TRUE(dir.Files().empty());
}

}  // namespace
}  // namespace orvane::tools
