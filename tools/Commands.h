// Commands: the entry point of the `orvane` tool and the streams its subcommands
// write to. Each subcommand returns the process exit code: 0 on success, 1 when the
// work failed, 2 for a usage error. Errors are one line on `err`.
#pragma once

#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "api/Status.h"

namespace orvane::tools {

struct CommandIo {
    std::ostream& out;
    std::ostream& err;
    bool interactive = false;  // `err` is a terminal: progress bars redraw in place
};

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Runs `orvane ARGS...` (args without the program name).
int RunCli(std::span<const std::string> args, CommandIo& io);

// Prints "orvane CMD: error: MESSAGE" and returns kExitFailure (or kExitUsage).
int ReportError(CommandIo& io, std::string_view command, const core::Status& status,
                int code = kExitFailure);

}  // namespace orvane::tools
