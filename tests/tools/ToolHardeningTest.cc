// What a first real user of the tool ran into: paths that block, outputs that replace
// what they should not, messages that name nothing, results lost on standard output,
// unsearchable files reported as fine, and the README's own command lines.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <streambuf>

#include "../../tools/BuildCommand.h"
#include "../../tools/Commands.h"
#include "../../tools/DemoCommand.h"
#include "../../tools/SearchCommand.h"
#include "Recall.h"
#include "ToolTestUtil.h"
#include "VectorFile.h"
#include "orvane/api/Options.h"
#include "orvane/io/FileWriter.h"
#include "io/OutputStream.h"
#include "testing/FileBytes.h"
#include "testing/TempDir.h"

namespace orvane::tools {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr uint32_t kDim = 8;
// Enough rows for the README's 256-list IVF line.
constexpr uint64_t kRows = 300;
constexpr uint64_t kQueries = 12;

class ToolHardeningTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testutil::QuietLibraryLog();
        DemoConfig c;
        c.baseRows = kRows;
        c.dim = kDim;
        c.queryRows = kQueries;
        c.clusters = 4;
        _data = GenerateClusteredData(c);
        ASSERT_TRUE(WriteFloatMatrix(Path("base.fvecs"), _data.base.data(), kRows, kDim).IsOk());
        ASSERT_TRUE(
            WriteFloatMatrix(Path("query.fvecs"), _data.queries.data(), kQueries, kDim).IsOk());
        auto truth =
            ExactNeighbors(_data.base.data(), kRows, _data.queries.data(), kQueries, kDim, 10);
        std::vector<int32_t> t(truth.begin(), truth.end());
        ASSERT_TRUE(WriteInt32Matrix(Path("gt.ivecs"), t.data(), kQueries, 10).IsOk());
    }
    std::string Path(const std::string& name) const { return _dir.File(name); }
    int Cli(std::vector<std::string> args, std::ostream* out = nullptr) {
        _out.str("");
        _err.str("");
        CommandIo io{out != nullptr ? *out : _out, _err, false};
        return RunCli(args, io);
    }
    int BuildDemo() {
        return Cli({"build", Path("base.fvecs"), "-o", "index.type=demo", "--output",
                    Path("base.idx"), "-q"});
    }

    TempDir _dir;
    DemoData _data;
    std::ostringstream _out, _err;
};

// Inputs are checked before they are opened: a FIFO would block the tool for ever,
// and a missing or unreadable file is named with the system's reason.
TEST_F(ToolHardeningTest, BadInputPathsAreNamedWithTheReason) {
    ASSERT_EQ(BuildDemo(), kExitOk);
    ASSERT_EQ(::mkfifo(Path("fifo.fvecs").c_str(), 0600), 0);
    std::filesystem::create_directory(Path("dir.fvecs"));
    struct Case {
        std::vector<std::string> args;
        std::string expect;
    };
    const std::string missing = Path("missing.fvecs");
    const Case cases[] = {
        {{"build", Path("fifo.fvecs"), "-o", "index.type=demo", "--output", Path("x.idx")},
         Path("fifo.fvecs") + ": cannot open vector file: a FIFO, not a regular file"},
        {{"build", missing, "-o", "index.type=demo", "--output", Path("x.idx")},
         missing + ": cannot open vector file: No such file or directory"},
        {{"build", Path("dir.fvecs"), "-o", "index.type=demo", "--output", Path("x.idx")},
         Path("dir.fvecs") + ": cannot open vector file: a directory, not a regular file"},
        {{"build", "", "-o", "index.type=demo", "--output", Path("x.idx")},
         "empty path given for the vector file"},
        {{"search", Path("base.idx"), "--queries", Path("fifo.fvecs")},
         Path("fifo.fvecs") + ": cannot open query file: a FIFO, not a regular file"},
        {{"search", Path("base.idx"), Path("query.fvecs"), "--truth", Path("fifo.fvecs")},
         Path("fifo.fvecs") + ": cannot open truth file: a FIFO, not a regular file"},
        {{"search", Path("nothere.idx"), Path("query.fvecs")},
         Path("nothere.idx") + ": cannot open index file: No such file or directory"},
        {{"search", Path("dir.fvecs"), Path("query.fvecs")},
         Path("dir.fvecs") + ": cannot open index file: a directory, not a regular file"},
        {{"info", Path("fifo.fvecs")},
         Path("fifo.fvecs") + ": cannot open index file: a FIFO, not a regular file"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Cli(c.args), kExitFailure) << c.expect;
        EXPECT_NE(_err.str().find(c.expect), std::string::npos) << _err.str();
    }
    EXPECT_FALSE(std::filesystem::exists(Path("x.idx")));
}

