#include "SearchCommand.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

#include "Commands.h"
#include "IndexFile.h"
#include "ToolOptions.h"
#include "ToolStatus.h"
#include "VectorFile.h"
#include "api/OptionNormalize.h"
#include "api/OrvaneSearcher.h"
#include "impl/index/IndexKindRegistry.h"
#include "schema/SchemaCatalog.h"

namespace orvane::tools {

using core::Result;
using core::Status;

namespace {

constexpr uint64_t kDefaultTopk = 10;
constexpr uint64_t kQueryChunkRows = 1024;

// Reads the truth file and returns recall@topk of the report's hits.
Result<double> ComputeRecall(const std::string& path, const SearchReport& report) {
    auto truth = VectorFileReader::Open(path);
    if (!truth) return truth.TakeStatus();
    VectorFileReader& t = truth.Value();
    if (t.Rows() != report.hits.size()) {
        return InvalidInput(path + ": has " + std::to_string(t.Rows()) + " rows but there are " +
                            std::to_string(report.hits.size()) + " queries");
    }
    if (t.Dim() < report.topk) {
        return InvalidInput(path + ": has " + std::to_string(t.Dim()) +
                            " neighbours per query, fewer than topk " +
                            std::to_string(report.topk));
    }
    std::vector<uint64_t> ids(t.Rows() * t.Dim());
    ORVANE_RETURN_IF_ERROR(t.ReadUInt64(0, t.Rows(), ids.data()));
    std::vector<std::vector<uint64_t>> found(report.hits.size());
    for (size_t q = 0; q < report.hits.size(); ++q) {
        for (const api::SearchHit& h : report.hits[q]) found[q].push_back(h.id);
    }
    return MeanRecallAtK(found, ids, t.Dim(), report.topk);
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
    if (searcherText.count("index.dimension") == 0) {
        const auto& meta = info.Value().meta;
        searcherText["index.dimension"] = std::to_string(meta ? meta->dim : q.Dim());
    }
    auto searcherOptions = api::NormalizeSearcherOptions(searcherText);
    if (!searcherOptions) return WithContext(searcherOptions.GetStatus(), "searcher options");
    ORVANE_RETURN_IF_ERROR(
        CheckKnownKeys(searcherText, schema::LookupSearcherSchema(type), type + " searcher"));
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
    auto searchOptions = api::NormalizeSearchOptions(type, searchText);
    if (!searchOptions) return WithContext(searchOptions.GetStatus(), "search options");
    ORVANE_RETURN_IF_ERROR(
        CheckKnownKeys(searchText, schema::LookupSearchSchema(type), type + " search"));
    const int64_t topk = searchOptions.Value().GetInt("search.topk", 0);
    if (topk <= 0 || topk > std::numeric_limits<uint32_t>::max()) {
        return InvalidInput("search.topk must be a positive 32-bit integer");
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
    report.hits.reserve(q.Rows());
    std::vector<double> latencies;
    latencies.reserve(q.Rows());
    std::vector<float> chunk;
    using Clock = std::chrono::steady_clock;
    Clock::duration total{};
    for (uint64_t first = 0; first < q.Rows() && st.IsOk(); first += kQueryChunkRows) {
        const uint64_t count = std::min(kQueryChunkRows, q.Rows() - first);
        chunk.resize(count * q.Dim());
        st = q.ReadFloats(first, count, chunk.data());
        for (uint64_t i = 0; i < count && st.IsOk(); ++i) {
            const api::Query query(chunk.data() + i * q.Dim(), q.Dim());
            const auto t0 = Clock::now();
            auto result = s.Search(query, searchOptions.Value());
            const auto t1 = Clock::now();
            if (!result) {
                st = WithContext(result.GetStatus(), "query " + std::to_string(first + i));
                break;
            }
            total += t1 - t0;
            latencies.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            report.hits.push_back(std::move(result.Value().topk));
        }
    }
    Status closed = s.Close();
    if (!st.IsOk()) return st;
    if (!closed.IsOk()) return WithContext(closed, request.indexPath + ": close failed");

    report.seconds = std::chrono::duration<double>(total).count();
    report.latency = SummarizeLatency(std::move(latencies));
    if (request.truthPath) {
        auto recall = ComputeRecall(*request.truthPath, report);
        if (!recall) return recall.TakeStatus();
        report.recall = recall.Value();
    }
    return report;
}

Status WriteHits(const std::string& path, const SearchReport& report) {
    if (path.size() >= 5 && path.compare(path.size() - 5, 5, ".json") == 0) {
        std::string json = "{\"topk\": " + std::to_string(report.topk) + ", \"results\": [";
        char buf[32];
        for (size_t q = 0; q < report.hits.size(); ++q) {
            json += q == 0 ? "\n" : ",\n";
            std::string ids, dists;
            for (const api::SearchHit& h : report.hits[q]) {
                if (!ids.empty()) {
                    ids += ", ";
                    dists += ", ";
                }
                ids += std::to_string(h.id);
                // JSON has no NaN or infinity.
                if (std::isfinite(h.distance)) {
                    std::snprintf(buf, sizeof(buf), "%.9g", static_cast<double>(h.distance));
                    dists += buf;
                } else {
                    dists += "null";
                }
            }
            json += "  {\"ids\": [" + ids + "], \"distances\": [" + dists + "]}";
        }
        json += "\n]}\n";
        return WriteFileAtomically(path, json);
    }
    // Checked before the id matrix is allocated: its size follows the requested topk,
    // not the number of hits.
    ORVANE_RETURN_IF_ERROR(CheckMatrixDim(path, report.topk));
    std::vector<int32_t> ids(report.hits.size() * report.topk, -1);
    for (size_t q = 0; q < report.hits.size(); ++q) {
        const auto& hits = report.hits[q];
        for (size_t i = 0; i < hits.size() && i < report.topk; ++i) {
            if (hits[i].id > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
                return InvalidInput(path + ": row id " + std::to_string(hits[i].id) +
                                    " does not fit an int32 file; write .json instead");
            }
            ids[q * report.topk + i] = static_cast<int32_t>(hits[i].id);
        }
    }
    return WriteInt32Matrix(path, ids.data(), report.hits.size(), report.topk);
}

void PrintHits(std::ostream& out, const SearchReport& report) {
    char buf[32];
    for (size_t q = 0; q < report.hits.size(); ++q) {
        out << q << ":";
        for (const api::SearchHit& h : report.hits[q]) {
            std::snprintf(buf, sizeof(buf), "%.6g", static_cast<double>(h.distance));
            out << ' ' << h.id << " (" << buf << ')';
        }
        out << '\n';
    }
}

}  // namespace orvane::tools

namespace orvane::tools {
namespace {

constexpr FlagSpec kSearchFlags[] = {
    {"queries", '\0', true, false, "FILE  query vectors (.fvecs, .fbin or .npy float32)"},
    {"topk", 'k', true, false, "K  hits per query (default 10)"},
    {"option", 'o', true, true,
     "KEY=VALUE  searcher or file option, e.g. io.reader.type=mmap (repeatable); "
     "index.type and index.dimension are read from the file when not given"},
    {"search", 's', true, true, "KEY=VALUE  search option, e.g. search.nprobe=8 (repeatable)"},
    {"truth", '\0', true, false,
     "FILE  ground-truth neighbour ids per query (.ivecs, .ibin or .npy): report recall@k"},
    {"output", '\0', true, false,
     "FILE  write the hits to FILE (.ivecs ids or .json) instead "
     "of printing them"},
    {"quiet", 'q', false, false, "do not print the hits"},
    kVerboseFlag,
    kHelpFlag,
};

constexpr char kSearchUsage[] =
    "usage: orvane search [options] INDEX --queries FILE\n"
    "\n"
    "Runs every query of FILE against the index file INDEX, one at a time, and reports\n"
    "queries per second and the latency percentiles (and recall@k with --truth).\n"
    "\n"
    "example: orvane search base.idx --queries q.fvecs -k 10 --truth gt.ivecs --quiet\n"
    "\n";

}  // namespace

int RunSearch(std::span<const std::string> args, CommandIo& io) {
    ParsedArgs a;
    if (auto done = ParseCommandArgs("search", args, kSearchFlags, kSearchUsage, io, a))
        return *done;
    if (a.Positional().size() != 1 || !a.Has("queries")) {
        return ReportError(
            io, "search",
            InvalidInput("expected one index file and --queries FILE (see orvane search "
                         "--help)"),
            kExitUsage);
    }
    SearchRequest request;
    request.indexPath = a.Positional()[0];
    request.queriesPath = *a.Get("queries");
    request.truthPath = a.Get("truth");
    if (a.Has("topk")) {
        auto topk = a.GetPositive("topk", kDefaultTopk);
        if (!topk) return ReportError(io, "search", topk.GetStatus(), kExitUsage);
        request.topk = topk.Value();
    }
    auto searcherOptions = ParseKeyValues(a.GetAll("option"));
    if (!searcherOptions) return ReportError(io, "search", searcherOptions.GetStatus(), kExitUsage);
    request.searcherOptions = searcherOptions.TakeValue();
    auto searchOptions = ParseKeyValues(a.GetAll("search"));
    if (!searchOptions) return ReportError(io, "search", searchOptions.GetStatus(), kExitUsage);
    request.searchOptions = searchOptions.TakeValue();

    auto report = SearchIndex(request);
    if (!report) return ReportError(io, "search", report.GetStatus());
    const SearchReport& r = report.Value();
    if (auto output = a.Get("output")) {
        Status st = WriteHits(*output, r);
        if (!st.IsOk()) return ReportError(io, "search", st);
    } else if (!a.Has("quiet")) {
        PrintHits(io.out, r);
    }
    char line[160];
    io.out << "searched " << r.hits.size() << " queries on " << r.type << " index (" << r.meta.count
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
