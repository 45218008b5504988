#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "extract/export/sheetformat.h"

namespace velto {

// The page margins in inches.
struct PageMargins {
    double left = 0;
    double right = 0;
    double top = 0;
    double bottom = 0;

    bool operator==(const PageMargins&) const = default;
};

// How a sheet is printed and guarded, beside its cells: what velto-extract's --header, --footer,
// --column-width, --margins, --gridlines, --protect and --password ask for. Nothing set (the
// default) writes nothing, so such a file is byte for byte what it was before these existed.
struct PageSetup {
    std::optional<std::string> header{};  // Windows-1252, with Excel's codes ("&P" the page)
    std::optional<std::string> footer{};
    std::optional<int> columnWidth{};  // in characters, for every column of the table
    std::optional<PageMargins> margins{};
    bool gridLines = false;  // printed with the cells
    bool protect = false;    // the cells cannot be changed until the protection is lifted
    std::string password{};  // lifts the protection (with `protect`, .xlsx only); empty: none

    bool Empty() const {
        return !header && !footer && !columnWidth && !margins && !gridLines && !protect &&
               password.empty();
    }
    bool operator==(const PageSetup&) const = default;
};

// Widths and margins a sheet may be given: a column of 1 to 127 characters in .xls (its record
// holds no more), 1 to 255 in .xlsx; margins from 0 to 49 inches.
inline constexpr int kWidestXlsColumn = 127;
inline constexpr int kWidestXlsxColumn = 255;
inline constexpr double kWidestMargin = 49;

// A column width as the command line gives it: a whole number in digits. nullopt for any other
// text ("12.5", "12abc", " 12").
std::optional<int> ParseColumnWidth(std::string_view text);

// Margins as the command line gives them: four numbers in inches, "left,right,top,bottom", each
// read by the C rules (a point for decimals, whatever the locale). nullopt for any other text,
// so "0,5,0,5,0,5,0,5" typed with decimal commas is refused rather than read as other margins.
std::optional<PageMargins> ParseMargins(std::string_view text);

// A password every reader hashes alike: 1 to 15 printable ASCII characters (blanks included).
// Readers turn other characters into bytes each their own way, and some hash longer passwords
// otherwise; the sheet could then not be unprotected.
bool IsProtectionPassword(std::string_view password);
inline constexpr std::size_t kLongestProtectionPassword = 15;

// Why `page` cannot be written to a file of `format`, naming the option to change, or an empty
// text when it can. A CSV file has no pages; a header or footer holds at most 255 bytes, no
// control character and no picture's place ("&G", "&[Picture]", even after "&&", which would crash
// the xlsx library); a width or a margin outside the ranges above; a password in an .xls file
// (LibreOffice does not honour the protection of a BIFF2 sheet, so its password would lift nothing
// there), one that IsProtectionPassword refuses, or one without protection.
std::string PageSetupProblem(const PageSetup& page, SheetFormat format);

}  // namespace velto
