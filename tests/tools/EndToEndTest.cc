// The tool's subcommands end to end on small generated data: build, search and info
// through their functions and through RunCli, and the failures a user can provoke.
#include <gtest/gtest.h>

#include <sstream>

#include "../../tools/BuildCommand.h"
#include "../../tools/Commands.h"
#include "../../tools/DemoCommand.h"
#include "../../tools/HitWriter.h"
#include "../../tools/IndexFile.h"
#include "../../tools/InfoCommand.h"
#include "../../tools/SearchCommand.h"
#include "../../vecfile/VectorFile.h"
#include "ToolTestUtil.h"
#include "api/BuildThreadDefaults.h"
#include "index/IndexKindRegistry.h"
#include "testing/FileBytes.h"
#include "testing/TempDir.h"

namespace orvane::tools {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;
using testutil::Append;

constexpr uint32_t kDim = 8;

class ToolEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testutil::QuietLibraryLog();
        DemoConfig c;
        c.baseRows = 300;
        c.dim = kDim;
        c.queryRows = 20;
        c.clusters = 4;
        _data = GenerateClusteredData(c);
        ASSERT_TRUE(WriteFloatMatrix(Path("base.fvecs"), _data.base.data(), 300, kDim).IsOk());
        ASSERT_TRUE(WriteFloatMatrix(Path("q.npy"), _data.queries.data(), 20, kDim).IsOk());
        auto truth = ExactNeighbors(_data.base.data(), 300, _data.queries.data(), 20, kDim, 10);
        std::vector<int32_t> t(truth.begin(), truth.end());
        ASSERT_TRUE(WriteInt32Matrix(Path("truth.ivecs"), t.data(), 20, 10).IsOk());
    }
    std::string Path(const std::string& name) const { return _dir.File(name); }

    BuildRequest DemoBuild(const std::string& base, const std::string& out) {
        BuildRequest r;
        r.basePath = Path(base);
        r.outputPath = Path(out);
        r.options = {{"index.type", "demo"}};
        r.batchRows = 64;
        return r;
    }
    // Runs `orvane ARGS`, capturing both streams.
    int Cli(std::vector<std::string> args) {
        _out.str("");
        _err.str("");
        CommandIo io{_out, _err, false};
        return RunCli(args, io);
    }

    TempDir _dir;
    DemoData _data;
    std::ostringstream _out, _err;
};