// Outputs never replace an input, a device node or a directory, and a symbolic link
// is written through to its target.
TEST_F(ToolHardeningTest, OutputsReplaceOnlyRegularFiles) {
    ASSERT_EQ(BuildDemo(), kExitOk);
    const std::string queriesBefore = ReadFileBytes(Path("query.fvecs"));
    const std::string truthBefore = ReadFileBytes(Path("gt.ivecs"));
    ASSERT_EQ(::mkfifo(Path("out.fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(Path("outdir"));
    ASSERT_EQ(::symlink("gt.ivecs", Path("gt-link.ivecs").c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        std::string expect;
    };
    const std::vector<std::string> search = {"search",  Path("base.idx"), Path("query.fvecs"),
                                             "--truth", Path("gt.ivecs"), "--output"};
    auto with = [&](const std::string& out) {
        std::vector<std::string> args = search;
        args.push_back(out);
        return args;
    };
    const Case cases[] = {
        {with(Path("query.fvecs")), "would overwrite the input file"},
        {with(Path("gt.ivecs")), "would overwrite the input file"},
        {with(Path("gt-link.ivecs")), "would overwrite the input file"},
        {with(Path("base.idx")), "would overwrite the input file"},
        {with(Path("out.fifo")), "the path exists and is a FIFO, not a regular file"},
        {with(Path("outdir")), "the path exists and is a directory, not a regular file"},
        {with(Path("query.fvecs/x.json")), "x.json: cannot write: Not a directory"},
        {{"build", Path("base.fvecs"), "-o", "index.type=demo", "--output", Path("out.fifo")},
         "the path exists and is a FIFO, not a regular file"},
        {{"build", Path("base.fvecs"), "-o", "index.type=demo", "--output", "/dev/null"},
         "the path exists and is a device, not a regular file"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Cli(c.args), kExitFailure) << c.args.back();
        EXPECT_NE(_err.str().find(c.expect), std::string::npos) << _err.str();
    }
    EXPECT_EQ(ReadFileBytes(Path("query.fvecs")), queriesBefore);
    EXPECT_EQ(ReadFileBytes(Path("gt.ivecs")), truthBefore);
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    // Through a link: the link stays, its target gets the index.
    ASSERT_EQ(::symlink("real.idx", Path("link.idx").c_str()), 0);
    ASSERT_EQ(Cli({"build", Path("base.fvecs"), "-o", "index.type=demo", "--output",
                   Path("link.idx"), "-q"}),
              kExitOk)
        << _err.str();
    EXPECT_TRUE(std::filesystem::is_symlink(Path("link.idx")));
    EXPECT_EQ(ReadFileBytes(Path("real.idx")), ReadFileBytes(Path("base.idx")));
}

// Output type, truth shape and output directory are checked before the first query,
// so a long run never fails at its end.
TEST_F(ToolHardeningTest, RunShapeIsCheckedBeforeSearching) {
    ASSERT_EQ(BuildDemo(), kExitOk);
    std::vector<int32_t> narrow(kQueries * 3, 0);
    ASSERT_TRUE(WriteInt32Matrix(Path("narrow.ivecs"), narrow.data(), kQueries, 3).IsOk());
    int searched = 0;
    SearchRequest r;
    r.indexPath = Path("base.idx");
    r.queriesPath = Path("query.fvecs");
    r.topk = 5;
    r.onHits = [&searched](uint64_t, std::span<const api::SearchHit>) {
        ++searched;
        return core::Status::Ok();
    };
    struct Case {
        std::optional<std::string> output, truth;
        std::string expect;
    };
    const Case cases[] = {
        {Path("hits.txt"), std::nullopt, "cannot write hits to this file type"},
        {Path("hits.npy"), std::nullopt, "cannot write hits to this file type"},
        {Path("hits.json"), Path("narrow.ivecs"), "has 3 neighbours per query, fewer than topk 5"},
        {std::nullopt, Path("base.fvecs"), "has 300 rows but there are 12 queries"},
    };
    for (const Case& c : cases) {
        r.outputPath = c.output;
        r.truthPath = c.truth;
        auto result = SearchIndex(r);
        ASSERT_FALSE(result.IsOk()) << c.expect;
        EXPECT_NE(result.GetStatus().Message().find(c.expect), std::string::npos)
            << result.GetStatus().Message();
    }
    EXPECT_EQ(searched, 0);
    EXPECT_FALSE(std::filesystem::exists(Path("hits.json")));
}

// Hits are handed on as each query is answered; a sink that fails ends the run there.
TEST_F(ToolHardeningTest, HitsAreStreamedNotCollected) {
    ASSERT_EQ(BuildDemo(), kExitOk);
    SearchRequest r;
    r.indexPath = Path("base.idx");
    r.queriesPath = Path("query.fvecs");
    r.truthPath = Path("gt.ivecs");
    uint64_t calls = 0;
    r.onHits = [&calls](uint64_t query, std::span<const api::SearchHit>) {
        ++calls;
        return query == 4 ? core::Status(core::ErrorCode::IoError, "sink full")
                          : core::Status::Ok();
    };
    auto failed = SearchIndex(r);
    ASSERT_FALSE(failed.IsOk());
    EXPECT_EQ(failed.GetStatus().Message(), "sink full");
    EXPECT_EQ(calls, 5u);

    // Streamed output and streamed recall give the same answers as before.
    ASSERT_EQ(Cli({"search", Path("base.idx"), Path("query.fvecs"), "--truth", Path("gt.ivecs"),
                   "--output", Path("hits.ivecs")}),
              kExitOk)
        << _err.str();
    EXPECT_NE(_out.str().find("recall@10: 1.0000"), std::string::npos) << _out.str();
    auto hits = VectorFileReader::Open(Path("hits.ivecs"));
    ASSERT_TRUE(hits.IsOk());
    std::vector<uint64_t> got(kQueries * 10), want(kQueries * 10);
    ASSERT_TRUE(hits.Value().ReadUInt64(0, kQueries, got.data()).IsOk());
    auto truth = VectorFileReader::Open(Path("gt.ivecs"));
    ASSERT_TRUE(truth.Value().ReadUInt64(0, kQueries, want.data()).IsOk());
    for (uint64_t q = 0; q < kQueries; ++q) EXPECT_EQ(got[q * 10], want[q * 10]) << q;
}

// A stream buffer that refuses every byte, like a full disk behind standard output.
class FullBuf : public std::streambuf {
  protected:
    int overflow(int) override { return traits_type::eof(); }
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST_F(ToolHardeningTest, LostStandardOutputIsAFailure) {
    ASSERT_EQ(BuildDemo(), kExitOk);
    FullBuf buf;
    std::ostream full(&buf);
    EXPECT_EQ(Cli({"search", Path("base.idx"), Path("query.fvecs")}, &full), kExitFailure);
    EXPECT_NE(_err.str().find("cannot write to standard output"), std::string::npos) << _err.str();
    std::ostream full2(&buf);
    EXPECT_EQ(Cli({"info", Path("base.idx")}, &full2), kExitFailure);
}

// `info` fails on containers that hold nothing a searcher could open.
TEST_F(ToolHardeningTest, InfoRefusesUnsearchableFiles) {
    auto write = [&](const std::string& name, const std::string& section,
                     const std::string& payload) {
        auto writer = io::CreateFileWriter(api::IOOptions{{"index.path", Path(name)}});
        ASSERT_TRUE(writer.IsOk());
        io::OutputStream stream(writer.TakeValue());
        ASSERT_TRUE(stream.Init(api::IOOptions()).IsOk());
        if (!section.empty()) {
            ASSERT_TRUE(stream.Write(payload.data(), payload.size()).IsOk());
            ASSERT_TRUE(stream.SealSection(section, 64).IsOk());
        }
        ASSERT_TRUE(stream.Close().IsOk());
    };
    write("empty.idx", "", "");
    write("foreign.idx", "other.section", "abc");
    write("short.idx", "demo.section.meta", "");
    write("zero.idx", "demo.section.meta", std::string(8, '\0'));
    struct Case {
        const char* file;
        const char* expect;
    };
    const Case cases[] = {
        {"empty.idx", "cannot be searched: the file holds no sections"},
        {"foreign.idx", "cannot be searched: no known index kind's meta section"},
        {"zero.idx", "cannot be searched: the meta section demo.section.meta gives dimension 0"},
        {"short.idx", "cannot be searched: the meta section demo.section.meta cannot be read"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Cli({"info", Path(c.file)}), kExitFailure) << c.file;
        EXPECT_NE(_err.str().find(c.expect), std::string::npos) << _err.str();
    }
    ASSERT_EQ(BuildDemo(), kExitOk);
    EXPECT_EQ(Cli({"info", Path("base.idx")}), kExitOk) << _err.str();
}

// `info` opens the file as a search would: a container that is sound but that the
// kind's searcher refuses (a section name damaged, which no checksum covers) fails.
TEST_F(ToolHardeningTest, InfoRefusesFilesTheSearcherRefuses) {
    struct Case {
        const char* kind;
        const char* section;  // renamed in place by one byte
        const char* expect;
    };
    const Case cases[] = {
        {"demo", "demo.section.vector", "demo searcher refuses it: "},
        {"bruteforce", "bruteforce.section.ids", "bruteforce searcher refuses it: "},
        {"bruteforce", "bruteforce.section.vector", "bruteforce searcher refuses it: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.section);
        const std::string idx = Path(std::string(c.kind) + ".idx");
        ASSERT_EQ(Cli({"build", Path("base.fvecs"), "-o", std::string("index.type=") + c.kind,
                       "--output", idx, "-q"}),
                  kExitOk)
            << _err.str();
        ASSERT_EQ(Cli({"info", idx}), kExitOk) << _err.str();
        std::string bytes = ReadFileBytes(idx);
        const size_t at = bytes.find(c.section);
        ASSERT_NE(at, std::string::npos);
        bytes[at + std::string(c.section).size() - 1] ^= 0x20;
        WriteFileBytes(idx, bytes);
        EXPECT_EQ(Cli({"info", idx}), kExitFailure);
        EXPECT_NE(_err.str().find(std::string("cannot be searched: the ") + c.expect),
                  std::string::npos)
            << _err.str();
    }
}

TEST_F(ToolHardeningTest, DemoKeepsExistingFiles) {
    const std::string dir = Path("kept");
    std::filesystem::create_directory(dir);
    for (const std::string& name : DemoFileNames()) {
        WriteFileBytes(dir + "/" + name, "mine");
        EXPECT_EQ(Cli({"demo", "--small", "--keep", dir}), kExitFailure) << name;
        EXPECT_NE(_err.str().find(dir + "/" + name + " already exists"), std::string::npos)
            << _err.str();
        EXPECT_EQ(ReadFileBytes(dir + "/" + name), "mine");
        std::filesystem::remove(dir + "/" + name);
    }
}

// A memory lock the user asked for and did not get is said on stderr without
// --verbose (the search goes on unlocked); the library's other warnings stay
// quiet. The child drops to an unprivileged user whose lock limit is 0.
TEST_F(ToolHardeningTest, FailedMemoryLockIsSaidWithoutVerbose) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer turns mlock into a no-op that succeeds";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the address sanitizer turns mlock into a no-op that succeeds";
#endif
#endif
    ASSERT_EQ(BuildDemo(), kExitOk);
    ASSERT_EQ(::chmod(Path("").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(Path("base.idx").c_str(), 0644), 0);
    ASSERT_EQ(::chmod(Path("query.fvecs").c_str(), 0644), 0);
    const struct {
        const char* lockMode;
        bool warned;
    } cases[] = {{"mlock", true}, {"none", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lockMode);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
            const struct rlimit none { 0, 0 };
            if (::setrlimit(RLIMIT_MEMLOCK, &none) != 0) ::_exit(4);
            const int rc = Cli({"search", Path("base.idx"), Path("query.fvecs"), "-q", "-o",
                                "io.reader.type=mmap", "-o",
                                std::string("io.reader.mmap.lock_mode=") + c.lockMode});
            const std::string report = std::to_string(rc) + "\n" + _err.str();
            ::_exit(::write(fds[1], report.data(), report.size()) ==
                            static_cast<ssize_t>(report.size())
                        ? 0
                        : 5);
        }
        ::close(fds[1]);
        std::string report;
        char chunk[512];
        for (ssize_t n; (n = ::read(fds[0], chunk, sizeof(chunk))) > 0;) report.append(chunk, n);
        ::close(fds[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 3 || WEXITSTATUS(status) == 4) {
            GTEST_SKIP() << "cannot drop privileges or the lock limit here";
        }
        ASSERT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(report.rfind("0\n", 0), 0u) << report;  // the search itself succeeds
        const std::string warning =
            "orvane: warning: Failed to mlock file [" + Path("base.idx") + "]";
        EXPECT_EQ(report.find(warning) != std::string::npos, c.warned) << report;
        EXPECT_EQ(report.find("WARN"), std::string::npos) << report;
    }
}

TEST_F(ToolHardeningTest, SearchHelpWarnsAboutMappedFiles) {
    ASSERT_EQ(Cli({"search", "--help"}), kExitOk);
    EXPECT_NE(_out.str().find("SIGBUS"), std::string::npos);
    EXPECT_NE(_out.str().find("io.verify_crc=true"), std::string::npos);
}

// Every command line of the README's tool section, run as written against a small
// generated dataset in the names the README uses.
TEST_F(ToolHardeningTest, ReadmeCommandLinesWork) {
    std::ifstream readme(std::string(ORVANE_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(readme) << "README.md not found";
    std::vector<std::vector<std::string>> lines;
    bool inSection = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("## ", 0) == 0)
            inSection = line.find("command-line tool") != std::string::npos;
        if (!inSection || line.rfind("    build/orvane ", 0) != 0) continue;
        std::istringstream words(line);
        std::vector<std::string> args;
        for (std::string w; words >> w;) args.push_back(w);
        args.erase(args.begin());  // build/orvane
        lines.push_back(std::move(args));
    }
    ASSERT_GE(lines.size(), 4u);
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(_dir.path());
    for (const auto& args : lines) {
        const int code = Cli(args);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(code, kExitOk) << shown << "\n" << _err.str();
    }
    std::filesystem::current_path(before);
    EXPECT_TRUE(std::filesystem::exists(Path("base.idx")));
}

}  // namespace
}  // namespace orvane::tools
