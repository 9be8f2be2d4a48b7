#include "BuildCommand.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "Commands.h"
#include "FileDataset.h"
#include "PartialFile.h"
#include "ToolOptions.h"
#include "ToolStatus.h"
#include "api/OptionNormalize.h"
#include "api/OrvaneBuilder.h"
#include "impl/index/IndexKindRegistry.h"
#include "schema/SchemaCatalog.h"

namespace orvane::tools {

using core::Result;
using core::Status;

namespace {

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

Result<std::string> ResolveOutputPath(const BuildRequest& request, TextOptions& io) {
    std::string path;
    auto it = io.find("index.path");
    if (it != io.end()) {
        if (request.outputPath && *request.outputPath != it->second) {
            return InvalidInput("--output " + *request.outputPath +
                                " and index.path=" + it->second + " name different files");
        }
        path = it->second;
        io.erase(it);
    } else if (request.outputPath) {
        path = *request.outputPath;
    }
    if (path.empty())
        return InvalidInput("no output file: give --output FILE or -o index.path=FILE");
    if (SameFile(path, request.basePath) || (request.idsPath && SameFile(path, *request.idsPath))) {
        return InvalidInput(path + ": the output would overwrite an input file");
    }
    return path;
}

// Runs one dataset pass of the builder with a progress phase around it.
template <typename Fn>
Status RunPhase(Progress* progress, FileDataset& dataset, const char* phase, Fn&& fn) {
    dataset.Rewind();
    if (progress != nullptr) {
        progress->Begin(phase, dataset.TotalSize());
        dataset.SetProgress([progress](uint64_t done) { progress->Update(done); });
    }
    Status st = fn();
    if (progress != nullptr) {
        progress->End();
        dataset.SetProgress(nullptr);
    }
    return st;
}

}  // namespace

Result<BuildReport> BuildIndex(const BuildRequest& request, Progress* progress) {
    TextOptions options = request.options;
    TextOptions io = TakeIoOptions(options);
    auto outPath = ResolveOutputPath(request, io);
    if (!outPath) return outPath.TakeStatus();

    auto typeIt = options.find("index.type");
    if (typeIt == options.end() || typeIt->second.empty()) {
        return InvalidInput("index.type is required: give -o index.type=KIND (" +
                            index::KindNames() + ")");
    }
    const std::string type = typeIt->second;

    auto base = VectorFileReader::Open(request.basePath);
    if (!base) return base.TakeStatus();
    const uint32_t dim = base.Value().Dim();
    const uint64_t rows = base.Value().Rows();
    std::optional<VectorFileReader> ids;
    if (request.idsPath) {
        auto idReader = VectorFileReader::Open(*request.idsPath);
        if (!idReader) return idReader.TakeStatus();
        ids.emplace(idReader.TakeValue());
    }
    auto dataset = FileDataset::Create(base.TakeValue(), std::move(ids), request.batchRows);
    if (!dataset) return dataset.TakeStatus();
    if (rows == 0) return InvalidInput(request.basePath + ": contains no vectors");

    if (options.count("index.dimension") == 0) options["index.dimension"] = std::to_string(dim);
    auto normalized = api::NormalizeBuilderOptions(options);
    if (!normalized) return WithContext(normalized.GetStatus(), "builder options");
    ORVANE_RETURN_IF_ERROR(
        CheckKnownKeys(options, schema::LookupBuilderSchema(type), type + " builder"));
    const int64_t wantDim = normalized.Value().GetInt("index.dimension", 0);
    if (wantDim != static_cast<int64_t>(dim)) {
        return InvalidInput(request.basePath + ": vectors have dimension " + std::to_string(dim) +
                            " but index.dimension is " + std::to_string(wantDim));
    }

    PartialFile partial(outPath.Value());
    auto ioOptions = MakeIoOptions(io, partial.TempPath());
    if (!ioOptions) return WithContext(ioOptions.GetStatus(), "io options");

    const auto start = std::chrono::steady_clock::now();
    auto builder = api::OrvaneBuilder::Create(normalized.Value());
    if (!builder) return WithContext(builder.GetStatus(), "cannot create the " + type + " builder");
    api::OrvaneBuilder& b = builder.Value();
    FileDataset& data = dataset.Value();
    Status st = RunPhase(progress, data, "pretrain", [&] { return b.PretrainFrom(data); });
    if (!st.IsOk()) return WithContext(st, "pretrain failed");
    st = RunPhase(progress, data, "insert", [&] { return b.InsertFrom(data); });
    if (!st.IsOk()) return WithContext(st, "insert failed");
    st = b.Dump(ioOptions.Value());
    if (!st.IsOk()) return WithContext(st, "dump failed");
    ORVANE_RETURN_IF_ERROR(partial.Commit());

    BuildReport report;
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report.indexPath = outPath.Value();
    report.type = type;
    report.count = rows;
    report.dim = dim;
    struct stat st2 {};
    if (::stat(report.indexPath.c_str(), &st2) == 0) {
        report.fileBytes = static_cast<uint64_t>(st2.st_size);
    }
    return report;
}

}  // namespace orvane::tools

