// The least the workbook library takes to write a sheet: the cells of a CSV export (numbers as
// numbers, other fields as texts, empty ones left out) handed to libxlsxwriter as the .xlsx
// export hands them, in constant-memory mode with the working file beside the workbook, and the
// workbook closed, on one thread; nothing else. The CSV is read before the clock starts. An
// .xlsx export's time against this one's says what the export adds to the library's own work.
//
// Usage: velto-bench-xlsx-floor CSV WORKBOOK
// Prints the cells written and the seconds taken.

#include <xlsxwriter.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Cell {
    lxw_row_t row;
    lxw_col_t col;
    bool number;
    double value;
    std::string text;
};

std::vector<Cell> ReadCells(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<Cell> cells;
    std::string line;
    for (lxw_row_t row = 0; std::getline(in, line); ++row) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string_view rest(line);
        for (lxw_col_t col = 0;; ++col) {
            const std::size_t comma = rest.find(',');
            const std::string_view field = rest.substr(0, comma);
            if (!field.empty()) {
                double value = 0;
                const auto [end, error] =
                    std::from_chars(field.data(), field.data() + field.size(), value);
                const bool number = error == std::errc() && end == field.data() + field.size();
                cells.push_back({row, col, number, value, number ? "" : std::string(field)});
            }
            if (comma == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(comma + 1);
        }
    }
    return cells;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: velto-bench-xlsx-floor CSV WORKBOOK\n");
        return 2;
    }
    const std::vector<Cell> cells = ReadCells(argv[1]);
    const std::filesystem::path target(argv[2]);
    std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";

    const auto start = std::chrono::steady_clock::now();
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.tmpdir = folder.data();
    lxw_workbook* book = workbook_new_opt(argv[2], &options);
    lxw_worksheet* sheet = book != nullptr ? workbook_add_worksheet(book, nullptr) : nullptr;
    if (sheet == nullptr) {
        std::fprintf(stderr, "velto-bench-xlsx-floor: cannot start %s\n", argv[2]);
        return 1;
    }
    for (const Cell& cell : cells) {
        const lxw_error error =
            cell.number
                ? worksheet_write_number(sheet, cell.row, cell.col, cell.value, nullptr)
                : worksheet_write_string(sheet, cell.row, cell.col, cell.text.c_str(), nullptr);
        if (error != LXW_NO_ERROR) {
            std::fprintf(stderr, "velto-bench-xlsx-floor: %s\n", lxw_strerror(error));
            return 1;
        }
    }
    if (const lxw_error error = workbook_close(book); error != LXW_NO_ERROR) {
        std::fprintf(stderr, "velto-bench-xlsx-floor: %s\n", lxw_strerror(error));
        return 1;
    }
    const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
    std::printf("%zu cells in %.3f s\n", cells.size(), taken.count());
    return 0;
}
