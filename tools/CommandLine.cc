#include "CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "ToolStatus.h"

namespace orvane::tools {

using core::Result;
using core::Status;

namespace {

const FlagSpec* FindLong(std::span<const FlagSpec> specs, std::string_view name) {
    for (const FlagSpec& s : specs) {
        if (s.name == name) return &s;
    }
    return nullptr;
}

const FlagSpec* FindShort(std::span<const FlagSpec> specs, char c) {
    for (const FlagSpec& s : specs) {
        if (s.shortName != '\0' && s.shortName == c) return &s;
    }
    return nullptr;
}

}  // namespace

std::optional<std::string> ParsedArgs::Get(std::string_view name) const {
    auto it = _flags.find(std::string(name));
    if (it == _flags.end() || it->second.empty()) return std::nullopt;
    return it->second.back();
}

const std::vector<std::string>& ParsedArgs::GetAll(std::string_view name) const {
    static const std::vector<std::string> kEmpty;
    auto it = _flags.find(std::string(name));
    return it == _flags.end() ? kEmpty : it->second;
}

Result<uint64_t> ParsedArgs::GetPositive(std::string_view name, uint64_t def) const {
    std::optional<std::string> text = Get(name);
    if (!text) return def;
    const std::string& s = *text;
    if (s.empty() ||
        !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return InvalidInput("--" + std::string(name) + " needs a positive integer, got '" + s +
                            "'");
    }
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v == 0) {
        return InvalidInput("--" + std::string(name) + " needs a positive integer, got '" + s +
                            "'");
    }
    return static_cast<uint64_t>(v);
}

Result<ParsedArgs> ParseArgs(std::span<const std::string> args, std::span<const FlagSpec> specs) {
    ParsedArgs out;
    auto record = [&](const FlagSpec& known, std::string value) -> Status {
        auto& values = out._flags[std::string(known.name)];
        if (!known.repeatable && !values.empty()) {
            return InvalidInput("--" + std::string(known.name) + " given more than once");
        }
        values.push_back(std::move(value));
        return Status::Ok();
    };
    bool flagsDone = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (flagsDone || arg.size() < 2 || arg[0] != '-') {
            out._positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            flagsDone = true;
            continue;
        }
        const FlagSpec* known = nullptr;
        std::optional<std::string> inlineValue;
        std::string shown;
        if (arg[1] == '-') {
            std::string_view body = std::string_view(arg).substr(2);
            size_t eq = body.find('=');
            std::string_view name = body.substr(0, eq);
            if (eq != std::string_view::npos) inlineValue = std::string(body.substr(eq + 1));
            known = FindLong(specs, name);
            shown = "--" + std::string(name);
        } else {
            known = FindShort(specs, arg[1]);
            if (arg.size() > 2) inlineValue = arg.substr(2);
            shown = arg.substr(0, 2);
        }
        if (known == nullptr) return InvalidInput("unknown flag " + shown);
        if (!known->takesValue) {
            if (inlineValue) return InvalidInput(shown + " takes no value");
            ORVANE_RETURN_IF_ERROR(record(*known, std::string()));
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) return InvalidInput(shown + " needs a value");
            inlineValue = args[++i];
        }
        ORVANE_RETURN_IF_ERROR(record(*known, std::move(*inlineValue)));
    }
    return out;
}

std::string FormatFlagHelp(std::span<const FlagSpec> specs) {
    std::vector<std::pair<std::string, std::string>> lines;  // flag column, help column
    size_t width = 0;
    for (const FlagSpec& s : specs) {
        std::string flag = "  ";
        flag += s.shortName != '\0' ? std::string("-") + s.shortName + ", " : std::string("    ");
        flag += "--";
        flag.append(s.name);
        std::string_view help = s.help;
        if (s.takesValue) {
            // The help text starts with the value placeholder, e.g. "K  results per query".
            size_t sp = help.find(' ');
            flag += ' ';
            flag.append(help.substr(0, sp));
            help = sp == std::string_view::npos ? std::string_view() : help.substr(sp);
            while (!help.empty() && help.front() == ' ') help.remove_prefix(1);
        }
        width = std::max(width, flag.size());
        lines.emplace_back(std::move(flag), std::string(help));
    }
    std::string out;
    for (auto& [flag, help] : lines) {
        flag.resize(width + 2, ' ');
        out += flag + help + "\n";
    }
    return out;
}

Result<std::pair<std::string, std::string>> ParseKeyValue(std::string_view text) {
    size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0) {
        return InvalidInput("expected key=value, got '" + std::string(text) + "'");
    }
    std::string key(text.substr(0, eq));
    if (key.find_first_of(" \t\n") != std::string::npos) {
        return InvalidInput("option key '" + key + "' contains blanks");
    }
    return std::make_pair(std::move(key), std::string(text.substr(eq + 1)));
}

Result<TextOptions> ParseKeyValues(std::span<const std::string> texts) {
    TextOptions out;
    for (const std::string& text : texts) {
        auto kv = ParseKeyValue(text);
        if (!kv) return kv.TakeStatus();
        auto [it, inserted] = out.emplace(kv.Value().first, kv.Value().second);
        if (!inserted && it->second != kv.Value().second) {
            return InvalidInput("option " + it->first + " given twice with different values ('" +
                                it->second + "' and '" + kv.Value().second + "')");
        }
    }
    return out;
}

}  // namespace orvane::tools