TEST_F(ToolEndToEndTest, BuildSearchInfoThroughTheFunctions) {
    std::ostringstream progressOut;
    Progress progress(progressOut, false);
    auto built = BuildIndex(DemoBuild("base.fvecs", "a.idx"), &progress);
    ASSERT_TRUE(built.IsOk()) << built.GetStatus().Message();
    EXPECT_EQ(built.Value().count, 300u);
    EXPECT_EQ(built.Value().dim, kDim);
    EXPECT_EQ(built.Value().type, "demo");
    EXPECT_GT(built.Value().fileBytes, 300u * kDim * 4);
    EXPECT_NE(progressOut.str().find("pretrain: started, 300 rows"), std::string::npos);
    EXPECT_NE(progressOut.str().find("insert: 100.0% 300/300"), std::string::npos);
    // The work after the last row is read, and the writing, show as phases.
    for (const char* phase : {"train: done in ", "finish insert: done in ", "write: done in "}) {
        EXPECT_NE(progressOut.str().find(phase), std::string::npos) << phase;
    }
    EXPECT_EQ(_dir.List(),
              (std::vector<std::string>{"a.idx", "base.fvecs", "q.npy", "truth.ivecs"}));

    SearchRequest s;
    s.indexPath = Path("a.idx");
    s.queriesPath = Path("q.npy");
    s.truthPath = Path("truth.ivecs");
    s.topk = 10;
    std::vector<std::vector<api::SearchHit>> seen;
    s.onHits = [&seen](uint64_t query, std::span<const api::SearchHit> hits) {
        EXPECT_EQ(query, seen.size());
        seen.emplace_back(hits.begin(), hits.end());
        return core::Status::Ok();
    };
    auto searched = SearchIndex(s);
    ASSERT_TRUE(searched.IsOk()) << searched.GetStatus().Message();
    const SearchReport& r = searched.Value();
    EXPECT_EQ(r.type, "demo");  // told by the file
    EXPECT_EQ(r.meta.count, 300u);
    EXPECT_EQ(r.meta.dim, kDim);
    EXPECT_EQ(r.queries, 20u);
    ASSERT_EQ(seen.size(), 20u);
    for (const auto& hits : seen) {
        ASSERT_EQ(hits.size(), 10u);
        for (size_t i = 1; i < hits.size(); ++i) EXPECT_LE(hits[i - 1].distance, hits[i].distance);
    }
    ASSERT_TRUE(r.recall.has_value());
    EXPECT_DOUBLE_EQ(*r.recall, 1.0);  // the demo kind is an exact scan
    EXPECT_GT(r.Qps(), 0.0);
    EXPECT_LE(r.latency.p50Micros, r.latency.p99Micros);

    auto info = DescribeIndexFile(Path("a.idx"), {}, true);
    ASSERT_TRUE(info.IsOk()) << info.GetStatus().Message();
    ASSERT_EQ(info.Value().sections.size(), 2u);
    EXPECT_EQ(info.Value().sections[0].name, "demo.section.meta");
    EXPECT_EQ(info.Value().sections[0].offset, 64u);
    EXPECT_EQ(info.Value().sections[0].size, 64u);
    EXPECT_EQ(info.Value().sections[0].padding, 56u);
    EXPECT_EQ(info.Value().sections[1].name, "demo.section.vector");
    EXPECT_EQ(info.Value().sections[1].size, 300u * kDim * 4);
    for (const SectionInfo& sec : info.Value().sections) EXPECT_EQ(sec.crc, CrcState::kOk);
    ASSERT_TRUE(info.Value().meta.has_value());
    EXPECT_EQ(info.Value().meta->count, 300u);
    EXPECT_EQ(info.Value().meta->dim, kDim);
}

TEST_F(ToolEndToEndTest, AllInputFormatsBuildTheSameIndexAndDemoRefusesIds) {
    ASSERT_TRUE(WriteFloatMatrix(Path("base.fbin"), _data.base.data(), 300, kDim).IsOk());
    ASSERT_TRUE(WriteFloatMatrix(Path("base.npy"), _data.base.data(), 300, kDim).IsOk());
    std::string ids;
    for (uint64_t i = 0; i < 300; ++i) Append<uint64_t>(ids, i * 3);
    WriteFileBytes(Path("ids.bin"), ids);
    // The demo kind keeps no ids: caller ids would come back as row positions.
    BuildRequest withIds = DemoBuild("base.fbin", "b.idx");
    withIds.idsPath = Path("ids.bin");
    auto refused = BuildIndex(withIds, nullptr);
    ASSERT_FALSE(refused.IsOk());
    EXPECT_EQ(refused.GetStatus().Message(),
              "the demo index stores no row ids (its hits are row positions): drop --ids");
    ASSERT_TRUE(BuildIndex(DemoBuild("base.fbin", "b.idx"), nullptr).IsOk());
    ASSERT_TRUE(BuildIndex(DemoBuild("base.npy", "c.idx"), nullptr).IsOk());
    ASSERT_TRUE(BuildIndex(DemoBuild("base.fvecs", "d.idx"), nullptr).IsOk());
    EXPECT_EQ(ReadFileBytes(Path("b.idx")), ReadFileBytes(Path("d.idx")));
    EXPECT_EQ(ReadFileBytes(Path("c.idx")), ReadFileBytes(Path("d.idx")));
}

