#include "BuildCommand.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "FileDataset.h"
#include "PartialFile.h"
#include "PathChecks.h"
#include "ToolOptions.h"
#include "ToolStatus.h"
#include "api/BuildThreadDefaults.h"
#include "orvane/api/OptionNormalize.h"
#include "orvane/api/OrvaneBuilder.h"
#include "extensions/experimental/BuildCombinedExtensionV0.h"
#include "api/builder/checkpoint/CkptBinding.h"
#include "api/builder/checkpoint/LocalCkptManager.h"
#include "index/IndexKindRegistry.h"
#include "orvane/io/FileReader.h"
#include "io/InputStream.h"
#include "schema/SchemaCatalog.h"

namespace orvane::tools {

using core::Result;
using core::Status;

namespace {

// Kinds whose index keeps no row ids (a hit's id is the row's position): caller ids
// would be dropped without a word.
bool KindStoresIds(const std::string& type) {
    const index::IndexKindDescriptor* kind = index::FindIndexKind(type);
    return kind == nullptr || kind->storesIds;
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
    auto target = ResolveOutputFile(path);
    if (!target) return target.TakeStatus();
    const std::string noIds;
    ORVANE_RETURN_IF_ERROR(CheckNotAnInput(
        target.Value(), {&request.basePath, request.idsPath ? &*request.idsPath : &noIds}));
    return target.TakeValue();
}

// Runs one dataset pass of the builder with a progress phase around it. The
// phase counts the rows read; once all are read, the builder's own work on them
// (training a quantizer, building the last batch's graph nodes and repairing
// the graph) is shown as the phase `tail` until the pass returns.
template <typename Fn>
Status RunPhase(Progress* progress, FileDataset& dataset, const char* phase, const char* tail,
                Fn&& fn) {
    dataset.Rewind();
    if (progress != nullptr) {
        const uint64_t total = dataset.TotalSize();
        progress->Begin(phase, total);
        dataset.SetProgress([progress, total, tail, tailStarted = false](uint64_t done) mutable {
            progress->Update(done);
            if (done >= total && !tailStarted) {
                tailStarted = true;
                progress->Begin(tail, 0);  // ends the reading phase with its final line
            }
        });
    }
    Status st = fn();
    if (progress != nullptr) {
        progress->End();
        dataset.SetProgress(nullptr);
    }
    return st;
}

// Runs a step that reads no rows (writing the index) as a phase of its own.
template <typename Fn>
Status RunStep(Progress* progress, const char* phase, Fn&& fn) {
    if (progress != nullptr) progress->Begin(phase, 0);
    Status st = fn();
    if (progress != nullptr) progress->End();
    return st;
}

// Records a line for the report and shows it on the progress output.
void Note(BuildReport& report, Progress* progress, const std::string& text) {
    report.notes.push_back(text);
    if (progress != nullptr) progress->Note(text);
}

// Checkpoints written when --checkpoint-dir is given without
// extension.build.ckpt.count: up to 10, fewer for small inputs (a count c
// needs more than c * (c + 1) rows).
std::string DefaultCheckpointCount(uint64_t rows) {
    uint64_t count = 10;
    while (count > 0 && count >= rows / (count + 1)) --count;
    return std::to_string(count);
}

// The rows a checkpoint holds, from its binding (0 when it has none; the builder
// then refuses it with the reason).
uint64_t CheckpointRows(const std::string& path) {
    auto reader = io::CreateFileReader(api::IOOptions{{"index.path", path}});
    if (!reader.IsOk()) return 0;
    io::InputStream stream(reader.TakeValue());
    if (!stream.Open(api::IOOptions()).IsOk()) return 0;
    auto binding = api::ReadCkptBinding(stream);
    return binding.IsOk() ? binding.Value().rows : 0;
}

// Why a checkpointed build of `rows` rows writes no checkpoint (empty when it
// writes some): a count of 0, or fewer rows than the kind's threshold.
std::string NoCheckpointsReason(const std::string& type, const api::BuilderOptions& options,
                                uint64_t rows) {
    const int64_t count = options.GetInt("extension.build.ckpt.count", 0);
    if (count <= 0) {
        return "extension.build.ckpt.count is 0 for " + std::to_string(rows) + " rows";
    }
    const int64_t threshold =
        options.GetInt("extension.build.ckpt.threshold", type == "diskann" ? 100000 : 0);
    if (threshold > 0 && rows < static_cast<uint64_t>(threshold)) {
        return std::to_string(rows) + " rows are fewer than extension.build.ckpt.threshold " +
               std::to_string(threshold);
    }
    return "";
}

// Hands a local checkpoint manager over `dir` to the builder, which resumes
// from the newest complete checkpoint found there; returns the path of that
// checkpoint (empty when the build starts afresh).
Result<std::string> AttachCheckpoints(api::OrvaneBuilder& builder,
                                      extensions::experimental::CkptExtension& extension,
                                      const std::string& dir, const std::string& type,
                                      BuildReport& report, Progress* progress) {
    Status attached = builder.Attach(extension);
    if (!attached.IsOk()) return WithContext(attached, "--checkpoint-dir: the " + type + " kind");
    auto manager = api::CreateLocalCkptManager(dir);
    if (!manager) return WithContext(manager.GetStatus(), "--checkpoint-dir");
    auto& local = static_cast<api::LocalCkptManager&>(*manager.Value());
    auto has = local.HasCkptFile();
    const std::string resume = has.IsOk() && has.Value() ? local.ResumePath() : std::string();
    Status loaded = extension.LoadCkptManager(manager.TakeValue());
    if (!loaded.IsOk()) {
        return WithContext(loaded, "--checkpoint-dir " + dir + ": cannot resume from " +
                                       (resume.empty() ? dir : resume));
    }
    if (!resume.empty()) {
        Note(report, progress,
             "resuming from checkpoint " + resume + " (" + std::to_string(CheckpointRows(resume)) +
                 " rows)");
    }
    return resume;
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
    if (request.idsPath && !KindStoresIds(type)) {
        return InvalidInput("the " + type +
                            " index stores no row ids (its hits are row positions): drop --ids");
    }
    ORVANE_RETURN_IF_ERROR(CheckInputFile(request.basePath, "vector file"));
    if (request.idsPath) ORVANE_RETURN_IF_ERROR(CheckInputFile(*request.idsPath, "id file"));

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
    const unsigned threads = api::HardwareThreads();
    const std::vector<std::string> threadKeys = api::DefaultBuildThreads(options, type, threads);
    if (progress != nullptr && !threadKeys.empty()) {
        std::string keys;
        for (const std::string& key : threadKeys) keys += (keys.empty() ? "" : ", ") + key;
        progress->Note("threads: " + std::to_string(threads) +
                       " (the machine's hardware threads) for " + keys);
    }
    if (request.checkpointDir && options.count("extension.build.ckpt.count") == 0) {
        const std::string count = DefaultCheckpointCount(rows);
        if (count != "0") options["extension.build.ckpt.count"] = count;
    }
    auto normalized = api::NormalizeBuilderOptions(options);
    if (!normalized) return WithContext(normalized.GetStatus(), "builder options");
    ORVANE_RETURN_IF_ERROR(api::CheckKnownOptionKeys(options, api::OptionPurpose::kBuilder, type));
    const int64_t wantDim = normalized.Value().GetInt("index.dimension", 0);
    if (wantDim != static_cast<int64_t>(dim)) {
        return InvalidInput(request.basePath + ": vectors have dimension " + std::to_string(dim) +
                            " but index.dimension is " + std::to_string(wantDim));
    }

    // The library's writer fills a temporary file beside the target and renames it into
    // place only when complete; the tool's signal handler removes it on Ctrl-C.
    auto ioOptions = MakeIoOptions(io, outPath.Value());
    if (!ioOptions) return WithContext(ioOptions.GetStatus(), "io options");

    const auto start = std::chrono::steady_clock::now();
    auto builder = api::OrvaneBuilder::Create(normalized.Value());
    if (!builder) return WithContext(builder.GetStatus(), "cannot create the " + type + " builder");
    api::OrvaneBuilder& b = builder.Value();
    FileDataset& data = dataset.Value();
    BuildReport report;
    extensions::experimental::CkptExtension checkpoints;
    std::string resumedFrom;
    if (request.checkpointDir) {
        if (const std::string why = NoCheckpointsReason(type, normalized.Value(), rows);
            !why.empty()) {
            Note(report, progress, "no checkpoints will be written: " + why);
        }
        auto resumed =
            AttachCheckpoints(b, checkpoints, *request.checkpointDir, type, report, progress);
        if (!resumed) return resumed.TakeStatus();
        resumedFrom = resumed.TakeValue();
    }
    // A resumed build that fails names the checkpoint: it may be another build's.
    auto failed = [&](const Status& failure, const char* what) {
        if (resumedFrom.empty()) return WithContext(failure, what);
        return WithContext(WithContext(failure, "--checkpoint-dir " + *request.checkpointDir +
                                                    ": cannot resume from " + resumedFrom),
                           what);
    };
    Status st = RunPhase(progress, data, "pretrain", "train", [&] { return b.PretrainFrom(data); });
    if (!st.IsOk()) return failed(st, "pretrain failed");
    st = RunPhase(progress, data, "insert", "finish insert", [&] { return b.InsertFrom(data); });
    if (!st.IsOk()) return failed(st, "insert failed");
    st = RunStep(progress, "write", [&] { return b.Dump(ioOptions.Value()); });
    if (!st.IsOk()) return WithContext(st, outPath.Value() + ": dump failed");
    if (request.checkpointDir) {
        // The index is complete: its checkpoints could only mislead a later build.
        st = api::RemoveLocalCheckpoints(*request.checkpointDir);
        if (!st.IsOk()) return WithContext(st, "--checkpoint-dir");
    }

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
    {"checkpoint-dir", '\0', true, false,
     "DIR  write build checkpoints into DIR; run again with the same arguments after a crash "
     "to resume (kinds with checkpoints only; a finished build removes them)"},
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
    "moved into place when complete; an output that is a symbolic link is written to\n"
    "the link's target. The demo kind stores no row ids and refuses --ids.\n"
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
    request.checkpointDir = a.Get("checkpoint-dir");
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
