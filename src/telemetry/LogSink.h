// LogRecord and the sinks that receive them. Sinks are called outside the
// logger's lock and must tolerate concurrent Write calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "orvane/api/Logging.h"

namespace orvane::telemetry {

// One level type for the library and the hosts that set it.
using LogLevel = api::LogLevel;

const char* LevelName(LogLevel level);

struct LogRecord {
    LogLevel level = LogLevel::Info;
    std::string module;  // base name of the source file
    std::string message;
    const char* file = "";  // caller's source path literal, not owned
    int line = 0;
    uint64_t threadId = 0;
    std::chrono::system_clock::time_point ts;
};

class LogSink {
  public:
    virtual ~LogSink() = default;
    virtual void Write(const LogRecord& record) = 0;
};

// Writes "[time] [LEVEL] [thread,file:line] [message]" lines to standard output.
class StdoutSink : public LogSink {
  public:
    void Write(const LogRecord& record) override;
    // The line without its trailing newline; shared with tests and other sinks.
    static std::string FormatLine(const LogRecord& record);
};

// Writes the same lines to standard error, for hosts whose standard output carries
// their own results.
class StderrSink : public LogSink {
  public:
    void Write(const LogRecord& record) override;
};

}  // namespace orvane::telemetry
