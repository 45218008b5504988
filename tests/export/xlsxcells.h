#pragma once

// Reads back the cells of the first worksheet of an .xlsx workbook, for checking what the export
// wrote, through Python's zip and XML readers: inline-string and number cells.

#include <string>
#include <vector>

namespace velto::test {

struct XlsxCell {
    int row = 0;  // 1-based
    int col = 0;  // 1-based
    bool isText = false;
    std::string text;  // UTF-8, entities resolved
    std::string raw;   // a number's text as the XML holds it
    double number = 0;
};

struct XlsxSheet {
    std::vector<XlsxCell> cells;  // in the order the XML holds them
    std::string dimension;        // the <dimension ref="..."> of the sheet

    // The cell at (row, col), or nullptr.
    const XlsxCell* At(int row, int col) const;
};

// Throws std::runtime_error on anything it cannot read.
XlsxSheet ReadXlsxSheet(const std::string& path);

}  // namespace velto::test
