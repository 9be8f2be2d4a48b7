#include "SearchCommand.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

#include "Commands.h"
#include "HitWriter.h"
#include "IndexFile.h"
#include "PathChecks.h"
#include "ToolOptions.h"
#include "ToolStatus.h"
#include "VectorFile.h"
#include "orvane/api/OptionNormalize.h"
#include "orvane/api/OrvaneSearcher.h"
#include "index/IndexKindRegistry.h"
#include "schema/SchemaCatalog.h"

namespace orvane::tools {

using core::Result;
using core::Status;

namespace {

constexpr uint64_t kDefaultTopk = 10;
constexpr uint64_t kQueryChunkRows = 1024;

// The truth file, opened and checked against the run before the first query.
Result<VectorFileReader> OpenTruth(const std::string& path, uint64_t queries, uint64_t topk) {
    ORVANE_RETURN_IF_ERROR(CheckInputFile(path, "truth file"));
    auto truth = VectorFileReader::Open(path);
    if (!truth) return truth.TakeStatus();
    const VectorFileReader& t = truth.Value();
    if (t.Rows() != queries) {
        return InvalidInput(path + ": has " + std::to_string(t.Rows()) + " rows but there are " +
                            std::to_string(queries) + " queries");
    }
    if (t.Dim() < topk) {
        return InvalidInput(path + ": has " + std::to_string(t.Dim()) +
                            " neighbours per query, fewer than topk " + std::to_string(topk));
    }
    return truth;
}

}  // namespace

Result<SearchReport> SearchIndex(const SearchRequest& request) {
    TextOptions searcherText = request.searcherOptions;
    TextOptions ioText = TakeIoOptions(searcherText);
    auto pathIt = ioText.find("index.path");
    if (pathIt != ioText.end()) {
        if (pathIt->second != request.indexPath) {
            return InvalidInput("index.path=" + pathIt->second + " differs from the index file " +
                                request.indexPath);
        }
        ioText.erase(pathIt);
    }
    ORVANE_RETURN_IF_ERROR(CheckInputFile(request.indexPath, "index file"));
    ORVANE_RETURN_IF_ERROR(CheckInputFile(request.queriesPath, "query file"));
    std::optional<std::string> outputPath;
    if (request.outputPath) {
        auto resolved = ResolveOutputFile(*request.outputPath);
        if (!resolved) return resolved.TakeStatus();
        const std::string noTruth;
        ORVANE_RETURN_IF_ERROR(CheckNotAnInput(
            resolved.Value(), {&request.indexPath, &request.queriesPath,
                               request.truthPath ? &*request.truthPath : &noTruth}));
        outputPath = resolved.TakeValue();
    }

    // The container is checked first, so a missing or damaged file is reported as such.
    auto info = DescribeIndexFile(request.indexPath, ioText, false);
    if (!info) return info.TakeStatus();
    if (searcherText.count("index.type") == 0) {
        if (info.Value().kind == nullptr) {
            return InvalidInput(request.indexPath +
                                ": cannot tell the index kind, give -o index.type=KIND (" +
                                index::KindNames() + ")");
        }
        searcherText["index.type"] = std::string(info.Value().kind->Name());
    }
    const std::string type = searcherText["index.type"];

    auto queries = VectorFileReader::Open(request.queriesPath);
    if (!queries) return queries.TakeStatus();
    VectorFileReader& q = queries.Value();
    if (q.Element() != ElementType::kFloat32) {
        return InvalidInput(request.queriesPath + ": holds " + ElementTypeName(q.Element()) +
                            " values, float32 queries are needed");
    }
    // A header-only .fbin or .npy holds no rows; searching it would report
    // success over nothing, where an empty .fvecs is refused as empty.
    if (q.Rows() == 0) return InvalidInput(request.queriesPath + ": contains no vectors");
    if (searcherText.count("index.dimension") == 0) {
        const auto& meta = info.Value().meta;
        searcherText["index.dimension"] = std::to_string(meta ? meta->dim : q.Dim());
    }
    auto searcherOptions = api::NormalizeSearcherOptions(searcherText);
    if (!searcherOptions) return WithContext(searcherOptions.GetStatus(), "searcher options");
    ORVANE_RETURN_IF_ERROR(
        api::CheckKnownOptionKeys(searcherText, api::OptionPurpose::kSearcher, type));
    const int64_t indexDim = searcherOptions.Value().GetInt("index.dimension", 0);
    if (indexDim != static_cast<int64_t>(q.Dim())) {
        return InvalidInput(request.queriesPath + ": queries have dimension " +
                            std::to_string(q.Dim()) + " but the index has dimension " +
                            std::to_string(indexDim));
    }

    TextOptions searchText = request.searchOptions;
    auto topkIt = searchText.find("search.topk");
    if (topkIt == searchText.end()) {
        searchText["search.topk"] = std::to_string(request.topk.value_or(kDefaultTopk));
    } else if (request.topk && topkIt->second != std::to_string(*request.topk)) {
        return InvalidInput("--topk " + std::to_string(*request.topk) +
                            " and search.topk=" + topkIt->second + " disagree");
    }
    if (request.threads) {
        const std::string threads = std::to_string(*request.threads);
        auto [it, added] = searchText.emplace("search.batch_threads", threads);
        if (!added && it->second != threads) {
            return InvalidInput("--threads " + threads + " and search.batch_threads=" + it->second +
                                " disagree");
        }
    }
    auto searchOptions = api::NormalizeSearchOptions(type, searchText);
    if (!searchOptions) return WithContext(searchOptions.GetStatus(), "search options");
    ORVANE_RETURN_IF_ERROR(
        api::CheckKnownOptionKeys(searchText, api::OptionPurpose::kSearch, type));
    const int64_t topk = searchOptions.Value().GetInt("search.topk", 0);
    if (topk <= 0 || topk > std::numeric_limits<uint32_t>::max()) {
        return InvalidInput("search.topk must be a positive 32-bit integer");
    }

    std::optional<VectorFileReader> truth;
    if (request.truthPath) {
        auto opened = OpenTruth(*request.truthPath, q.Rows(), static_cast<uint64_t>(topk));
        if (!opened) return opened.TakeStatus();
        truth.emplace(opened.TakeValue());
    }
    std::unique_ptr<HitWriter> writer;
    if (outputPath) {
        auto created = HitWriter::Create(*outputPath, static_cast<uint32_t>(topk), q.Rows());
        if (!created) return created.TakeStatus();
        writer = created.TakeValue();
    }

    auto ioOptions = MakeIoOptions(ioText, request.indexPath);
    if (!ioOptions) return WithContext(ioOptions.GetStatus(), "io options");
    auto searcher = api::OrvaneSearcher::Create(searcherOptions.Value());
    if (!searcher)
        return WithContext(searcher.GetStatus(), "cannot create the " + type + " searcher");
    api::OrvaneSearcher& s = searcher.Value();
    Status st = s.Open(ioOptions.Value());
    if (!st.IsOk()) return WithContext(st, request.indexPath + ": cannot open index");

    SearchReport report;
    report.type = type;
    report.meta = s.GetMeta();
    report.topk = static_cast<uint32_t>(topk);
    std::vector<double> latencies;
    latencies.reserve(q.Rows());
    std::vector<float> chunk;
    std::vector<uint64_t> truthChunk;
    std::vector<std::vector<uint64_t>> found;
    std::vector<api::SearchResult> results;
    double recallSum = 0;
    using Clock = std::chrono::steady_clock;
    Clock::duration total{};
    for (uint64_t first = 0; first < q.Rows() && st.IsOk(); first += kQueryChunkRows) {
        const uint64_t count = std::min(kQueryChunkRows, q.Rows() - first);
        chunk.resize(count * q.Dim());
        st = q.ReadFloats(first, count, chunk.data());
        if (st.IsOk() && truth) {
            truthChunk.resize(count * truth->Dim());
            st = truth->ReadUInt64(first, count, truthChunk.data());
            found.resize(count);
        }
        if (!st.IsOk()) break;
        const auto t0 = Clock::now();
        st = s.SearchBatch(chunk.data(), count, searchOptions.Value(), results);
        const auto t1 = Clock::now();
        if (!st.IsOk()) {
            st = WithContext(
                st, "queries " + std::to_string(first) + ".." + std::to_string(first + count - 1));
            break;
        }
        total += t1 - t0;
        // A batch is timed as a whole; each of its queries is given an equal share.
        const double share =
            std::chrono::duration<double, std::micro>(t1 - t0).count() / static_cast<double>(count);
        for (uint64_t i = 0; i < count && st.IsOk(); ++i) {
            latencies.push_back(share);
            const std::vector<api::SearchHit>& hits = results[i].topk;
            if (truth) {
                found[i].clear();
                for (const api::SearchHit& h : hits) found[i].push_back(h.id);
            }
            if (writer) st = writer->Add(hits);
            if (st.IsOk() && request.onHits) st = request.onHits(first + i, hits);
        }
        if (st.IsOk() && truth) {
            recallSum += MeanRecallAtK(found, truthChunk, truth->Dim(), report.topk) *
                         static_cast<double>(count);
        }
    }
    Status closed = s.Close();
    if (!st.IsOk()) return st;
    if (!closed.IsOk()) return WithContext(closed, request.indexPath + ": close failed");
    if (writer) ORVANE_RETURN_IF_ERROR(writer->Commit());

    report.queries = latencies.size();
    report.seconds = std::chrono::duration<double>(total).count();
    report.latency = SummarizeLatency(std::move(latencies));
    if (truth) {
        report.recall = report.queries == 0 ? 0.0 : recallSum / static_cast<double>(report.queries);
    }
    return report;
}

void PrintHits(std::ostream& out, uint64_t query, std::span<const api::SearchHit> hits) {
    char buf[32];
    out << query << ":";
    for (const api::SearchHit& h : hits) {
        std::snprintf(buf, sizeof(buf), "%.6g", static_cast<double>(h.distance));
        out << ' ' << h.id << " (" << buf << ')';
    }
    out << '\n';
}

}  // namespace orvane::tools

