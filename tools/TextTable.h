// TextTable: a plain-text table with aligned columns, for the tool's reports. The
// first row is the header; columns whose header is marked right-aligned pad on the left.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace orvane::tools {

class TextTable {
  public:
    struct Column {
        std::string title;
        bool alignRight = false;
    };

    explicit TextTable(std::vector<Column> columns) : _columns(std::move(columns)) {}

    // A row with fewer cells than columns is padded with empty cells.
    void AddRow(std::vector<std::string> cells) { _rows.push_back(std::move(cells)); }
    void Print(std::ostream& out, const std::string& indent = "") const;

    // "1.5 MiB"-style sizes.
    static std::string HumanBytes(uint64_t bytes);

  private:
    std::vector<Column> _columns;
    std::vector<std::vector<std::string>> _rows;
};

}  // namespace orvane::tools
