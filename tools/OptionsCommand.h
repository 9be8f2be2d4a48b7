// OptionsCommand: `orvane options [KIND]`, the reference of every option key per
// index kind and purpose (builder, searcher, search, file IO) with its type,
// whether it is required, its range and meaning, generated from the schema
// tables. docs/options.md is this command's output for all kinds; a test keeps
// the committed page equal to it.
#pragma once

#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "CommandLine.h"
#include "orvane/core/Result.h"

namespace orvane::tools {

struct CommandIo;

// The reference as Markdown: every kind when `kind` is empty, else that one
// (InvalidArgument naming the kinds that exist for another name).
core::Result<std::string> OptionsReference(std::string_view kind);

int RunOptions(std::span<const std::string> args, CommandIo& io);

}  // namespace orvane::tools
