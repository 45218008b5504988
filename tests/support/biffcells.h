#pragma once

// Reads back the cells of a BIFF2 worksheet, for checking what the export wrote.

#include <cstdint>
#include <string>
#include <vector>

namespace velto::test {

struct BiffCell {
    int row = 0;  // 1-based
    int col = 0;  // 1-based
    bool isText = false;
    std::string text;
    double number = 0;
    bool operator==(const BiffCell&) const = default;
};

struct BiffSheet {
    std::vector<std::uint16_t> records;  // record numbers in file order
    std::vector<BiffCell> cells;         // text and number cells in file order
    bool complete = false;               // begins with BOF, ends with EOF, no stray bytes

    // The cell at (row, col), or nullptr.
    const BiffCell* At(int row, int col) const;
};

// Throws std::runtime_error on a malformed record.
BiffSheet ReadBiffSheet(const std::string& path);

}  // namespace velto::test
