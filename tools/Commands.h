// Commands: the entry point of the `orvane` tool and the streams its subcommands
// write to. Each subcommand returns the process exit code: 0 on success, 1 when the
// work failed, 2 for a usage error. Errors are one line on `err`.
#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "CommandLine.h"
#include "orvane/core/Status.h"

namespace orvane::tools {

struct CommandIo {
    std::ostream& out;
    std::ostream& err;
    bool interactive = false;  // `err` is a terminal: progress bars redraw in place
};

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The flags every subcommand takes: RunCli routes the library log by --verbose and
// ParseCommandArgs answers --help.
inline constexpr FlagSpec kVerboseFlag{"verbose", 'v', false, false,
                                       "show the library's log on stderr"};
inline constexpr FlagSpec kHelpFlag{"help", 'h', false, false, "show this help"};

// Runs `orvane ARGS...` (args without the program name).
int RunCli(std::span<const std::string> args, CommandIo& io);

// The failure of a write to standard output (a full disk, a closed pipe), with the
// system's reason when `err` (an errno value) is not 0.
core::Status StdoutFailed(int err = 0);

// Prints "orvane CMD: error: MESSAGE" and returns kExitFailure (or kExitUsage).
int ReportError(CommandIo& io, std::string_view command, const core::Status& status,
                int code = kExitFailure);

// The start every subcommand shares: parses `args` against `flags` into `parsed`.
// A parse error is reported as a usage error, and --help prints `usage` followed by
// the flag table; both end the command with the exit code returned. Otherwise the
// result is empty and the command goes on.
std::optional<int> ParseCommandArgs(std::string_view command, std::span<const std::string> args,
                                    std::span<const FlagSpec> flags, std::string_view usage,
                                    CommandIo& io, ParsedArgs& parsed);

}  // namespace orvane::tools
