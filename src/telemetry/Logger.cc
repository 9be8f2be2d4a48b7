#include "telemetry/Logger.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <functional>
#include <thread>

namespace orvane::telemetry {

const char* LevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Trace:
            return "TRACE";
        case LogLevel::Debug:
            return "DEBUG";
        case LogLevel::Info:
            return "INFO";
        case LogLevel::Warn:
            return "WARN";
        case LogLevel::Error:
            return "ERROR";
    }
    return "UNKNOWN";
}

std::string StdoutSink::FormatLine(const LogRecord& record) {
    using namespace std::chrono;
    const auto sinceEpoch = record.ts.time_since_epoch();
    const auto secs = duration_cast<seconds>(sinceEpoch);
    auto micros = duration_cast<microseconds>(sinceEpoch - secs).count();
    if (micros < 0) micros += 1000000;
    const std::time_t t = system_clock::to_time_t(record.ts);
    std::tm local{};
    localtime_r(&t, &local);
    char when[32];
    std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local);
    char prefix[96];
    std::snprintf(prefix, sizeof(prefix), "[%s.%06lld] [%s] [%llu,", when,
                  static_cast<long long>(micros), LevelName(record.level),
                  static_cast<unsigned long long>(record.threadId));
    std::string line = prefix;
    line += record.file != nullptr ? record.file : "";
    line += ':';
    line += std::to_string(record.line);
    line += "] [";
    line += record.message;
    line += ']';
    return line;
}

namespace {

void WriteLine(const LogRecord& record, std::FILE* out) {
    std::string line = StdoutSink::FormatLine(record);
    line += '\n';
    // One fwrite per line so lines from different threads do not interleave.
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

}  // namespace

void StdoutSink::Write(const LogRecord& record) {
    WriteLine(record, stdout);
}

void StderrSink::Write(const LogRecord& record) {
    WriteLine(record, stderr);
}

Logger::Logger() {
    _sinks.push_back(std::make_unique<StdoutSink>());
}

Logger& Logger::Instance() {
    // Never destroyed: searchers and builders held in static objects log while
    // they close at exit, after a function-local static would be gone.
    static Logger* const instance = new Logger();
    return *instance;
}

void Logger::AddSink(std::unique_ptr<LogSink> sink) {
    if (!sink) return;
    std::lock_guard<std::mutex> lock(_mu);
    _sinks.push_back(std::move(sink));
}

void Logger::ClearSinks() {
    std::lock_guard<std::mutex> lock(_mu);
    _sinks.clear();
}

void Logger::ReplaceSinks(std::unique_ptr<LogSink> sink) {
    std::shared_ptr<LogSink> shared(std::move(sink));
    std::vector<std::shared_ptr<LogSink>> old;
    {
        std::lock_guard<std::mutex> lock(_mu);
        old.swap(_sinks);
        if (shared) _sinks.push_back(std::move(shared));
    }
    // The old sinks are released outside the lock (a record in flight may
    // still hold one).
}

void Logger::Submit(LogLevel level, std::string_view module, std::string message, const char* file,
                    int line) {
    LogRecord record;
    record.level = level;
    record.module = std::string(module);
    record.message = std::move(message);
    record.file = file;
    record.line = line;
    record.threadId = std::hash<std::thread::id>{}(std::this_thread::get_id());
    record.ts = std::chrono::system_clock::now();

    std::vector<std::shared_ptr<LogSink>> sinks;
    {
        std::lock_guard<std::mutex> lock(_mu);
        sinks = _sinks;
    }
    if (sinks.empty()) {
        static StdoutSink fallback;
        fallback.Write(record);
        return;
    }
    for (const auto& sink : sinks) sink->Write(record);
}

namespace detail {

std::string FormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) {
        va_end(args);
        return "[format error]";
    }
    std::string out(static_cast<size_t>(length), '\0');
    const int written = std::vsnprintf(out.data(), out.size() + 1, format, args);
    va_end(args);
    if (written < 0) return "[format error]";
    return out;
}

std::string_view Basename(std::string_view path) {
    const auto pos = path.find_last_of("/\\");
    return pos == std::string_view::npos ? path : path.substr(pos + 1);
}

}  // namespace detail
}  // namespace orvane::telemetry