namespace orvane::tools {
namespace {

std::string FormatSeconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.3f s", s);
    return buf;
}

constexpr FlagSpec kBuildFlags[] = {
    {"option", 'o', true, true,
     "KEY=VALUE  builder or file option, e.g. index.type=demo (repeatable)"},
    {"output", '\0', true, false, "FILE  the index file to write (or -o index.path=FILE)"},
    {"ids", '\0', true, false,
     "FILE  row ids, one per vector: .npy (uint64 or int64) or .bin (raw little-endian "
     "uint64); default: row positions 0, 1, ..."},
    {"batch", '\0', true, false, "N  vectors per batch read from the input (default ~4 MiB)"},
    {"quiet", 'q', false, false, "no progress output"},
    kVerboseFlag,
    kHelpFlag,
};

constexpr char kBuildUsage[] =
    "usage: orvane build [options] VECTORS\n"
    "\n"
    "Builds an index file from VECTORS (.fvecs, .fbin or .npy float32). Options are\n"
    "key=value text, normalized by the library: index.type is required, index.dimension\n"
    "defaults to the file's dimension. The index is written under a temporary name and\n"
    "moved into place when complete.\n"
    "\n"
    "example: orvane build base.fvecs -o index.type=demo --output base.idx\n"
    "\n";

}  // namespace

int RunBuild(std::span<const std::string> args, CommandIo& io) {
    ParsedArgs a;
    if (auto done = ParseCommandArgs("build", args, kBuildFlags, kBuildUsage, io, a)) return *done;
    if (a.Positional().size() != 1) {
        return ReportError(
            io, "build", InvalidInput("expected exactly one vector file (see orvane build --help)"),
            kExitUsage);
    }
    BuildRequest request;
    request.basePath = a.Positional()[0];
    request.idsPath = a.Get("ids");
    request.outputPath = a.Get("output");
    auto options = ParseKeyValues(a.GetAll("option"));
    if (!options) return ReportError(io, "build", options.GetStatus(), kExitUsage);
    request.options = options.TakeValue();
    auto batch = a.GetPositive("batch", 0);
    if (!batch) return ReportError(io, "build", batch.GetStatus(), kExitUsage);
    request.batchRows = batch.Value();

    Progress progress(io.err, io.interactive);
    auto report = BuildIndex(request, a.Has("quiet") ? nullptr : &progress);
    if (!report) return ReportError(io, "build", report.GetStatus());
    const BuildReport& r = report.Value();
    io.out << "built " << r.type << " index " << r.indexPath << ": " << r.count
           << " vectors of dimension " << r.dim << " in " << FormatSeconds(r.seconds) << ", "
           << r.fileBytes << " bytes\n";
    return kExitOk;
}

}  // namespace orvane::tools