namespace orvane::tools {
namespace {

constexpr FlagSpec kSearchFlags[] = {
    {"queries", '\0', true, false, "FILE  query vectors (.fvecs, .fbin or .npy float32)"},
    {"topk", 'k', true, false, "K  hits per query (default 10)"},
    {"option", 'o', true, true,
     "KEY=VALUE  searcher or file option (repeatable): io.verify_crc=true checks every "
     "section's checksum; io.reader.type=mmap maps the file (a file truncated or rewritten "
     "in place while mapped ends the process with SIGBUS); index.type and index.dimension "
     "are read from the file when not given"},
    {"search", 's', true, true,
     "KEY=VALUE  search option, e.g. search.nprobe=8 or nprobe=8 (repeatable)"},
    {"threads", 't', true, false,
     "N  threads each batch of queries may use, 1..1024 (default: all hardware threads)"},
    {"truth", '\0', true, false,
     "FILE  ground-truth neighbour ids per query (.ivecs, .ibin or .npy): report recall@k"},
    {"output", '\0', true, false,
     "FILE  write the hits to FILE (.ivecs or .ibin ids, or .json ids and distances) "
     "instead of printing them"},
    {"quiet", 'q', false, false, "do not print the hits"},
    kVerboseFlag,
    kHelpFlag,
};

constexpr char kSearchUsage[] =
    "usage: orvane search [options] INDEX --queries FILE\n"
    "       orvane search [options] INDEX FILE\n"
    "\n"
    "Runs the queries of FILE against the index file INDEX in batches of 1024, each\n"
    "spread over --threads threads, and reports queries per second and the latency\n"
    "percentiles, each query counting an equal share of its batch's time (and\n"
    "recall@k with --truth).\n"
    "\n"
    "example: orvane search base.idx --queries query.fvecs -k 10 --truth gt.ivecs --quiet\n"
    "\n";

}  // namespace

int RunSearch(std::span<const std::string> args, CommandIo& io) {
    ParsedArgs a;
    if (auto done = ParseCommandArgs("search", args, kSearchFlags, kSearchUsage, io, a))
        return *done;
    // The query file may also follow the index file: "orvane search INDEX QUERIES".
    const auto& words = a.Positional();
    const bool queriesGiven = a.Has("queries");
    if (words.size() != (queriesGiven ? 1u : 2u)) {
        return ReportError(io, "search",
                           InvalidInput("expected an index file and a query file: INDEX "
                                        "--queries FILE or INDEX FILE (see orvane search --help)"),
                           kExitUsage);
    }
    SearchRequest request;
    request.indexPath = words[0];
    request.queriesPath = queriesGiven ? *a.Get("queries") : words[1];
    request.truthPath = a.Get("truth");
    if (a.Has("topk")) {
        auto topk = a.GetPositive("topk", kDefaultTopk);
        if (!topk) return ReportError(io, "search", topk.GetStatus(), kExitUsage);
        request.topk = topk.Value();
    }
    if (a.Has("threads")) {
        auto threads = a.GetPositive("threads", 1);
        if (!threads) return ReportError(io, "search", threads.GetStatus(), kExitUsage);
        request.threads = threads.Value();
    }
    auto searcherOptions = ParseKeyValues(a.GetAll("option"));
    if (!searcherOptions) return ReportError(io, "search", searcherOptions.GetStatus(), kExitUsage);
    request.searcherOptions = searcherOptions.TakeValue();
    auto searchOptions = ParseKeyValues(a.GetAll("search"));
    if (!searchOptions) return ReportError(io, "search", searchOptions.GetStatus(), kExitUsage);
    // As in the Python package, a key without a dot is a search.* key: -s nprobe=8.
    for (auto& [key, value] : searchOptions.Value()) {
        request.searchOptions[key.find('.') == std::string::npos ? "search." + key : key] = value;
    }

    request.outputPath = a.Get("output");
    if (!request.outputPath && !a.Has("quiet")) {
        request.onHits = [&io](uint64_t query, std::span<const api::SearchHit> hits) {
            PrintHits(io.out, query, hits);
            return io.out ? Status::Ok() : StdoutFailed();
        };
    }

    auto report = SearchIndex(request);
    if (!report) return ReportError(io, "search", report.GetStatus());
    const SearchReport& r = report.Value();
    char line[160];
    io.out << "searched " << r.queries << " queries on " << r.type << " index (" << r.meta.count
           << " x " << r.meta.dim << "), topk " << r.topk << "\n";
    std::snprintf(line, sizeof(line), "QPS: %.1f  latency p50: %.3f ms  p99: %.3f ms\n", r.Qps(),
                  r.latency.p50Micros / 1000.0, r.latency.p99Micros / 1000.0);
    io.out << line;
    if (r.recall) {
        std::snprintf(line, sizeof(line), "recall@%u: %.4f\n", r.topk, *r.recall);
        io.out << line;
    }
    return kExitOk;
}

}  // namespace orvane::tools