TEST_F(ToolEndToEndTest, BuildFailuresLeaveNoIndexFileBehind) {
    // Rows 0..199 are fine, row 200 claims another dimension: the build fails after
    // reading part of the file.
    std::string bytes = ReadFileBytes(Path("base.fvecs"));
    const size_t row = 4 + kDim * 4;
    int32_t wrong = kDim + 1;
    std::memcpy(&bytes[200 * row], &wrong, 4);
    WriteFileBytes(Path("bad.fvecs"), bytes);

    struct Case {
        const char* what;
        BuildRequest request;
        const char* expect;
    };
    std::vector<Case> cases;
    cases.push_back({"bad row", DemoBuild("bad.fvecs", "x.idx"), "row 200 has dimension 9"});
    BuildRequest unknown = DemoBuild("base.fvecs", "x.idx");
    unknown.options["demo.build.speed"] = "fast";
    cases.push_back({"unknown key", unknown, "Unknown option key: demo.build.speed"});
    BuildRequest kind = DemoBuild("base.fvecs", "x.idx");
    kind.options["index.type"] = "hnsw";
    cases.push_back({"unknown kind", kind, "Option index.type has unsupported value: hnsw (one of demo, bruteforce, ivf, diskann)"});
    BuildRequest dim = DemoBuild("base.fvecs", "x.idx");
    dim.options["index.dimension"] = "16";
    cases.push_back({"dimension", dim, "vectors have dimension 8 but index.dimension is 16"});
    BuildRequest value = DemoBuild("base.fvecs", "x.idx");
    value.options["pretrain.sample_ratio"] = "2";
    cases.push_back({"bad value", value, "must be in (0,1]"});
    BuildRequest notype = DemoBuild("base.fvecs", "x.idx");
    notype.options.clear();
    cases.push_back({"no type", notype, "index.type is required"});
    BuildRequest twoPaths = DemoBuild("base.fvecs", "x.idx");
    twoPaths.options["index.path"] = Path("y.idx");
    cases.push_back({"two outputs", twoPaths, "name different files"});
    BuildRequest overwrite = DemoBuild("base.fvecs", "base.fvecs");
    cases.push_back({"overwrite input", overwrite, "would overwrite the input file"});
    BuildRequest badIo = DemoBuild("base.fvecs", "x.idx");
    badIo.options["io.reader.type"] = "tape";
    cases.push_back({"bad io option", badIo, "io.reader.type"});

    for (Case& c : cases) {
        auto r = BuildIndex(c.request, nullptr);
        ASSERT_FALSE(r.IsOk()) << c.what;
        EXPECT_NE(r.GetStatus().Message().find(c.expect), std::string::npos)
            << c.what << ": " << r.GetStatus().Message();
        EXPECT_EQ(_dir.List(),
                  (std::vector<std::string>{"bad.fvecs", "base.fvecs", "q.npy", "truth.ivecs"}))
            << c.what;
    }
}

TEST_F(ToolEndToEndTest, SearchFailuresAreReportedWithTheirCause) {
    ASSERT_TRUE(BuildIndex(DemoBuild("base.fvecs", "a.idx"), nullptr).IsOk());
    std::vector<float> q16(2 * 16, 0.5f);
    ASSERT_TRUE(WriteFloatMatrix(Path("q16.fvecs"), q16.data(), 2, 16).IsOk());
    std::string damaged = ReadFileBytes(Path("a.idx"));
    damaged[200] ^= 0x40;  // inside the vector section
    WriteFileBytes(Path("damaged.idx"), damaged);
    WriteFileBytes(Path("short.idx"), damaged.substr(0, 100));

    ASSERT_TRUE(WriteFloatMatrix(Path("empty.fbin"), q16.data(), 0, 8).IsOk());
    auto search = [&](const std::string& index, const std::string& queries,
                      TextOptions searcher = {}, TextOptions opts = {}) {
        SearchRequest s;
        s.indexPath = Path(index);
        s.queriesPath = Path(queries);
        s.searcherOptions = std::move(searcher);
        s.searchOptions = std::move(opts);
        return SearchIndex(s);
    };
    struct Case {
        const char* what;
        core::Result<SearchReport> result;
        const char* expect;
    };
    Case cases[] = {
        {"dimension", search("a.idx", "q16.fvecs"),
         "queries have dimension 16 but the index has "
         "dimension 8"},
        {"missing index", search("none.idx", "q.npy"), "cannot open index file"},
        {"short index", search("short.idx", "q.npy"),
         "File too small to contain header and footer"},
        {"crc", search("damaged.idx", "q.npy", {{"io.verify_crc", "true"}}), "CRC mismatch"},
        {"unknown search key", search("a.idx", "q.npy", {}, {{"search.nprobe", "4"}}),
         "Unknown option key: search.nprobe"},
        {"bad topk", search("a.idx", "q.npy", {}, {{"search.topk", "0"}}), "must be > 0"},
        {"unknown searcher key", search("a.idx", "q.npy", {{"cache", "1"}}),
         "Unknown option key: cache"},
        {"declared dimension", search("a.idx", "q16.fvecs", {{"index.dimension", "16"}}),
         "DemoSearcher dimension mismatch"},
        {"integer queries", search("a.idx", "truth.ivecs"), "float32 queries are needed"},
        {"no queries", search("a.idx", "empty.fbin"), "empty.fbin: contains no vectors"},
    };
    for (Case& c : cases) {
        ASSERT_FALSE(c.result.IsOk()) << c.what;
        EXPECT_NE(c.result.GetStatus().Message().find(c.expect), std::string::npos)
            << c.what << ": " << c.result.GetStatus().Message();
    }
    // Without the CRC check the damaged section still opens and answers.
    EXPECT_TRUE(search("damaged.idx", "q.npy").IsOk());
}

