// Logging: how a host program controls the library's log. By default records
// of level Info and above go to standard output, one line each:
// "[time] [LEVEL] [thread,file:line] [message]". A host may raise or lower the
// level, send the lines to standard error, or take them itself through a
// callback (to route them into its own logger). The settings are process-wide
// and may be changed at any time; records being written while they change go
// to either the old or the new destination.
#pragma once

#include <cstdint>

namespace orvane::api {

enum class LogLevel : int32_t {
    Trace = 0,
    Debug = 1,
    Info = 2,
    Warn = 3,
    Error = 4,
};

// Records below `level` are dropped before they are formatted.
void SetLogLevel(LogLevel level);
LogLevel GetLogLevel();

// Receives each record's level and its formatted line (no trailing newline,
// valid only during the call). Called from whichever library thread logs,
// possibly from several at once; it must not call back into these functions.
using LogCallback = void (*)(LogLevel level, const char* line, void* user);

// Sends every record to `callback` (with `user` passed through) instead of a
// standard stream. A null callback restores the default, standard output.
void SetLogCallback(LogCallback callback, void* user);

// Sends every record to standard error (or back to standard output).
void LogToStandardError();
void LogToStandardOutput();

}  // namespace orvane::api
