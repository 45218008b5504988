#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velto {

// The file formats an export can be written in:
//  Xls  the BIFF2 worksheet the tools have always written;
//  Xlsx an Office Open XML workbook, which current Excel opens without complaint;
//  Csv  comma-separated text, RFC 4180, UTF-8.
enum class SheetFormat { Xls, Xlsx, Csv };

// The largest sheet a format holds, counted as Excel counts them; 0 means no limit.
struct SheetLimits {
    long columns = 0;
    long rows = 0;
};

SheetLimits LimitsOf(SheetFormat format);

// "xls", "xlsx", "csv": the format's name on the command line and its file extension.
std::string_view FormatName(SheetFormat format);

// The format of a --format value, case-insensitive; nullopt for any other text.
std::optional<SheetFormat> ParseSheetFormat(std::string_view name);

// The format a file name's extension names (case-insensitive), or nullopt for another extension
// or none.
std::optional<SheetFormat> FormatOfExtension(std::string_view fileName);

// The format a save dialog's filter names by its patterns ("Excel Workbook (*.xlsx)"), or
// nullopt for a filter that names none of ours ("All Files (*)").
std::optional<SheetFormat> FormatOfFilter(std::string_view filter);

// The format of a file chosen in a save dialog. The name's own extension decides when it is one
// of ours: a name typed as "run.xlsx" under the default "*.xls" filter must not get BIFF2 bytes,
// which Excel refuses under that extension. Otherwise the chosen filter decides, and failing
// both, xls.
SheetFormat ChooseSheetFormat(std::string_view filter, std::string_view fileName);

}  // namespace velto