// Writes the given hits through a HitWriter and returns its final status.
core::Status WriteHits(const std::string& path, uint32_t topk,
                       const std::vector<std::vector<api::SearchHit>>& hits) {
    auto writer = HitWriter::Create(path, topk, hits.size());
    if (!writer) return writer.GetStatus();
    for (const auto& row : hits) ORVANE_RETURN_IF_ERROR(writer.Value()->Add(row));
    return writer.Value()->Commit();
}

TEST_F(ToolEndToEndTest, HitsAreWrittenAsIvecsAndJson) {
    std::vector<std::vector<api::SearchHit>> hits = {{{5, 0.5f}, {7, 1.25f}, {2, 2.0f}},
                                                     {{9, 0.0f}}};
    ASSERT_TRUE(WriteHits(Path("h.ivecs"), 3, hits).IsOk());
    auto read = VectorFileReader::Open(Path("h.ivecs"));
    ASSERT_TRUE(read.IsOk());
    EXPECT_EQ(read.Value().Rows(), 2u);
    EXPECT_EQ(read.Value().Dim(), 3u);
    std::string bytes = ReadFileBytes(Path("h.ivecs"));
    int32_t row1[4];
    std::memcpy(row1, bytes.data() + 16, 16);
    EXPECT_EQ(row1[1], 9);
    EXPECT_EQ(row1[2], -1);  // padding for a missing hit
    EXPECT_EQ(row1[3], -1);
    ASSERT_TRUE(WriteHits(Path("h.ibin"), 3, hits).IsOk());
    auto readBin = VectorFileReader::Open(Path("h.ibin"));
    ASSERT_TRUE(readBin.IsOk());
    std::vector<uint64_t> ids(6);
    ASSERT_TRUE(readBin.Value().ReadUInt64(0, 1, ids.data()).IsOk());
    EXPECT_EQ(ids[0], 5u);
    EXPECT_EQ(ids[2], 2u);

    ASSERT_TRUE(WriteHits(Path("h.json"), 3, hits).IsOk());
    EXPECT_EQ(ReadFileBytes(Path("h.json")),
              "{\"topk\": 3, \"results\": [\n"
              "  {\"ids\": [5, 7, 2], \"distances\": [0.5, 1.25, 2]},\n"
              "  {\"ids\": [9], \"distances\": [0]}\n"
              "]}\n");

    hits[1][0].id = 1ull << 40;
    EXPECT_FALSE(WriteHits(Path("big.ivecs"), 3, hits).IsOk());
    EXPECT_FALSE(std::filesystem::exists(Path("big.ivecs")));
    EXPECT_EQ(WriteHits(Path("h.npy"), 3, hits).Code(), core::ErrorCode::InvalidArgument);
}

