#include "tests/export/xlsxcells.h"

#include <charconv>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace velto::test {

const XlsxCell* XlsxSheet::At(int row, int col) const {
    for (const XlsxCell& cell : cells) {
        if (cell.row == row && cell.col == col) {
            return &cell;
        }
    }
    return nullptr;
}

XlsxSheet ReadXlsxSheet(const std::string& path) {
    const std::string command =
        std::string("'") + VELTO_PYTHON + "' '" + VELTO_XLSXCELLS + "' '" + path + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string out;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, got);
    }
    if (::pclose(pipe) != 0) {
        throw std::runtime_error("the workbook cannot be read: " + path);
    }
    XlsxSheet sheet;
    std::istringstream lines(out);
    std::string word;
    lines >> word >> sheet.dimension;
    for (XlsxCell cell; lines >> cell.row >> cell.col >> word;) {
        std::string hex;
        lines >> hex;
        std::string text;
        for (std::size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
            text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        cell.isText = word == "t";
        (cell.isText ? cell.text : cell.raw) = text;
        if (!cell.isText) {
            const auto [last, error] =
                std::from_chars(text.data(), text.data() + text.size(), cell.number);
            if (error != std::errc() || last != text.data() + text.size()) {
                throw std::runtime_error("a cell holds no number: " + text);
            }
        }
        sheet.cells.push_back(cell);
    }
    return sheet;
}

}  // namespace velto::test
