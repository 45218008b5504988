#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "extract/export/pagesetup.h"
#include "extract/export/sheetformat.h"

namespace velto {

// Where the export's cells go: one sheet in one file format. The layout produces the cells once
// and hands them to the writer of the chosen format.
//
// Rows and columns count from 1. Cells come row by row, and within a row from left to right,
// which lets the xlsx and CSV writers stream instead of holding the sheet. Texts are single-byte
// Windows-1252, as the listing holds them; numbers are the doubles to store. Every call raises a
// velto::RuntimeError on failure; after a failure the writer may only be destroyed, and the file
// it was writing is not to be used.
class SheetWriter {
  public:
    virtual ~SheetWriter() = default;

    // Starts the sheet in `path`, replacing what it holds. `rows` and `columns` are the extent
    // of what is to come: the CSV writer pads every line to the full width with it.
    virtual void Open(const std::string& path, long rows, long columns) = 0;
    virtual void Text(long row, long col, std::string_view text) = 0;
    virtual void Number(long row, long col, double value) = 0;
    // A single of the listing (a time or a value), stored as the double StoredDouble gives.
    virtual void ListingSingle(long row, long col, float value);
    // Singles of the listing in a row, from `col` on: as many ListingSingle calls, which a writer
    // may make in one go (a sheet of millions of cells spends its time here).
    virtual void ListingRow(long row, long col, std::span<const float> values);
    // Starts another sheet of a workbook, named `name` (Windows-1252, at most 31 characters,
    // none of []:*?/\, unlike the other sheets' names); the cells that follow go to it, counted
    // from its own first row. Only the xlsx writer holds more than one sheet: the others raise
    // the invalid-call error (5).
    virtual void StartSheet(std::string_view name);
    // How the sheet begun last is printed and guarded, its columns 1..`columns` being the
    // table's: called after Open (or StartSheet) and before the sheet's first cell. An empty
    // setup writes nothing. A setup that PageSetupProblem refuses for the writer's format (any
    // but an empty one for CSV) raises the invalid-call error (5) and writes nothing.
    virtual void PageSettings(const PageSetup& page, long columns);
    // Completes the file. The file is whole only once this returns.
    virtual void Close() = 0;
};

std::unique_ptr<SheetWriter> MakeSheetWriter(SheetFormat format);

// The CSV writer, its lines going onto `stream` (standard output, a file opened for appending),
// which stays the caller's: Open ignores its path and starts at the stream's place, and Close
// ends the last line (padding the rows to come, as in a file) and leaves the stream open. The
// text goes out as the file's would, in the same bytes, so lines written by several writers in
// turn read as one sheet.
std::unique_ptr<SheetWriter> MakeCsvLineWriter(int stream);

// One CSV field for a Windows-1252 text: UTF-8, in double quotes (with quotes inside doubled)
// when it holds a comma, a quote, a CR or an LF, else bare. An empty text is an empty field.
std::string CsvField(std::string_view text);

}  // namespace velto