TEST_F(ToolEndToEndTest, HitsWiderThanAVectorFileRowAreRefusedBeforeAllocating) {
    // The id rows are topk wide whatever the number of hits: a huge topk must be
    // refused, not allocated, and a width the reader refuses must not be written.
    std::vector<std::vector<api::SearchHit>> hits = {{{5, 0.5f}}, {{9, 0.0f}}};
    for (const char* name : {"wide.ivecs", "wide.ibin"}) {
        core::Status st = WriteHits(Path(name), 3000000000u, hits);
        EXPECT_EQ(st.Code(), core::ErrorCode::InvalidArgument) << name;
        EXPECT_NE(st.Message().find("cannot write rows of 3000000000 values"), std::string::npos)
            << st.Message();
        EXPECT_FALSE(std::filesystem::exists(Path(name))) << name;
    }
    EXPECT_FALSE(WriteHits(Path("wide.ivecs"), kMaxVectorFileDim + 1, hits).IsOk());
    // JSON rows hold only the hits, so any topk can be written that way.
    EXPECT_TRUE(WriteHits(Path("wide.json"), 3000000000u, hits).IsOk());

    ASSERT_TRUE(WriteHits(Path("widest.ivecs"), kMaxVectorFileDim, {{{5, 0.5f}}}).IsOk());
    auto read = VectorFileReader::Open(Path("widest.ivecs"));
    ASSERT_TRUE(read.IsOk()) << read.GetStatus().Message();
    EXPECT_EQ(read.Value().Dim(), kMaxVectorFileDim);

    EXPECT_EQ(Cli({"build", Path("base.fvecs"), "-o", "index.type=demo", "--output", Path("a.idx"),
                   "-q"}),
              kExitOk);
    EXPECT_EQ(Cli({"search", Path("a.idx"), "--queries", Path("q.npy"), "-k", "3000000000",
                   "--output", Path("hits.ivecs")}),
              kExitFailure);
    EXPECT_NE(_err.str().find("cannot write rows of 3000000000 values"), std::string::npos)
        << _err.str();
    EXPECT_FALSE(std::filesystem::exists(Path("hits.ivecs")));
}

