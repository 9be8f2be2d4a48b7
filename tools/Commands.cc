#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <ostream>
#include <string>
#include <string_view>

#include "BuildCommand.h"
#include "Commands.h"
#include "DemoCommand.h"
#include "InfoCommand.h"
#include "OptionsCommand.h"
#include "PartialFile.h"
#include "SearchCommand.h"
#include "orvane/api/Version.h"
#include "telemetry/Logger.h"

namespace orvane::tools {
namespace {

// Without --verbose the tool's standard streams carry only its own output (the
// logger would fall back to standard output with no sink at all), except the
// few library warnings about something the user asked for and did not get: those
// go to stderr as "orvane: warning: ...". Every other record is dropped.
class DiscardSink : public telemetry::LogSink {
  public:
    void Write(const telemetry::LogRecord&) override {}
};

class QuietSink : public telemetry::LogSink {
  public:
    explicit QuietSink(std::ostream& err) : _err(err) {}

    void Write(const telemetry::LogRecord& record) override {
        if (record.level != telemetry::LogLevel::Warn) return;
        for (std::string_view prefix : kUserWarnings) {
            if (record.message.rfind(prefix, 0) == 0) {
                std::lock_guard<std::mutex> lock(_mutex);
                _err << "orvane: warning: " << record.message << "\n";
                return;
            }
        }
    }

  private:
    // A requested memory lock that failed (the file is searched unlocked).
    static constexpr std::string_view kUserWarnings[] = {"Failed to mlock file"};
    std::mutex _mutex;
    std::ostream& _err;
};

struct Subcommand {
    const char* name;
    int (*run)(std::span<const std::string>, CommandIo&);
    const char* summary;
};

constexpr Subcommand kSubcommands[] = {
    {"build", RunBuild, "build an index file from a vector file"},
    {"search", RunSearch, "run queries against an index file; QPS, latency, recall"},
    {"info", RunInfo, "list the sections of an index file and its kind's meta"},
    {"demo", RunDemo, "build and search every index kind on a generated dataset"},
    {"options", RunOptions, "list every option key with its type, range and meaning"},
};

void PrintUsage(std::ostream& out) {
    out << "usage: orvane COMMAND [options]\n\ncommands:\n";
    for (const Subcommand& c : kSubcommands) {
        std::string name = c.name;
        name.resize(8, ' ');
        out << "  " << name << c.summary << "\n";
    }
    out << "\nRun 'orvane COMMAND --help' for the options of a command, 'orvane --version'\n"
           "for the version.\n";
}

// Routes the library log for one command; `err` must outlive the command
// (RunCli routes it away again before returning).
void ConfigureLogging(std::span<const std::string> args, std::ostream& err) {
    bool verbose = false;
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "-v" || a == "--verbose") verbose = true;
    }
    auto& logger = telemetry::Logger::Instance();
    logger.ClearSinks();
    // The library's log goes to stderr with --verbose, so stdout carries results only.
    if (verbose) {
        logger.AddSink(std::make_unique<telemetry::StderrSink>());
    } else {
        logger.AddSink(std::make_unique<QuietSink>(err));
    }
    logger.SetLevel(verbose ? telemetry::LogLevel::Info : telemetry::LogLevel::Warn);
}

}  // namespace

core::Status StdoutFailed(int err) {
    return core::Status(core::ErrorCode::IoError,
                        std::string("cannot write to standard output") +
                            (err != 0 ? std::string(": ") + std::strerror(err) : std::string()));
}

int ReportError(CommandIo& io, std::string_view command, const core::Status& status, int code) {
    io.err << "orvane " << command << ": error: " << status.Message() << "\n";
    return code;
}

std::optional<int> ParseCommandArgs(std::string_view command, std::span<const std::string> args,
                                    std::span<const FlagSpec> flags, std::string_view usage,
                                    CommandIo& io, ParsedArgs& parsed) {
    auto result = ParseArgs(args, flags);
    if (!result) return ReportError(io, command, result.GetStatus(), kExitUsage);
    parsed = result.TakeValue();
    if (parsed.Has("help")) {
        io.out << usage << FormatFlagHelp(flags);
        return kExitOk;
    }
    return std::nullopt;
}

int RunCli(std::span<const std::string> args, CommandIo& io) {
    if (args.empty()) {
        PrintUsage(io.err);
        return kExitUsage;
    }
    const std::string& command = args[0];
    if (command == "-h" || command == "--help" || command == "help") {
        PrintUsage(io.out);
        return kExitOk;
    }
    if (command == "--version" || command == "version") {
        io.out << "orvane " << api::Version() << "\n";
        return kExitOk;
    }
    for (const Subcommand& c : kSubcommands) {
        if (command == c.name) {
            ConfigureLogging(args.subspan(1), io.err);
            // The sink refers to io.err, which may not outlive this call.
            struct SinkReset {
                ~SinkReset() {
                    telemetry::Logger::Instance().ReplaceSinks(std::make_unique<DiscardSink>());
                }
            } sinkReset;
            InstallSignalCleanup();
            // Caught here rather than left to terminate the process, so the stack
            // unwinds and an unfinished output file is removed by its PartialFile.
            try {
                const int code = c.run(args.subspan(1), io);
                // Results that never reached standard output are a failure, not a success.
                errno = 0;
                io.out.flush();
                if (!io.out) return ReportError(io, c.name, StdoutFailed(errno));
                return code;
            } catch (const std::bad_alloc&) {
                return ReportError(io, c.name,
                                   core::Status(core::ErrorCode::OutOfMemory, "out of memory"));
            } catch (const std::exception& e) {
                return ReportError(io, c.name,
                                   core::Status(core::ErrorCode::Internal,
                                                std::string("internal error: ") + e.what()));
            }
        }
    }
    io.err << "orvane: unknown command '" << command << "'\n";
    PrintUsage(io.err);
    return kExitUsage;
}

}  // namespace orvane::tools
