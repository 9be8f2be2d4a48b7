// CommandLine: the argument parser shared by the tool's subcommands. Each subcommand
// declares its flags in a table; the parser accepts "--name value", "--name=value",
// "-x value" and "-xvalue", collects repeated flags in order, keeps other words as
// positional arguments ("--" ends flag parsing), and refuses unknown flags, missing
// values and repeats of flags that may appear once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "orvane/core/Result.h"

namespace orvane::tools {

struct FlagSpec {
    std::string_view name;  // long name without the dashes, e.g. "topk"
    char shortName = '\0';  // '\0' for none
    bool takesValue = false;
    bool repeatable = false;
    std::string_view help;  // one line for the usage text; its value placeholder first
};

class ParsedArgs {
  public:
    bool Has(std::string_view name) const { return _flags.count(std::string(name)) != 0; }
    // The (last) value of a flag, if given.
    std::optional<std::string> Get(std::string_view name) const;
    // Every value of a repeatable flag, in command-line order.
    const std::vector<std::string>& GetAll(std::string_view name) const;
    const std::vector<std::string>& Positional() const { return _positional; }

    // A flag's value as a positive integer; the default when the flag is absent.
    core::Result<uint64_t> GetPositive(std::string_view name, uint64_t def) const;

  private:
    friend core::Result<ParsedArgs> ParseArgs(std::span<const std::string>,
                                              std::span<const FlagSpec>);
    std::unordered_map<std::string, std::vector<std::string>> _flags;
    std::vector<std::string> _positional;
};

core::Result<ParsedArgs> ParseArgs(std::span<const std::string> args,
                                   std::span<const FlagSpec> specs);

// The flag lines of a usage text, one per flag, aligned.
std::string FormatFlagHelp(std::span<const FlagSpec> specs);

// Splits "key=value" at the first '='. The key must be non-empty and free of blanks;
// the value may be empty.
core::Result<std::pair<std::string, std::string>> ParseKeyValue(std::string_view text);

using TextOptions = std::unordered_map<std::string, std::string>;

// Parses every "key=value" text into one map. A key given twice with different
// values is refused; the same pair twice is accepted.
core::Result<TextOptions> ParseKeyValues(std::span<const std::string> texts);

}  // namespace orvane::tools
