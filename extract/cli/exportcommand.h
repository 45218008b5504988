#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "extract/export/pagesetup.h"
#include "extract/export/sheetformat.h"
#include "extract/export/timeselection.h"
#include "extract/export/variablecatalogue.h"

namespace velto {

// The choices of `velto-extract export`, as texts from the command line.
struct ExportOptions {
    std::string listing;
    std::string output;
    std::string variable;
    std::string vector;  // empty: the first the variable offers
    std::string from;    // empty: 1
    std::string to;      // empty: the variable's range limit
    std::string step;    // empty: 1
    std::string times = "all";
    bool columns = false;
    std::optional<SheetFormat> format;  // none: by the extension of `output`, else xls
    bool plot = false;  // draw the curves (PNG or SVG by the extension of `output`) instead
    bool all = false;   // every variable and vector, a sheet each, in one .xlsx workbook
    PageSetup page;     // how the sheets are printed and guarded
};

// The range texts of an export: From 1, To the variable's last item and Step 1 unless given.
struct RangeTexts {
    std::string from, to, step;
};
RangeTexts RangeOf(const ExportOptions& options, const OfferedVariable& variable);

// The page options of export and compare as the command line gives them, before they are read.
struct PageOptions {
    std::optional<std::string> header;
    std::optional<std::string> footer;
    std::optional<std::string> columnWidth;
    std::optional<std::string> margins;
    std::optional<std::string> password;
    bool gridLines = false;
    bool protect = false;

    bool Given() const {
        return header || footer || columnWidth || margins || password || gridLines || protect;
    }
};

// Reads the page options for a file of `format` (none: a chart, which has no sheet) into `page`.
// Texts are taken as UTF-8 and stored as the sheets' Windows-1252; numbers are read by the C
// rules; --password protects the sheet too. Returns why they cannot be taken (a text or number
// that cannot be read, a value the format cannot hold, a CSV file or a chart), or an empty text.
std::string ReadPageOptions(const PageOptions& options, std::optional<SheetFormat> format,
                            PageSetup& page);

// The choices of `velto-extract compare`: one item's history across listings.
struct CompareOptions {
    std::vector<std::string> listings;
    std::string output;  // .xlsx, .xls, .csv: the table; .png, .svg: the curves
    std::string variable;
    std::string vector;
    std::string item;
    std::string times = "all";
    PageSetup page;  // how the table's sheet is printed and guarded
};

// True when `output` names a file `compare` can write (by its extension).
bool ComparableOutput(const std::string& output);

// Reads the item's history from every listing, refusing (exit status 1, nothing written) the
// first listing that cannot be read or does not offer the variable, vector, item or times, then
// writes the table or draws the curves. Returns the exit status as RunExport does.
int RunCompare(const CompareOptions& options, std::FILE* out, std::FILE* err);

// `export --all`: every variable and vector the listing offers, each on a sheet of its own laid
// out as a single export of all its items, in one workbook. A sheet that cannot be written (a
// format limit, a table that cannot be read) is reported by its name and left out; the others
// are written, and the exit status is 1.
int RunExportAll(const ExportOptions& options, std::FILE* out, std::FILE* err);

// Opens the listing, builds the same request the window's Save command builds for these choices
// and writes the same file (or, for `plot`, draws the same chart as the window's Chart). Returns
// the exit status: 0 when the file was written and no message was shown, 1 otherwise (a refused
// selection, a message, an abort).
int RunExport(const ExportOptions& options, std::FILE* out, std::FILE* err);

}  // namespace velto
