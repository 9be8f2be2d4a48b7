// Logger: the process-wide logger. The level is atomic and checked before any
// formatting; the sink list is guarded by one mutex and sinks run outside it.
// Use the ORVANE_LOG_* macros, which pass the caller's source path and line.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "telemetry/LogSink.h"

namespace orvane::telemetry {

class Logger {
  public:
    static Logger& Instance();

    void SetLevel(LogLevel level) { _level.store(level, std::memory_order_relaxed); }
    LogLevel Level() const { return _level.load(std::memory_order_relaxed); }
    bool ShouldLog(LogLevel level) const {
        return static_cast<int32_t>(level) >= static_cast<int32_t>(Level());
    }

    // A null sink is ignored. Sinks may be added, removed or replaced while
    // other threads log: a record in flight keeps the sinks it started with.
    void AddSink(std::unique_ptr<LogSink> sink);
    void ClearSinks();
    // Makes `sink` the only sink in one step, so no record falls between.
    void ReplaceSinks(std::unique_ptr<LogSink> sink);

    // Delivers a record to every sink (or the fallback stdout sink when there
    // are none). Applies no level filter of its own.
    void Submit(LogLevel level, std::string_view module, std::string message, const char* file,
                int line);

  private:
    Logger();

    std::vector<std::shared_ptr<LogSink>> _sinks;
    std::mutex _mu;
    std::atomic<LogLevel> _level{LogLevel::Info};
};

namespace detail {

// printf-style formatting into an owned string; "[format error]" on failure.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string FormatString() {
    return std::string();
}
std::string_view Basename(std::string_view path);

}  // namespace detail
}  // namespace orvane::telemetry

#define ORVANE_LOG(level, ...)                                                                   \
    do {                                                                                         \
        auto& _orv_logger = ::orvane::telemetry::Logger::Instance();                             \
        if (_orv_logger.ShouldLog(level)) {                                                      \
            _orv_logger.Submit(level, ::orvane::telemetry::detail::Basename(__FILE__),           \
                               ::orvane::telemetry::detail::FormatString(__VA_ARGS__), __FILE__, \
                               __LINE__);                                                        \
        }                                                                                        \
    } while (0)

#define ORVANE_LOG_TRACE(...) ORVANE_LOG(::orvane::telemetry::LogLevel::Trace, __VA_ARGS__)
#define ORVANE_LOG_DEBUG(...) ORVANE_LOG(::orvane::telemetry::LogLevel::Debug, __VA_ARGS__)
#define ORVANE_LOG_INFO(...) ORVANE_LOG(::orvane::telemetry::LogLevel::Info, __VA_ARGS__)
#define ORVANE_LOG_WARN(...) ORVANE_LOG(::orvane::telemetry::LogLevel::Warn, __VA_ARGS__)
#define ORVANE_LOG_ERROR(...) ORVANE_LOG(::orvane::telemetry::LogLevel::Error, __VA_ARGS__)

// Logs a failed inner step at Warn as "Status=[code] Msg=[msg]: context".
#define ORVANE_LOG_STATUS_WARN(status, context)                                    \
    ORVANE_LOG_WARN("Status=[%d] Msg=[%s]: %s", static_cast<int>((status).Code()), \
                    (status).Message().c_str(), context)
