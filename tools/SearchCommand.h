// SearchCommand: `orvane search`, answering a file of queries against an index file.
// The index kind and dimension are read from the file when not given; every query is
// timed on its own, and with a ground-truth file recall@k is reported. Hits are
// printed or written as .ivecs (ids) or .json (ids and distances).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Recall.h"
#include "api/Result.h"
#include "api/SearchTypes.h"

namespace orvane::tools {

struct CommandIo;

struct SearchRequest {
    std::string indexPath;
    std::string queriesPath;
    std::optional<uint64_t> topk;  // --topk; default 10 unless -s search.topk is given
    TextOptions searcherOptions;   // searcher and IO options, "-o key=value"
    TextOptions searchOptions;     // "-s key=value"
    std::optional<std::string> truthPath;
};

struct SearchReport {
    std::string type;
    api::IndexInfo meta;
    uint32_t topk = 0;
    std::vector<std::vector<api::SearchHit>> hits;  // per query, best first
    double seconds = 0;                             // wall time of all searches
    LatencySummary latency;
    std::optional<double> recall;  // recall@topk when a truth file was given

    double Qps() const { return seconds > 0 ? static_cast<double>(hits.size()) / seconds : 0; }
};

core::Result<SearchReport> SearchIndex(const SearchRequest& request);

// Writes the hits as .ivecs (topk ids per query, -1 where a query has fewer hits) or
// .json ({"topk": K, "results": [{"ids": [...], "distances": [...]}, ...]}).
core::Status WriteHits(const std::string& path, const SearchReport& report);
void PrintHits(std::ostream& out, const SearchReport& report);

int RunSearch(std::span<const std::string> args, CommandIo& io);

}  // namespace orvane::tools
