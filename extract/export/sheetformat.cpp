#include "extract/export/sheetformat.h"

#include <algorithm>
#include <cctype>

namespace velto {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return lower;
}

}  // namespace

SheetLimits LimitsOf(SheetFormat format) {
    switch (format) {
        case SheetFormat::Xls:
            return {256, 65536};
        case SheetFormat::Xlsx:
            return {16384, 1048576};
        case SheetFormat::Csv:
            break;
    }
    return {};
}

std::string_view FormatName(SheetFormat format) {
    switch (format) {
        case SheetFormat::Xls:
            return "xls";
        case SheetFormat::Xlsx:
            return "xlsx";
        case SheetFormat::Csv:
            return "csv";
    }
    return "xls";
}

std::optional<SheetFormat> ParseSheetFormat(std::string_view name) {
    const std::string lower = Lower(name);
    for (SheetFormat format : {SheetFormat::Xls, SheetFormat::Xlsx, SheetFormat::Csv}) {
        if (lower == FormatName(format)) {
            return format;
        }
    }
    return std::nullopt;
}

std::optional<SheetFormat> FormatOfExtension(std::string_view fileName) {
    const std::size_t slash = fileName.find_last_of('/');
    const std::string_view base =
        slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    const std::size_t dot = base.find_last_of('.');
    // A leading dot starts a hidden name, not an extension.
    if (dot == std::string_view::npos || dot == 0) {
        return std::nullopt;
    }
    return ParseSheetFormat(base.substr(dot + 1));
}

std::optional<SheetFormat> FormatOfFilter(std::string_view filter) {
    // "Description (*.a *.b)": the patterns are the blank-separated words inside the last
    // parentheses; a filter without them is taken as patterns only.
    const std::size_t open = filter.find_last_of('(');
    const std::size_t close = filter.find_last_of(')');
    std::string_view patterns = filter;
    if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
        patterns = filter.substr(open + 1, close - open - 1);
    }
    std::size_t pos = 0;
    while (pos < patterns.size()) {
        const std::size_t end = std::min(patterns.find(' ', pos), patterns.size());
        const std::string_view pattern = patterns.substr(pos, end - pos);
        if (pattern.starts_with("*.")) {
            if (auto format = ParseSheetFormat(pattern.substr(2))) {
                return format;
            }
        }
        pos = end + 1;
    }
    return std::nullopt;
}

SheetFormat ChooseSheetFormat(std::string_view filter, std::string_view fileName) {
    if (auto format = FormatOfExtension(fileName)) {
        return *format;
    }
    return FormatOfFilter(filter).value_or(SheetFormat::Xls);
}

}  // namespace velto