TEST_F(ToolEndToEndTest, CliExitCodesAndMessages) {
    EXPECT_EQ(Cli({"build", Path("base.fvecs"), "-o", "index.type=demo", "--output", Path("a.idx"),
                   "-q"}),
              kExitOk)
        << _err.str();
    EXPECT_NE(_out.str().find("built demo index"), std::string::npos);
    EXPECT_EQ(_err.str(), "");  // -q: no progress

    EXPECT_EQ(Cli({"search", Path("a.idx"), "--queries", Path("q.npy"), "-k", "10", "--truth",
                   Path("truth.ivecs"), "--output", Path("hits.json")}),
              kExitOk)
        << _err.str();
    EXPECT_NE(_out.str().find("recall@10: 1.0000"), std::string::npos) << _out.str();
    EXPECT_NE(_out.str().find("latency p50:"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(Path("hits.json")));

    EXPECT_EQ(Cli({"search", Path("a.idx"), "--queries", Path("q.npy"), "-k", "2"}), kExitOk);
    EXPECT_EQ(_out.str().rfind("0: ", 0), 0u) << _out.str();  // hits printed first

    EXPECT_EQ(Cli({"info", Path("a.idx")}), kExitOk);
    EXPECT_NE(_out.str().find("kind: demo, 300 vectors of dimension 8"), std::string::npos);
    EXPECT_NE(_out.str().find("demo.section.vector"), std::string::npos);

    std::string damaged = ReadFileBytes(Path("a.idx"));
    damaged[300] ^= 1;
    WriteFileBytes(Path("damaged.idx"), damaged);
    EXPECT_EQ(Cli({"info", Path("damaged.idx")}), kExitFailure);
    EXPECT_NE(_out.str().find("MISMATCH"), std::string::npos);
    EXPECT_EQ(_err.str(), "orvane info: error: " + Path("damaged.idx") +
                              ": section demo.section.vector is damaged: Data corruption "
                              "detected: CRC mismatch.\n");
    EXPECT_EQ(Cli({"info", "--no-verify", Path("damaged.idx")}), kExitOk);

    // Failures are one line on stderr.
    EXPECT_EQ(Cli({"build", Path("base.fvecs"), "-o", "index.type=demo"}), kExitFailure);
    EXPECT_EQ(_err.str(),
              "orvane build: error: no output file: give --output FILE or -o "
              "index.path=FILE\n");
    EXPECT_EQ(Cli({"search", Path("a.idx")}), kExitUsage);
    EXPECT_EQ(Cli({"frobnicate"}), kExitUsage);
    EXPECT_EQ(Cli({}), kExitUsage);

    for (const char* cmd : {"build", "search", "info", "demo"}) {
        EXPECT_EQ(Cli({cmd, "--bogus"}), kExitUsage) << cmd;
        EXPECT_EQ(_err.str(), std::string("orvane ") + cmd + ": error: unknown flag --bogus\n");
        EXPECT_TRUE(_out.str().empty()) << cmd;
        EXPECT_EQ(Cli({cmd, "--help"}), kExitOk) << cmd;
        EXPECT_TRUE(_err.str().empty()) << cmd;
        EXPECT_EQ(_out.str().rfind(std::string("usage: orvane ") + cmd, 0), 0u) << _out.str();
    }
}

TEST(DemoTest, GeneratedDataIsDeterministicAndClustered) {
    DemoConfig c = DemoConfig::Small();
    DemoData a = GenerateClusteredData(c);
    DemoData b = GenerateClusteredData(c);
    EXPECT_EQ(a.base, b.base);
    EXPECT_EQ(a.queries, b.queries);
    EXPECT_EQ(a.base.size(), c.baseRows * c.dim);
    EXPECT_EQ(a.queries.size(), c.queryRows * c.dim);
    c.seed += 1;
    EXPECT_NE(GenerateClusteredData(c).base, a.base);
}

TEST(DemoTest, SmallDemoRunsEveryKindAndTheDemoKindIsExact) {
    testutil::QuietLibraryLog();
    TempDir dir;
    std::ostringstream log;
    auto rows = RunDemoKinds(DemoConfig::Small(), dir.path().string(), log);
    ASSERT_TRUE(rows.IsOk()) << rows.GetStatus().Message();
    ASSERT_EQ(rows.Value().size(), index::AllIndexKinds().size());
    const DemoRow& demo = rows.Value()[0];
    EXPECT_EQ(demo.kind, "demo");
    ASSERT_EQ(demo.state, DemoRow::State::kOk) << demo.error;
    EXPECT_DOUBLE_EQ(demo.recall, 1.0);
    EXPECT_GT(demo.indexBytes, 2000u * 16 * 4);
    for (const DemoRow& r : rows.Value()) {
        EXPECT_NE(r.state, DemoRow::State::kFailed) << r.kind << ": " << r.error;
    }
    std::ostringstream table;
    PrintDemoTable(table, rows.Value(), 10);
    EXPECT_EQ(table.str().rfind("kind ", 0), 0u);
    EXPECT_NE(table.str().find("recall@10"), std::string::npos);
    EXPECT_NE(table.str().find("\ndemo "), std::string::npos);
}

TEST_F(ToolEndToEndTest, SearchThreadsFlag) {
    ASSERT_EQ(Cli({"build", Path("base.fvecs"), "-o", "index.type=demo", "--output", Path("a.idx"),
                   "-q"}),
              kExitOk);
    ASSERT_EQ(Cli({"search", Path("a.idx"), Path("q.npy"), "-k", "3", "--threads", "1"}), kExitOk);
    const std::string oneThread = _out.str();
    struct Case {
        std::vector<std::string> extra;
        int exit;
        std::string message;  // in stderr; for success, stdout equals the one-thread run's hits
    };
    const std::vector<Case> cases = {
        {{"--threads", "2"}, kExitOk, ""},
        {{"-t", "1024"}, kExitOk, ""},
        {{"--threads", "0"}, kExitUsage, "--threads needs a positive integer, got '0'"},
        {{"--threads", "-2"}, kExitUsage, "--threads needs a positive integer, got '-2'"},
        {{"--threads", "1.5"}, kExitUsage, "--threads needs a positive integer, got '1.5'"},
        {{"--threads", "1025"}, kExitFailure, "search.batch_threads must be within 1..1024"},
        {{"--threads", "2", "-s", "search.batch_threads=3"},
         kExitFailure,
         "--threads 2 and search.batch_threads=3 disagree"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"search", Path("a.idx"), Path("q.npy"), "-k", "3"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        SCOPED_TRACE(c.extra[1]);
        EXPECT_EQ(Cli(args), c.exit) << _err.str();
        if (c.exit == kExitOk) {
            // The hits come first, then the rates, which differ from run to run.
            const std::string hits = _out.str().substr(0, _out.str().find("searched "));
            EXPECT_EQ(hits, oneThread.substr(0, oneThread.find("searched ")));
        } else {
            EXPECT_NE(_err.str().find(c.message), std::string::npos) << _err.str();
        }
    }
}

TEST_F(ToolEndToEndTest, InfoDescribesWhatTheFileHoldsAndVersionIsPrinted) {
    ASSERT_EQ(Cli({"build", Path("base.fvecs"), "-o", "index.type=bruteforce", "-o",
                   "encoding.type=sq8", "--output", Path("b.idx"), "-q"}),
              kExitOk)
        << _err.str();
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string out;  // expected on standard output
    };
    const Case cases[] = {
        {{"info", "--json", Path("b.idx")}, kExitOk, "\"kind\": \"bruteforce\", \"rows\": 300"},
        {{"info", "--json", Path("b.idx")}, kExitOk, "\"encoding\": \"sq8\""},
        {{"info", Path("b.idx")}, kExitOk, "metric: l2, encoding: sq8, ids stored"},
        {{"--version"}, kExitOk, std::string("orvane ") + ORVANE_TEST_PROJECT_VERSION + "\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Cli(c.args), c.code) << c.args[0] << _err.str();
        EXPECT_NE(_out.str().find(c.out), std::string::npos) << c.out << " in " << _out.str();
    }
    // Build threads the caller leaves out default to the hardware threads, said first.
    ASSERT_EQ(Cli({"build", Path("base.fvecs"), "-o", "index.type=ivf", "-o",
                   "ivf.build.num_lists=4", "--output", Path("i.idx")}),
              kExitOk)
        << _err.str();
    const std::string said = _err.str();  // progress goes to standard error
    EXPECT_EQ(said.rfind("threads: " + std::to_string(api::HardwareThreads()) +
                             " (the machine's hardware threads) for ivf.build.thread_count",
                         0),
              0u)
        << said;

    // A search key without a dot is a search.* key, as in Python.
    EXPECT_EQ(Cli({"search", Path("i.idx"), "--queries", Path("q.npy"), "-s", "nprobe=0", "-q"}),
              kExitFailure);
    EXPECT_NE(_err.str().find("Option search.nprobe must be > 0"), std::string::npos) << _err.str();
    EXPECT_EQ(Cli({"search", Path("i.idx"), "--queries", Path("q.npy"), "-s", "nprobe=2", "-q"}),
              kExitOk)
        << _err.str();

    const std::string image = ReadFileBytes(Path("b.idx"));
    WriteFileBytes(Path("cut.idx"), image.substr(0, image.size() / 2));
    EXPECT_EQ(Cli({"info", "--json", Path("cut.idx")}), kExitFailure);
    EXPECT_EQ(_out.str(), "");
    EXPECT_NE(_err.str().find("cut.idx: "), std::string::npos) << _err.str();
}

TEST_F(ToolEndToEndTest, DemoKeepWritesTheFileNamesTheReadmeUses) {
    const std::string dir = Path("kept");
    ASSERT_EQ(Cli({"demo", "--small", "--keep", dir}), kExitOk) << _err.str();
    for (const char* name : {"base.fvecs", "query.fvecs", "gt.ivecs"}) {
        EXPECT_TRUE(std::filesystem::exists(dir + "/" + name)) << name;
    }
    // The README's search line runs on what was kept.
    ASSERT_EQ(Cli({"build", dir + "/base.fvecs", "-o", "index.type=demo", "--output",
                   dir + "/base.idx", "-q"}),
              kExitOk);
    EXPECT_EQ(Cli({"search", dir + "/base.idx", "--queries", dir + "/query.fvecs", "--topk", "10",
                   "--truth", dir + "/gt.ivecs", "--quiet"}),
              kExitOk)
        << _err.str();
}

}  // namespace
}  // namespace orvane::tools
