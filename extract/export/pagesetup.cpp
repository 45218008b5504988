#include "extract/export/pagesetup.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <vector>

namespace velto {

namespace {

// The whole text as a number by the C rules: nothing before or after it, no "inf" or "nan".
std::optional<double> WholeNumber(std::string_view text) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text.front())) != 0 ||
                          text.front() == '.' || text.front() == '-' || text.front() == '+')) {
        return std::nullopt;
    }
    // from_chars takes no plus sign; one sign at most.
    const std::string_view digits = text.front() == '+' ? text.substr(1) : text;
    if (digits.empty() || (text.front() == '+' && digits.front() == '-')) {
        return std::nullopt;
    }
    double number = 0;
    const auto [stop, status] =
        std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (status != std::errc() || stop != digits.data() + digits.size() || !std::isfinite(number)) {
        return std::nullopt;
    }
    return number;
}

// A C0 control, DEL, or a byte Windows-1252 has no character for (0x81, 0x8D, 0x8F, 0x90, 0x9D).
bool IsControl(char ch) {
    const auto byte = static_cast<unsigned char>(ch);
    return byte < 0x20 || byte == 0x7F || byte == 0x81 || byte == 0x8D || byte == 0x8F ||
           byte == 0x90 || byte == 0x9D;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (std::size_t at = 0;;) {
        const std::size_t end = text.find(separator, at);
        pieces.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
        if (end == std::string_view::npos) {
            return pieces;
        }
        at = end + 1;
    }
}

}  // namespace

bool IsProtectionPassword(std::string_view password) {
    return !password.empty() && password.size() <= kLongestProtectionPassword &&
           std::all_of(password.begin(), password.end(),
                       [](char ch) { return ch >= 0x20 && ch <= 0x7E; });
}

std::optional<int> ParseColumnWidth(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    int width = 0;
    const auto [stop, status] = std::from_chars(text.data(), text.data() + text.size(), width);
    if (status != std::errc() || stop != text.data() + text.size()) {
        return std::nullopt;
    }
    return width;
}

std::optional<PageMargins> ParseMargins(std::string_view text) {
    const std::vector<std::string_view> pieces = Split(text, ',');
    if (pieces.size() != 4) {
        return std::nullopt;
    }
    double values[4];
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<double> value = WholeNumber(pieces[i]);
        if (!value) {
            return std::nullopt;
        }
        values[i] = *value;
    }
    return PageMargins{values[0], values[1], values[2], values[3]};
}

std::string PageSetupProblem(const PageSetup& page, SheetFormat format) {
    if (page.Empty()) {
        return {};
    }
    if (format == SheetFormat::Csv) {
        return "a CSV file has no pages, widths or protection: --header, --footer, "
               "--column-width, --margins, --gridlines, --protect and --password need an .xls "
               "or .xlsx file";
    }
    const struct {
        const std::optional<std::string>& text;
        const char* option;
        const char* what;
    } texts[] = {{page.header, "--header", "header"}, {page.footer, "--footer", "footer"}};
    for (const auto& t : texts) {
        if (t.text && t.text->size() > 255) {
            return std::string(t.option) + " holds " + std::to_string(t.text->size()) +
                   " characters; a page " + t.what + " holds at most 255";
        }
        // The xlsx library writes a control character into the XML as it is, which makes the
        // workbook unreadable; a page line has no use for one. The five bytes Windows-1252 leaves
        // undefined are the C1 controls of the same numbers, and no more use.
        if (t.text && std::any_of(t.text->begin(), t.text->end(), IsControl)) {
            return std::string(t.option) + " holds a control character (a tab, a line end, ...)";
        }
        // "&G" marks where a picture goes, and these sheets have none. The xlsx library counts
        // every "&G" (an escaped "&&G" too) and "&[Picture]" against the pictures it is given,
        // and on a mismatch frees memory twice.
        if (t.text && (t.text->find("&G") != std::string::npos ||
                       t.text->find("&[Picture]") != std::string::npos)) {
            return std::string(t.option) + " holds \"&G\" or \"&[Picture]\", the place of a " +
                   "picture in a page " + t.what + "; the sheet has no picture";
        }
    }
    const int widest = format == SheetFormat::Xls ? kWidestXlsColumn : kWidestXlsxColumn;
    if (page.columnWidth && (*page.columnWidth < 1 || *page.columnWidth > widest)) {
        return "--column-width takes 1 to " + std::to_string(widest) + " characters in " +
               (format == SheetFormat::Xls ? "an .xls" : "an .xlsx") + " file, not " +
               std::to_string(*page.columnWidth);
    }
    if (page.margins) {
        const PageMargins& m = *page.margins;
        for (const double margin : {m.left, m.right, m.top, m.bottom}) {
            if (!(margin >= 0 && margin <= kWidestMargin)) {
                return "--margins takes margins from 0 to 49 inches";
            }
        }
    }
    if (!page.password.empty() && !page.protect) {
        return "a password lifts the protection of a protected sheet: --password needs "
               "--protect";
    }
    if (!page.password.empty() && format == SheetFormat::Xls) {
        // LibreOffice opens a BIFF2 sheet unprotected, whether its protection record comes with
        // a password hash or not, so a password there would guard nothing; and the text itself
        // must never go into the file.
        return "--password needs an .xlsx file: LibreOffice does not honour the protection of "
               "an .xls sheet, so its password would guard nothing there (--protect alone still "
               "marks an .xls sheet protected)";
    }
    if (!page.password.empty() && !IsProtectionPassword(page.password)) {
        return "--password takes 1 to " + std::to_string(kLongestProtectionPassword) +
               " printable ASCII characters (letters, digits, blanks and punctuation): "
               "readers hash other passwords differently, and the sheet could not be unprotected";
    }
    return {};
}

}  // namespace velto
