#include "TextTable.h"

#include <algorithm>
#include <cstdio>

namespace orvane::tools {

void TextTable::Print(std::ostream& out, const std::string& indent) const {
    std::vector<size_t> width(_columns.size(), 0);
    for (size_t c = 0; c < _columns.size(); ++c) width[c] = _columns[c].title.size();
    for (const auto& row : _rows) {
        for (size_t c = 0; c < row.size() && c < width.size(); ++c) {
            width[c] = std::max(width[c], row[c].size());
        }
    }
    auto printRow = [&](auto cellAt) {
        std::string line = indent;
        for (size_t c = 0; c < _columns.size(); ++c) {
            const std::string cell = cellAt(c);
            const std::string pad(width[c] - std::min(width[c], cell.size()), ' ');
            if (c != 0) line += "  ";
            line += _columns[c].alignRight ? pad + cell : cell + pad;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << '\n';
    };
    printRow([&](size_t c) { return _columns[c].title; });
    for (const auto& row : _rows) {
        printRow([&](size_t c) { return c < row.size() ? row[c] : std::string(); });
    }
}

std::string TextTable::HumanBytes(uint64_t bytes) {
    static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    size_t unit = 0;
    while (v >= 1024.0 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
        v /= 1024.0;
        ++unit;
    }
    char buf[32];
    if (unit == 0) {
        std::snprintf(buf, sizeof(buf), "%llu B", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(buf, sizeof(buf), "%.1f %s", v, kUnits[unit]);
    }
    return buf;
}

}  // namespace orvane::tools
