// SearchCommand: `orvane search`, answering a file of queries against an index file.
// The index kind and dimension are read from the file when not given; every query is
// timed on its own, and with a ground-truth file recall@k is reported. Hits are
// handed on query by query (printed, or written by a HitWriter) and not kept, so
// memory does not grow with the number of queries.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Recall.h"
#include "orvane/core/Result.h"
#include "orvane/api/SearchTypes.h"

namespace orvane::tools {

struct CommandIo;

struct SearchRequest {
    std::string indexPath;
    std::string queriesPath;
    std::optional<uint64_t> topk;     // --topk; default 10 unless -s search.topk is given
    TextOptions searcherOptions;      // searcher and IO options, "-o key=value"
    TextOptions searchOptions;        // "-s key=value"
    std::optional<uint64_t> threads;  // --threads: search.batch_threads of every batch
    std::optional<std::string> truthPath;
    // Where the hits go: a file (see HitWriter), and/or a function called with each
    // query's position and hits, best first. A failing call ends the run.
    std::optional<std::string> outputPath;
    std::function<core::Status(uint64_t, std::span<const api::SearchHit>)> onHits;
};

struct SearchReport {
    std::string type;
    api::IndexInfo meta;
    uint32_t topk = 0;
    uint64_t queries = 0;
    double seconds = 0;  // time spent in the searches
    LatencySummary latency;
    std::optional<double> recall;  // recall@topk when a truth file was given

    double Qps() const { return seconds > 0 ? static_cast<double>(queries) / seconds : 0; }
};

// Checks every path, the output's type and the truth file's shape before the first
// query is run.
core::Result<SearchReport> SearchIndex(const SearchRequest& request);

// One line per query: "Q: id (distance) id (distance) ...".
void PrintHits(std::ostream& out, uint64_t query, std::span<const api::SearchHit> hits);

int RunSearch(std::span<const std::string> args, CommandIo& io);

}  // namespace orvane::tools
