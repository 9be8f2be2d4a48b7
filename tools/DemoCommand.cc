#include "DemoCommand.h"

#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "BuildCommand.h"
#include "Commands.h"
#include "Recall.h"
#include "SearchCommand.h"
#include "TextTable.h"
#include "ToolStatus.h"
#include "VectorFile.h"
#include "index/IndexKindRegistry.h"

namespace orvane::tools {

using core::ErrorCode;
using core::Result;
using core::Status;

namespace {

// SplitMix64: a small generator whose output is fixed by its seed on every platform.
class SplitMix64 {
  public:
    explicit SplitMix64(uint64_t seed) : _state(seed) {}
    uint64_t Next() {
        uint64_t z = (_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    // Standard normal by the Box-Muller transform.
    double Normal() {
        const double u1 = 1.0 - Uniform();  // (0, 1], keeps log finite
        const double u2 = Uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
    }

  private:
    uint64_t _state;
};

constexpr double kClusterSpread = 0.15;

constexpr char kBaseFile[] = "base.fvecs";
constexpr char kQueryFile[] = "query.fvecs";  // the names the README's commands use
constexpr char kTruthFile[] = "gt.ivecs";

std::string IndexFileName(std::string_view kind) {
    return std::string(kind) + ".idx";
}

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.3f s", s);
    return buf;
}

}  // namespace

DemoConfig DemoConfig::Small() {
    DemoConfig c;
    c.baseRows = 2000;
    c.dim = 16;
    c.queryRows = 50;
    c.clusters = 16;
    return c;
}

DemoData GenerateClusteredData(const DemoConfig& config) {
    SplitMix64 rng(config.seed);
    const uint32_t dim = config.dim;
    const uint32_t clusters = std::max<uint32_t>(config.clusters, 1);
    std::vector<float> centres(uint64_t(clusters) * dim);
    for (float& v : centres) v = static_cast<float>(rng.Uniform() * 2.0 - 1.0);
    auto sample = [&](std::vector<float>& out, uint64_t rows) {
        out.resize(rows * dim);
        for (uint64_t r = 0; r < rows; ++r) {
            const float* centre = centres.data() + (rng.Next() % clusters) * dim;
            for (uint32_t j = 0; j < dim; ++j) {
                out[r * dim + j] = centre[j] + static_cast<float>(rng.Normal() * kClusterSpread);
            }
        }
    };
    DemoData data;
    data.dim = dim;
    sample(data.base, config.baseRows);
    sample(data.queries, config.queryRows);
    return data;
}

std::vector<std::string> DemoFileNames() {
    std::vector<std::string> names = {kBaseFile, kQueryFile, kTruthFile};
    for (const index::IndexKindDescriptor* kind : index::AllIndexKinds()) {
        names.push_back(IndexFileName(kind->Name()));
    }
    return names;
}

Result<std::vector<DemoRow>> RunDemoKinds(const DemoConfig& config, const std::string& dir,
                                          std::ostream& log) {
    const DemoData data = GenerateClusteredData(config);
    const std::string basePath = dir + "/" + kBaseFile;
    const std::string queryPath = dir + "/" + kQueryFile;
    const std::string truthPath = dir + "/" + kTruthFile;
    ORVANE_RETURN_IF_ERROR(WriteFloatMatrix(basePath, data.base.data(), config.baseRows, data.dim));
    ORVANE_RETURN_IF_ERROR(
        WriteFloatMatrix(queryPath, data.queries.data(), config.queryRows, data.dim));
    const std::vector<uint64_t> exact =
        ExactNeighbors(data.base.data(), config.baseRows, data.queries.data(), config.queryRows,
                       data.dim, config.topk);
    const uint32_t truthCols =
        static_cast<uint32_t>(std::min<uint64_t>(config.topk, config.baseRows));
    std::vector<int32_t> truth(exact.begin(), exact.end());
    ORVANE_RETURN_IF_ERROR(WriteInt32Matrix(truthPath, truth.data(), config.queryRows, truthCols));

    std::vector<DemoRow> rows;
    // Every kind of the kind table gets a row.
    for (const index::IndexKindDescriptor* kind : index::AllIndexKinds()) {
        DemoRow row;
        row.kind = std::string(kind->Name());
        log << "building " << row.kind << " index" << std::endl;
        BuildRequest build;
        build.basePath = basePath;
        build.outputPath = dir + "/" + IndexFileName(kind->Name());
        build.options["index.type"] = row.kind;
        for (const auto& [key, value] : kind->demoBuildOptions) {
            build.options[std::string(key)] = std::string(value);
        }
        auto built = BuildIndex(build, nullptr);
        if (!built) {
            const Status& st = built.GetStatus();
            row.state = st.Code() == ErrorCode::NotFound ? DemoRow::State::kUnavailable
                                                         : DemoRow::State::kFailed;
            row.error = st.Message();
            rows.push_back(std::move(row));
            continue;
        }
        row.buildSeconds = built.Value().seconds;
        row.indexBytes = built.Value().fileBytes;

        log << "searching " << row.kind << " index" << std::endl;
        SearchRequest search;
        search.indexPath = *build.outputPath;
        search.queriesPath = queryPath;
        search.truthPath = truthPath;
        search.topk = config.topk;
        for (const auto& [key, value] : kind->demoSearchOptions) {
            search.searchOptions[std::string(key)] = std::string(value);
        }
        auto searched = SearchIndex(search);
        if (!searched) {
            row.state = DemoRow::State::kFailed;
            row.error = searched.GetStatus().Message();
        } else {
            row.recall = searched.Value().recall.value_or(0.0);
            row.qps = searched.Value().Qps();
            row.p50Micros = searched.Value().latency.p50Micros;
            row.p99Micros = searched.Value().latency.p99Micros;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void PrintDemoTable(std::ostream& out, const std::vector<DemoRow>& rows, uint32_t topk) {
    TextTable table({{"kind"},
                     {"build", true},
                     {"index size", true},
                     {"recall@" + std::to_string(topk), true},
                     {"QPS", true},
                     {"p50 ms", true},
                     {"p99 ms", true}});
    char buf[64];
    for (const DemoRow& r : rows) {
        if (r.state == DemoRow::State::kUnavailable) {
            table.AddRow({r.kind, "not available in this build"});
            continue;
        }
        if (r.state == DemoRow::State::kFailed) {
            table.AddRow({r.kind, "FAILED: " + r.error});
            continue;
        }
        std::vector<std::string> cells = {r.kind, Seconds(r.buildSeconds),
                                          TextTable::HumanBytes(r.indexBytes)};
        std::snprintf(buf, sizeof(buf), "%.4f", r.recall);
        cells.push_back(buf);
        std::snprintf(buf, sizeof(buf), "%.0f", r.qps);
        cells.push_back(buf);
        std::snprintf(buf, sizeof(buf), "%.3f", r.p50Micros / 1000.0);
        cells.push_back(buf);
        std::snprintf(buf, sizeof(buf), "%.3f", r.p99Micros / 1000.0);
        cells.push_back(buf);
        table.AddRow(std::move(cells));
    }
    table.Print(out);
}

namespace {

constexpr FlagSpec kDemoFlags[] = {
    {"small", '\0', false, false, "a tiny dataset, for a fast smoke test"},
    {"keep", '\0', true, false,
     "DIR  write the dataset and the index files into DIR and keep them"},
    kVerboseFlag,
    kHelpFlag,
};

constexpr char kDemoUsage[] =
    "usage: orvane demo [--small] [--keep DIR]\n"
    "\n"
    "Generates a deterministic clustered dataset (20000 vectors of dimension 64 and 200\n"
    "queries; --small: 2000 x 16 and 50 queries), computes the exact neighbours by a\n"
    "scan, then builds and searches an index of every kind and prints build time, index\n"
    "size, recall@10 against the exact neighbours, queries per second and latency.\n"
    "\n";

}  // namespace

int RunDemo(std::span<const std::string> args, CommandIo& io) {
    ParsedArgs a;
    if (auto done = ParseCommandArgs("demo", args, kDemoFlags, kDemoUsage, io, a)) return *done;
    if (!a.Positional().empty()) {
        return ReportError(io, "demo", InvalidInput("demo takes no file arguments"), kExitUsage);
    }
    const DemoConfig config = a.Has("small") ? DemoConfig::Small() : DemoConfig();

    std::string dir;
    bool removeDir = false;
    std::error_code ec;
    if (auto keep = a.Get("keep")) {
        dir = *keep;
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            return ReportError(io, "demo", Status(ErrorCode::IoError, dir + ": " + ec.message()));
        }
        // Files of the caller's must not be replaced by generated ones.
        for (const std::string& name : DemoFileNames()) {
            const std::filesystem::path file = std::filesystem::path(dir) / name;
            if (std::filesystem::exists(std::filesystem::symlink_status(file, ec))) {
                return ReportError(io, "demo",
                                   Status(ErrorCode::AlreadyExists,
                                          file.string() + " already exists; give --keep an "
                                                          "empty or new directory"));
            }
        }
    } else {
        std::string tmpl =
            (std::filesystem::temp_directory_path(ec) / "orvane-demo-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            return ReportError(io, "demo",
                               Status(ErrorCode::IoError, "cannot create a temporary directory"));
        }
        dir = tmpl;
        removeDir = true;
    }

    io.out << "dataset: " << config.baseRows << " vectors of dimension " << config.dim << " in "
           << config.clusters << " clusters, " << config.queryRows << " queries (seed "
           << config.seed << "); exact top-" << config.topk << " by scan\n";
    auto rows = RunDemoKinds(config, dir, io.err);
    if (removeDir) std::filesystem::remove_all(dir, ec);
    if (!rows) return ReportError(io, "demo", rows.GetStatus());
    PrintDemoTable(io.out, rows.Value(), config.topk);
    if (!removeDir) io.out << "files kept in " << dir << "\n";
    for (const DemoRow& r : rows.Value()) {
        if (r.state == DemoRow::State::kFailed) {
            return ReportError(io, "demo", Status(ErrorCode::Internal, r.kind + ": " + r.error));
        }
    }
    return kExitOk;
}

}  // namespace orvane::tools
