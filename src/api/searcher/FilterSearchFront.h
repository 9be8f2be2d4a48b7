// FilterSearchFront: the checks every filtering back end runs before its own
// filtered scan. It reads whether the caller declared the filter thread safe
// and how many workers the search may use, refuses a worker count outside
// 1..1000 or a multi-threaded search with a filter that is not thread safe,
// and checks the query against the index dimension. Back ends pass their own
// out-of-range log text, so each keeps its established log line. Log records
// name the calling back end's source file and line.
#pragma once

#include <cstdint>

#include "orvane/api/Options.h"
#include "orvane/api/Query.h"
#include "orvane/core/Result.h"
#include "orvane/api/SearchTypes.h"
#include "util/CallSite.h"

namespace orvane::api {

// Largest accepted `search.parallel_number`.
inline constexpr uint32_t kMaxSearchParallelNumber = 1000;

// Out-of-range log texts of the filtering kinds; each takes the value and the
// limit as two %u arguments.
inline constexpr char kBruteforceParallelRangeLog[] = "ParallelNumber is out of range[%u vs %u]";
inline constexpr char kDiskANNParallelRangeLog[] = "ParallelNumber is out of range[%u] vs [%u]";

// How a filtered search may run, as the options asked for it.
struct FilterSearchPlan {
    bool threadSafeFilter = false;
    uint32_t parallelNumber = 1;
};

// Reads `search.parallel_number` (1 when absent). A value outside
// 1..kMaxSearchParallelNumber is logged at Error with `rangeLog` (a printf text
// taking the value and the limit as %u) and refused with InvalidArgument
// carrying that same text; a value of another type is refused as a type mismatch.
// Serves the unfiltered Search paths too.
core::Result<uint32_t> ReadParallelNumber(const api::SearchOptions& options, const char* rangeLog,
                                          util::CallSite where = util::CallSite::Current());

// The option part of PrepareFilteredSearch: the filter's thread safety and the
// parallel number, with the same refusals, without looking at a query.
core::Result<FilterSearchPlan> ReadFilterSearchPlan(
    const api::SearchOptions& options, const char* rangeLog,
    util::CallSite where = util::CallSite::Current());

// The front part of a back end's SearchWithFilter: reads the filter's thread
// safety (`search.thread_safe_filter`, false when absent) and the parallel
// number, refuses parallel numbers of 2 or more for a filter not declared
// thread safe (logged at Error, InvalidArgument "Multi threaded search when
// filter is not thread safe"), then
// checks that the query has data ("query data is null") and `dimension` floats
// ("query data size does not match index dimension").
core::Result<FilterSearchPlan> PrepareFilteredSearch(
    const api::Query& query, const api::SearchOptions& options, api::dimension_t dimension,
    const char* rangeLog, util::CallSite where = util::CallSite::Current());

}  // namespace orvane::api
