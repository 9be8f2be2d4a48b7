#include "InfoCommand.h"

#include "Commands.h"
#include "PathChecks.h"
#include "TextTable.h"
#include "ToolOptions.h"
#include "ToolStatus.h"
#include "orvane/api/IndexDescription.h"
#include "orvane/api/OrvaneSearcher.h"
#include "index/IndexKindRegistry.h"

namespace orvane::tools {

using core::ErrorCode;
using core::Status;

namespace {

constexpr FlagSpec kInfoFlags[] = {
    {"option", 'o', true, true, "KEY=VALUE  file option, e.g. io.reader.type=mmap (repeatable)"},
    {"no-verify", '\0', false, false, "do not recompute the sections' checksums"},
    {"json", '\0', false, false,
     "print what the index holds as one JSON object, as orvane.describe"},
    kVerboseFlag,
    kHelpFlag,
};

constexpr char kInfoUsage[] =
    "usage: orvane info [options] INDEX\n"
    "\n"
    "Lists the sections of the index file INDEX with their offsets, sizes, padding and\n"
    "checksum state, and the vector count and dimension of the index. The file is then\n"
    "opened with its kind's searcher, as `orvane search` would, and its metric, encoding\n"
    "and the kind's parameters are listed (--json prints only those, as one JSON object).\n"
    "Exits with 1 when the file is damaged or cannot be searched (no sections, an unknown\n"
    "index kind, an unreadable or impossible meta section, or any reason the searcher\n"
    "refuses it).\n"
    "\n";

// Why a file whose container is sound still cannot be searched; empty when it can.
std::string Unsearchable(const IndexFileInfo& info) {
    if (info.sections.empty()) return "the file holds no sections";
    if (info.kind == nullptr) {
        return "no known index kind's meta section among its sections (known kinds: " +
               index::KindNames() + ")";
    }
    const std::string meta = std::string(info.kind->metaSection);
    if (!info.meta) return "the meta section " + meta + " cannot be read";
    if (info.meta->dim == 0) return "the meta section " + meta + " gives dimension 0";
    return "";
}

// Opens the file with the searcher of its kind, as a search would; the searcher's
// status when it refuses the file.
Status OpenWithSearcher(const IndexFileInfo& info, const TextOptions& ioText) {
    const TextOptions searcherText{{"index.type", std::string(info.kind->Name())},
                                   {"index.dimension", std::to_string(info.meta->dim)}};
    auto searcherOptions = api::NormalizeSearcherOptions(searcherText);
    if (!searcherOptions) return searcherOptions.TakeStatus();
    auto ioOptions = MakeIoOptions(ioText, info.path);
    if (!ioOptions) return ioOptions.TakeStatus();
    auto searcher = api::OrvaneSearcher::Create(searcherOptions.Value());
    if (!searcher) return searcher.TakeStatus();
    return searcher.Value().Open(ioOptions.Value());
}

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

// The facts the kind's records hold beyond count and dimension.
void PrintDescription(std::ostream& out, const api::IndexDescription& d) {
    out << "metric: " << (d.metric.empty() ? "-" : d.metric)
        << ", encoding: " << (d.encoding.empty() ? "-" : d.encoding);
    if (d.encoding == "pq") out << " (" << d.pqChunks << " chunks" << (d.opq ? ", opq" : "") << ")";
    out << ", ids " << (d.idsStored ? "stored" : "not stored (hits carry row positions)")
        << ", format version " << d.formatVersion << "\n";
    if (d.params.empty()) return;
    out << "parameters:";
    for (const auto& [key, value] : d.params) out << " " << key << "=" << value;
    out << "\n";
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
    Status readable = CheckInputFile(a.Positional()[0], "index file");
    if (!readable.IsOk()) return ReportError(io, "info", readable);
    auto ioOptions = MakeIoOptions(options.Value(), a.Positional()[0]);
    if (!ioOptions) return ReportError(io, "info", ioOptions.GetStatus(), kExitUsage);
    if (a.Has("json")) {
        auto described = api::DescribeIndexFile(ioOptions.Value());
        if (!described.IsOk()) {
            return ReportError(io, "info",
                               Status(described.GetStatus().Code(),
                                      a.Positional()[0] + ": " + described.GetStatus().Message()));
        }
        io.out << api::DescriptionToJson(described.Value()) << "\n";
        return kExitOk;
    }
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
    const std::string why = Unsearchable(info.Value());
    if (!why.empty()) {
        return ReportError(
            io, "info",
            Status(ErrorCode::Corruption, info.Value().path + ": cannot be searched: " + why));
    }
    const Status opened = OpenWithSearcher(info.Value(), options.Value());
    if (!opened.IsOk()) {
        return ReportError(io, "info",
                           Status(opened.Code(), info.Value().path + ": cannot be searched: the " +
                                                     std::string(info.Value().kind->Name()) +
                                                     " searcher refuses it: " + opened.Message()));
    }
    auto described = api::DescribeIndexFile(ioOptions.Value());
    if (!described.IsOk()) {
        return ReportError(
            io, "info",
            Status(described.GetStatus().Code(),
                   info.Value().path + ": cannot be opened: " + described.GetStatus().Message()));
    }
    PrintDescription(io.out, described.Value());
    return kExitOk;
}

}  // namespace orvane::tools
