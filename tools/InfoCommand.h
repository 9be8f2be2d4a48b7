// InfoCommand: `orvane info`, printing an index file's sections (name, offset, size,
// padding, checksum state) and, for a known kind, its vector count and dimension.
#pragma once

#include <ostream>
#include <span>
#include <string>

#include "IndexFile.h"

namespace orvane::tools {

struct CommandIo;

void PrintIndexFileInfo(std::ostream& out, const IndexFileInfo& info);

int RunInfo(std::span<const std::string> args, CommandIo& io);

}  // namespace orvane::tools
