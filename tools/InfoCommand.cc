#include "InfoCommand.h"

#include "Commands.h"
#include "TextTable.h"
#include "ToolStatus.h"

namespace orvane::tools {

using core::ErrorCode;
using core::Status;

namespace {

constexpr FlagSpec kInfoFlags[] = {
    {"option", 'o', true, true, "KEY=VALUE  file option, e.g. io.reader.type=mmap (repeatable)"},
    {"no-verify", '\0', false, false, "do not recompute the sections' checksums"},
    kVerboseFlag,
    kHelpFlag,
};

constexpr char kInfoUsage[] =
    "usage: orvane info [options] INDEX\n"
    "\n"
    "Lists the sections of the index file INDEX with their offsets, sizes, padding and\n"
    "checksum state, and the vector count and dimension of the index. Exits with 1 when\n"
    "the file is damaged.\n"
    "\n";

const char* CrcText(CrcState s) {
    switch (s) {
        case CrcState::kOk:
            return "ok";
        case CrcState::kMismatch:
            return "MISMATCH";
        case CrcState::kNotChecked:
            return "not checked";
    }
    return "?";
}

}  // namespace

void PrintIndexFileInfo(std::ostream& out, const IndexFileInfo& info) {
    out << "file: " << info.path << " (" << info.fileSize << " bytes, "
        << TextTable::HumanBytes(info.fileSize) << ")\n";
    if (info.kind != nullptr) {
        out << "kind: " << info.kind->Name();
        if (info.meta) {
            out << ", " << info.meta->count << " vectors of dimension " << info.meta->dim;
        } else {
            out << " (meta section unreadable)";
        }
        out << "\n";
    } else {
        out << "kind: unknown\n";
    }
    out << "sections: " << info.sections.size() << "\n";
    TextTable table({{"name"}, {"offset", true}, {"size", true}, {"padding", true}, {"crc"}});
    for (const SectionInfo& s : info.sections) {
        table.AddRow({s.name, std::to_string(s.offset), std::to_string(s.size),
                      std::to_string(s.padding), CrcText(s.crc)});
    }
    table.Print(out, "  ");
}

int RunInfo(std::span<const std::string> args, CommandIo& io) {
    ParsedArgs a;
    if (auto done = ParseCommandArgs("info", args, kInfoFlags, kInfoUsage, io, a)) return *done;
    if (a.Positional().size() != 1) {
        return ReportError(io, "info",
                           InvalidInput("expected exactly one index file (see orvane info --help)"),
                           kExitUsage);
    }
    auto options = ParseKeyValues(a.GetAll("option"));
    if (!options) return ReportError(io, "info", options.GetStatus(), kExitUsage);
    auto info = DescribeIndexFile(a.Positional()[0], options.Value(), !a.Has("no-verify"));
    if (!info) return ReportError(io, "info", info.GetStatus());
    PrintIndexFileInfo(io.out, info.Value());
    for (const SectionInfo& s : info.Value().sections) {
        if (s.crc == CrcState::kMismatch) {
            return ReportError(
                io, "info",
                Status(ErrorCode::Corruption,
                       info.Value().path + ": section " + s.name + " is damaged: " + s.crcError));
        }
    }
    return kExitOk;
}

}  // namespace orvane::tools
