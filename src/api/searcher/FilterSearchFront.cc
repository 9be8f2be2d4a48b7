#include "api/searcher/FilterSearchFront.h"

#include <limits>
#include <string>
#include <variant>

#include "telemetry/Logger.h"

namespace orvane::api {
namespace {

constexpr char kParallelKey[] = "search.parallel_number";
constexpr char kThreadSafeKey[] = "search.thread_safe_filter";

// Logs at Error on behalf of the back end that called into this file, so the
// record carries that back end's source file and line.
template <typename... Args>
std::string Format(const char* format, Args... args) {
    // The format is one of the fixed texts above or a back end's own constant.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    return telemetry::detail::FormatString(format, args...);
#pragma GCC diagnostic pop
}

template <typename... Args>
void LogErrorAt(const util::CallSite& where, const char* format, Args... args) {
    auto& logger = telemetry::Logger::Instance();
    if (!logger.ShouldLog(telemetry::LogLevel::Error)) return;
    std::string message = Format(format, args...);
    logger.Submit(telemetry::LogLevel::Error, telemetry::detail::Basename(where.file),
                  std::move(message), where.file, where.line);
}

core::Status TypeMismatch(const char* key) {
    return core::Status(core::ErrorCode::InvalidArgument, std::string("Type mismatch for ") + key);
}

}  // namespace

core::Result<uint32_t> ReadParallelNumber(const api::SearchOptions& options, const char* rangeLog,
                                          util::CallSite where) {
    auto it = options.Values().find(kParallelKey);
    if (it == options.Values().end()) return uint32_t{1};
    if (!std::holds_alternative<int64_t>(it->second)) return TypeMismatch(kParallelKey);
    const int64_t value = std::get<int64_t>(it->second);
    // The range is checked on the full 64-bit value: 2^32 + 1 must not wrap into range.
    if (value < 1 || value > static_cast<int64_t>(kMaxSearchParallelNumber)) {
        const uint32_t shown = value > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())
                                   ? std::numeric_limits<uint32_t>::max()
                                   : static_cast<uint32_t>(value);
        // The caller sees the logged text too: an empty message tells it nothing.
        std::string message = Format(rangeLog, shown, kMaxSearchParallelNumber);
        LogErrorAt(where, "%s", message.c_str());
        return core::Status(core::ErrorCode::InvalidArgument, std::move(message));
    }
    return static_cast<uint32_t>(value);
}

core::Result<FilterSearchPlan> ReadFilterSearchPlan(const api::SearchOptions& options,
                                                    const char* rangeLog, util::CallSite where) {
    FilterSearchPlan plan;
    auto safe = options.Values().find(kThreadSafeKey);
    if (safe != options.Values().end()) {
        if (!std::holds_alternative<bool>(safe->second)) return TypeMismatch(kThreadSafeKey);
        plan.threadSafeFilter = std::get<bool>(safe->second);
    }

    auto parallel = ReadParallelNumber(options, rangeLog, where);
    if (!parallel.IsOk()) return parallel.TakeStatus();
    plan.parallelNumber = parallel.Value();
    if (plan.parallelNumber >= 2 && !plan.threadSafeFilter) {
        LogErrorAt(where,
                   "Multi threaded search when filter is not thread safe: thread count [%u] vs "
                   "thread safe filter [%d]",
                   plan.parallelNumber, 0);
        return core::Status(core::ErrorCode::InvalidArgument,
                            "Multi threaded search when filter is not thread safe");
    }
    return plan;
}

core::Result<FilterSearchPlan> PrepareFilteredSearch(const api::Query& query,
                                                     const api::SearchOptions& options,
                                                     api::dimension_t dimension,
                                                     const char* rangeLog, util::CallSite where) {
    auto plan = ReadFilterSearchPlan(options, rangeLog, where);
    if (!plan.IsOk()) return plan;
    if (query.data == nullptr) {
        return core::Status(core::ErrorCode::InvalidArgument, "query data is null");
    }
    if (query.size != dimension) {
        return core::Status(core::ErrorCode::InvalidArgument,
                            "query data size does not match index dimension");
    }
    return plan;
}

}  // namespace orvane::api
