// JsonOptionMap: the tolerant scanner that turns the C interface's option text
// into a string-to-string map. It reads one flat object of "key": value pairs
// and is not a JSON parser: no nesting, no arrays, no escapes. Every value is
// kept as text; typing happens later in option normalization. Internal to
// liborvane_py (header-only and hidden, so tests can reach it without the
// library exporting it).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#pragma GCC visibility push(hidden)

namespace orvane::csrc {

using StringMap = std::unordered_map<std::string, std::string>;

// Scans `text` (may be null):
//  - null, empty, or without both '{' and '}': empty map;
//  - the body is the text strictly between the first '{' and the last '}';
//  - a key is the text between the next two double quotes; then the next ':'
//    (anything before it is skipped), then spaces are skipped;
//  - a quoted value runs to the next double quote (an unterminated one ends
//    the scan without storing the pair); a bare value runs to the next ',' or
//    '}' or the end of the body, trailing spaces removed; a value missing at
//    the very end of the body is the empty string;
//  - later duplicates overwrite earlier values; the scan goes on after the
//    next ',' and ends when there is none or nothing follows it.
inline StringMap parse_json_map(const char* text) {
    StringMap out;
    if (text == nullptr || *text == '\0') return out;
    const std::string_view all(text);
    const size_t open = all.find('{');
    const size_t close = all.rfind('}');
    if (open == std::string_view::npos || close == std::string_view::npos || close <= open) {
        return out;
    }
    const std::string_view body = all.substr(open + 1, close - open - 1);
    constexpr size_t npos = std::string_view::npos;

    size_t pos = 0;
    while (pos < body.size()) {
        const size_t keyOpen = body.find('"', pos);
        if (keyOpen == npos) break;
        const size_t keyClose = body.find('"', keyOpen + 1);
        if (keyClose == npos) break;
        std::string key(body.substr(keyOpen + 1, keyClose - keyOpen - 1));

        const size_t colon = body.find(':', keyClose + 1);
        if (colon == npos) break;
        size_t valueStart = colon + 1;
        while (valueStart < body.size() && body[valueStart] == ' ') ++valueStart;
        if (valueStart >= body.size()) {
            out[std::move(key)] = std::string();
            break;
        }

        size_t valueEnd;  // one past the value's last character (or its closing quote)
        if (body[valueStart] == '"') {
            const size_t quote = body.find('"', valueStart + 1);
            if (quote == npos) break;
            out[std::move(key)] = std::string(body.substr(valueStart + 1, quote - valueStart - 1));
            valueEnd = quote + 1;
        } else {
            size_t stop = body.find_first_of(",}", valueStart);
            if (stop == npos) stop = body.size();
            size_t last = stop;
            while (last > valueStart && body[last - 1] == ' ') --last;
            out[std::move(key)] = std::string(body.substr(valueStart, last - valueStart));
            valueEnd = stop;
        }

        const size_t comma = body.find(',', valueEnd);
        if (comma == npos || comma + 1 >= body.size()) break;
        pos = comma + 1;
    }
    return out;
}

}  // namespace orvane::csrc

#pragma GCC visibility pop
