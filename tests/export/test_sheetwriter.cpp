#include "extract/export/sheetwriter.h"
#include "extract/export/singletext.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "common/error.h"
#include "extract/export/excelfile.h"
#include "extract/export/sheetformat.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

using test::ErrorOf;

// --- the format choice ----------------------------------------------------------------------

// A name typed with one of our extensions keeps its content and its name in agreement; else the
// dialog's filter decides ("*.xls" is the start of "*.xlsx": a pattern must match whole); else xls.
TEST(SheetFormatChoice, ExtensionThenFilterThenXls) {
    const std::optional<SheetFormat> none;
    const struct {
        const char* filter;
        const char* name;
        std::optional<SheetFormat> ofFilter;
        std::optional<SheetFormat> ofName;
        SheetFormat chosen;
    } cases[] = {
        {"Excel File (*.xls)", "run.xlsx", SheetFormat::Xls, SheetFormat::Xlsx, SheetFormat::Xlsx},
        {"Excel Workbook (*.xlsx)", "/data/run", SheetFormat::Xlsx, none, SheetFormat::Xlsx},
        {"CSV File (*.csv)", "run.xls", SheetFormat::Csv, SheetFormat::Xls, SheetFormat::Xls},
        {"Text (*.txt *.CSV)", "run.dat", SheetFormat::Csv, none, SheetFormat::Csv},
        {"*.xlsx", "/data/run.XLSX", SheetFormat::Xlsx, SheetFormat::Xlsx, SheetFormat::Xlsx},
        {"All Files (*)", "a.b.csv", none, SheetFormat::Csv, SheetFormat::Csv},
        {"All Files (*)", "run.Xls", none, SheetFormat::Xls, SheetFormat::Xls},
        {"Sheets (xls) (*.txt)", "run.xlsx.bak", none, none, SheetFormat::Xls},
        {"", "results.csv/run", none, none, SheetFormat::Xls},
        {"", ".csv", none, none, SheetFormat::Xls},
        {"", "run.", none, none, SheetFormat::Xls},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.filter) + " | " + c.name);
        EXPECT_EQ(FormatOfFilter(c.filter), c.ofFilter);
        EXPECT_EQ(FormatOfExtension(c.name), c.ofName);
        EXPECT_EQ(ChooseSheetFormat(c.filter, c.name), c.chosen);
    }
    EXPECT_EQ(ParseSheetFormat("XLSX"), SheetFormat::Xlsx);
    for (const char* other : {"", "xlsm", "xls ", ".xls", "xl"}) {
        EXPECT_EQ(ParseSheetFormat(other), std::nullopt) << other;
    }
    for (SheetFormat f : {SheetFormat::Xls, SheetFormat::Xlsx, SheetFormat::Csv}) {
        EXPECT_EQ(ParseSheetFormat(FormatName(f)), f);
    }
}

// --- CSV ------------------------------------------------------------------------------------

// Only what needs quoting is quoted, and the listing's single-byte text becomes UTF-8 (as
// Cp1252ToUtf8 has it).
TEST(CsvText, QuotesOnlyWhatNeedsItInUtf8) {
    const std::pair<const char*, const char*> cases[] = {
        {"Beam    5 (Point  1)", "Beam    5 (Point  1)"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\r\nlines", "\"two\r\nlines\""},
        {"cr\ronly", "\"cr\ronly\""},
        {"lf\nonly", "\"lf\nonly\""},
        {"semi;colon 'quote'", "semi;colon 'quote'"},
        {"\xB2,\"", "\"\xC2\xB2,\"\"\""},
    };
    for (const auto& [text, field] : cases) {
        EXPECT_EQ(CsvField(text), field) << text;
    }
}

// A listing's single is printed, and stored, from its own six digits when they read back to it:
// the very text std::to_chars gives and the very double std::from_chars reads from it, for every
// six-digit value a listing prints at the magnitudes results have, their neighbours (which need
// more digits), and singles of any bit pattern.
TEST(SingleText, IsTheShortestTextAndItsDouble) {
    std::vector<float> singles = {
        0.0f,        -0.0f,       20.1f, 1e-45f, 1.17549435e-38f, 4.2e-39f, 3.4028235e38f,
        -2.93782e5f, 9.999995e5f, 1e-5f, 1e15f,  123456e20f,      1e-17f,   1e28f};
    for (const double decade : {1e-12, 1e-7, 1e-5, 1e-3, 1.0, 1e4, 1e8, 1e16}) {
        for (std::uint32_t six = 100000; six <= 999999; six += 7) {
            const auto single = static_cast<float>(six * decade);
            singles.push_back(single);
            singles.push_back(-std::nextafter(single, 0.0f));
        }
    }
    std::mt19937 random(20261207);
    for (int i = 0; i < 300000; ++i) {
        const float single = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
        if (std::isfinite(single)) {
            singles.push_back(single);
        }
    }
    int wrong = 0;
    for (const float single : singles) {
        char expected[64];
        char got[64];
        const std::string_view want(expected,
                                    std::to_chars(expected, expected + 64, single).ptr - expected);
        const std::string_view text(got, ShortestSingleText(got, single) - got);
        double stored = 0;
        std::from_chars(want.data(), want.data() + want.size(), stored);
        if (text != want || std::bit_cast<std::uint64_t>(ShortestSingleDouble(single)) !=
                                std::bit_cast<std::uint64_t>(stored)) {
            if (++wrong <= 10) {
                ADD_FAILURE() << want << " printed " << text;
            }
        }
    }
    EXPECT_EQ(wrong, 0) << "of " << singles.size();
    // A single that is not finite has no stored double.
    EXPECT_EQ(ErrorOf([] { StoredDouble(std::numeric_limits<float>::infinity()); }), kOverflow);
    EXPECT_EQ(ErrorOf([] { StoredDouble(std::nanf("")); }), kOverflow);
}

TEST(CsvSheetWriter, CellsMayNotGoBackOrOutside) {
    test::ScratchDir dir;
    auto sheet = MakeSheetWriter(SheetFormat::Csv);
    sheet->Open(dir.File("sheet.csv"), 3, 2);
    sheet->Text(2, 2, "x");
    EXPECT_EQ(ErrorOf([&] { sheet->Text(2, 2, "again"); }), kSubscriptOutOfRange);
    EXPECT_EQ(ErrorOf([&] { sheet->Text(2, 1, "left"); }), kSubscriptOutOfRange);
    EXPECT_EQ(ErrorOf([&] { sheet->Text(1, 2, "above"); }), kSubscriptOutOfRange);
    EXPECT_EQ(ErrorOf([&] { sheet->Number(3, 3, 1); }), kSubscriptOutOfRange);
    EXPECT_EQ(ErrorOf([&] { sheet->Number(4, 1, 1); }), kSubscriptOutOfRange);
    EXPECT_EQ(ErrorOf([&] { sheet->Number(3, 0, 1); }), kSubscriptOutOfRange);
}

// A long row is printed in two halves on two threads: the halves must join at their place, with
// one separator, whatever the row's length, row after row; a row wider than the text gathered so
// far moves it to larger room, and rows past the text's megabyte are written out between them.
TEST(CsvSheetWriter, LongRowsReadAsShortOnes) {
    test::ScratchDir dir;
    std::mt19937 random(7);
    std::vector<float> values(40001);
    for (float& value : values) {
        value = static_cast<float>(static_cast<int>(random() % 2000001) - 1000000) * 1e-5f;
    }
    auto cells = [](std::span<const float> some) {
        std::string text;
        for (const float value : some) {
            char buffer[64];
            text.append(buffer, std::to_chars(buffer, buffer + 64, value).ptr);
            text += ',';
        }
        return text;
    };
    const std::string all = cells(values);
    const long width = static_cast<long>(values.size()) + 1;
    auto sheet = MakeSheetWriter(SheetFormat::Csv);
    sheet->Open(dir.File("sheet.csv"), 6, width);
    sheet->ListingRow(1, 2, values);
    sheet->ListingRow(2, 1, std::span<const float>(values).first(5000));
    sheet->ListingRow(3, 1, std::span<const float>(values).last(4097));
    for (long row = 4; row <= 6; ++row) {
        sheet->Text(row, 1, "t");
        sheet->ListingRow(row, 2, values);
    }
    sheet->Close();
    std::string expected = "," + all.substr(0, all.size() - 1) + "\r\n" +
                           cells(std::span<const float>(values).first(5000)) +
                           std::string(width - 5001, ',') + "\r\n" +
                           cells(std::span<const float>(values).last(4097)) +
                           std::string(width - 4098, ',') + "\r\n";
    for (int row = 4; row <= 6; ++row) {
        expected += "t," + all.substr(0, all.size() - 1) + "\r\n";
    }
    ASSERT_GT(expected.size(), std::size_t{1} << 20);
    EXPECT_EQ(test::ReadBytes(dir.File("sheet.csv")), expected);

    // A small sheet's text outgrown by a long text cell.
    sheet = MakeSheetWriter(SheetFormat::Csv);
    sheet->Open(dir.File("small.csv"), 2, 2);
    sheet->Text(1, 1, "a");
    sheet->Text(1, 2, std::string(5000, 'x'));
    sheet->Number(2, 1, 1.5);
    sheet->Close();
    EXPECT_EQ(test::ReadBytes(dir.File("small.csv")),
              "a," + std::string(5000, 'x') + "\r\n1.5,\r\n");
}

// The second half of a long row is printed on a thread of its own. When there is no room for its
// text, the row fails on the writer's thread, whose failure the save reports; the program must not
// end on the printing thread. Run in a child process under a cap on its address space.
TEST(CsvSheetWriterDeathTest, NoRoomForHalfARowFailsTheRowNotTheProgram) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under a cap";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::ScratchDir dir;
    const std::string path = dir.File("sheet.csv");
    // The cap leaves this much beyond what the process holds.
    auto capAbove = [](std::size_t spare) {
        std::FILE* statm = std::fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) {
            std::_Exit(2);
        }
        std::fclose(statm);
        const rlim_t cap = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + spare;
        const rlimit limit{cap, cap};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) {
            std::_Exit(2);
        }
    };
    const std::vector<float> wide(4'000'000, -1.23456e-05f);
    const std::span<const float> some = std::span(wide).first(5000);
    // The writer's half fits the room its sheet took when opened; the second half's does not.
    EXPECT_EXIT(
        {
            auto sheet = MakeSheetWriter(SheetFormat::Csv);
            sheet->Open(path, 3, 2'000'001);
            sheet->ListingRow(1, 2, some);  // starts the second printer
            capAbove(std::size_t{16} << 20);
            try {
                sheet->ListingRow(2, 1, std::span(wide).first(1'900'000));
            } catch (const std::bad_alloc&) {
                std::_Exit(0);
            }
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(0), "");
    // Neither half has room: the writer's fails, and the sheet then closes down with the second
    // half's failure on its hands.
    EXPECT_EXIT(
        {
            auto sheet = MakeSheetWriter(SheetFormat::Csv);
            sheet->Open(path, 3, 4'000'001);
            sheet->ListingRow(1, 2, some);
            capAbove(std::size_t{16} << 20);
            try {
                sheet->ListingRow(2, 1, wide);
            } catch (const std::bad_alloc&) {
                sheet.reset();
                std::_Exit(0);
            }
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(0), "");
#endif
}

// --- xlsx -----------------------------------------------------------------------------------

// The first sheet of a workbook as Python's zip and XML readers see it: its dimension, then a line
// per cell, "B4 n 20.1" (t for a text, n for a number).
std::string XlsxCells(const std::string& path, int sheet = 1) {
    return test::CommandOutput(std::string("'") + VELTO_PYTHON + "' '" + VELTO_XLSXCELLS + "' '" +
                               path + "' " + std::to_string(sheet));
}

// The first line where two readings of sheets part, with its number; empty when they agree.
// (A whole sheet's difference would take the test framework minutes to show.)
std::string FirstDifference(const std::string& a, const std::string& b) {
    std::size_t at = 0;
    for (int line = 1;; ++line) {
        const std::size_t endA = std::min(a.find('\n', at), a.size());
        const std::size_t endB = std::min(b.find('\n', at), b.size());
        const std::string_view lineA = std::string_view(a).substr(at, endA - at);
        const std::string_view lineB = std::string_view(b).substr(at, endB - at);
        if (lineA != lineB) {
            return "line " + std::to_string(line) + ": " + std::string(lineA) + " | " +
                   std::string(lineB);
        }
        if (endA >= a.size() || endB >= b.size()) {
            return endA >= a.size() && endB >= b.size() ? "" : "line " + std::to_string(line + 1);
        }
        at = endA + 1;
    }
}

// A sheet of listing values, the time in column A and `width` values after it in each row, given
// either a row at a time or a cell at a time. Its XML is several times the working file's buffer.
void WriteListingSheet(SheetWriter& sheet, long rows, long width, float offset, bool wholeRows) {
    std::vector<float> row(static_cast<std::size_t>(width));
    for (long r = 1; r <= rows; ++r) {
        sheet.ListingSingle(r, 1, static_cast<float>(r) * 0.5f);
        for (long c = 0; c < width; ++c) {
            // Every cell its own value: a cell written twice, skipped or shifted shows.
            row[static_cast<std::size_t>(c)] =
                offset + static_cast<float>(r * width + c) * -1.25e-4f + (c % 3 == 0 ? 1e-6f : 0);
        }
        if (wholeRows) {
            sheet.ListingRow(r, 2, row);
        } else {
            for (long c = 0; c < width; ++c) {
                sheet.ListingSingle(r, c + 2, row[static_cast<std::size_t>(c)]);
            }
        }
    }
}

TEST(XlsxSheetWriter, TextsNumbersAndBlanks) {
    test::ScratchDir dir;
    const std::string path = dir.File("book.xlsx");
    auto sheet = MakeSheetWriter(SheetFormat::Xlsx);
    sheet->Open(path, 4, 30);
    sheet->Text(1, 1, "Variable");
    sheet->Text(1, 2, "Stress in N/mm\xB2 & <more>");
    sheet->Text(2, 1, "Vector");
    sheet->Text(2, 2, "");  // left blank
    sheet->Text(3, 1, "  Beam    5 (Point  1)");
    sheet->Number(4, 1, StoredDouble(20.1f));
    sheet->Number(4, 2, StoredDouble(1.2345e-05f));
    sheet->Number(4, 27, StoredDouble(9.2f));
    sheet->Number(4, 30, -1e20);
    sheet->Close();

    // The blank text writes no cell.
    EXPECT_EQ(XlsxCells(path),
              "A1:AD4\nA1 t Variable\nB1 t Stress in N/mm\xC2\xB2 & <more>\n"
              "A2 t Vector\nA3 t   Beam    5 (Point  1)\nA4 n 20.1\n"
              "B4 n 1.2345e-05\nAA4 n 9.2\nAD4 n -1e+20\n");
    // The library's working files went beside the target and are gone.
    EXPECT_EQ(test::Entries(dir.path()), std::vector<std::string>{"book.xlsx"});
}

TEST(XlsxSheetWriter, OutsideTheSheetAndNonFiniteNumbersOverflow) {
    test::ScratchDir dir;
    auto sheet = MakeSheetWriter(SheetFormat::Xlsx);
    sheet->Open(dir.File("book.xlsx"), 1, 1);
    EXPECT_EQ(ErrorOf([&] { sheet->Number(1, 16385, 1); }), kOverflow);
    EXPECT_EQ(ErrorOf([&] { sheet->Number(1048577, 1, 1); }), kOverflow);
    EXPECT_EQ(ErrorOf([&] { sheet->Text(0, 1, "x"); }), kOverflow);
    EXPECT_EQ(ErrorOf([&] { sheet->Number(1, 1, std::nan("")); }), kOverflow);
    sheet->Number(1048576, 16384, 1);
}

// A row handed over whole stores what its cells would, one by one: rows wider than the pieces
// the writer hands to the library at once, on a sheet larger than its working file's buffer.
TEST(XlsxSheetWriter, WholeRowsStoreWhatSingleCellsStore) {
    test::ScratchDir dir;
    const long rows = 40;
    const long width = 700;
    for (const bool wholeRows : {true, false}) {
        auto sheet = MakeSheetWriter(SheetFormat::Xlsx);
        sheet->Open(dir.File(wholeRows ? "rows.xlsx" : "cells.xlsx"), rows, width + 1);
        WriteListingSheet(*sheet, rows, width, 3.0f, wholeRows);
        sheet->Close();
    }
    const std::string cells = XlsxCells(dir.File("rows.xlsx"));
    EXPECT_EQ(FirstDifference(cells, XlsxCells(dir.File("cells.xlsx"))), "");
    // Every cell is there, each once, the last row's last value in column ZY (the 701st).
    EXPECT_EQ(std::count(cells.begin(), cells.end(), '\n'), 1 + rows * (width + 1));
    EXPECT_EQ(cells.substr(0, cells.find('\n')), "A1:ZY40");
    EXPECT_NE(cells.find("\nB1 n 2.9125009\n"), std::string::npos);
    EXPECT_NE(cells.find("\nZY40 n -0.58737415\n"), std::string::npos);
    EXPECT_EQ(test::Entries(dir.path()), (std::vector<std::string>{"cells.xlsx", "rows.xlsx"}));
}

// Each sheet of a workbook keeps its own working file and buffer: neither mixes into another.
TEST(XlsxSheetWriter, SheetsOfAWorkbookKeepTheirOwnRows) {
    test::ScratchDir dir;
    auto book = MakeSheetWriter(SheetFormat::Xlsx);
    book->Open(dir.File("book.xlsx"), 30, 801);
    book->StartSheet("First");
    WriteListingSheet(*book, 30, 800, 1.0f, true);
    book->StartSheet("Second");
    WriteListingSheet(*book, 20, 500, -7.0f, true);
    book->Close();
    for (const auto& [name, rows, width, offset] :
         {std::tuple{"first.xlsx", 30L, 800L, 1.0f}, {"second.xlsx", 20L, 500L, -7.0f}}) {
        auto sheet = MakeSheetWriter(SheetFormat::Xlsx);
        sheet->Open(dir.File(name), rows, width + 1);
        WriteListingSheet(*sheet, rows, width, offset, false);
        sheet->Close();
    }
    EXPECT_EQ(
        FirstDifference(XlsxCells(dir.File("book.xlsx"), 1), XlsxCells(dir.File("first.xlsx"))),
        "");
    EXPECT_EQ(
        FirstDifference(XlsxCells(dir.File("book.xlsx"), 2), XlsxCells(dir.File("second.xlsx"))),
        "");
}

// A row is refused whole where a cell of it would be: before the workbook, outside the sheet,
// or with a value that is not finite.
TEST(XlsxSheetWriter, WholeRowsAreRefusedWhereTheirCellsWouldBe) {
    test::ScratchDir dir;
    const std::vector<float> two{1.5f, 2.5f};
    const std::vector<float> withNan{1.5f, std::nanf("")};
    auto writer = [&] {
        auto sheet = MakeSheetWriter(SheetFormat::Xlsx);
        sheet->Open(dir.File("book.xlsx"), 2, 16384);
        return sheet;
    };
    EXPECT_EQ(ErrorOf([&] { MakeSheetWriter(SheetFormat::Xlsx)->ListingRow(1, 1, two); }),
              kPathFileAccess);
    EXPECT_EQ(ErrorOf([&] { writer()->ListingRow(1, 16384, two); }), kOverflow);
    EXPECT_EQ(ErrorOf([&] { writer()->ListingRow(1, 0, two); }), kOverflow);
    EXPECT_EQ(ErrorOf([&] { writer()->ListingRow(1048577, 1, two); }), kOverflow);
    EXPECT_EQ(ErrorOf([&] { writer()->ListingRow(1, 1, withNan); }), kOverflow);
    // The last two columns of the last row are in the sheet; an empty row writes nothing.
    auto sheet = writer();
    sheet->ListingRow(1, 1, {});
    sheet->ListingRow(1048576, 16383, two);
    sheet->Close();
    EXPECT_EQ(XlsxCells(dir.File("book.xlsx")),
              "XFC1048576:XFD1048576\nXFC1048576 n 1.5\nXFD1048576 n 2.5\n");
}

// Under a decimal-comma locale (which the window's Qt application object takes from the
// environment) the library would print 20,1 into the sheet's XML. The locale is built in a
// scratch folder, as test machines seldom have one installed.
TEST(XlsxSheetWriter, NumbersKeepTheirPointUnderADecimalCommaLocale) {
    test::ScratchDir dir;
    const std::string build =
        "localedef -i de_DE -f ISO-8859-1 '" + dir.File("de_DE.ISO-8859-1") + "' > /dev/null 2>&1";
    if (std::system(build.c_str()) != 0) {
        GTEST_SKIP() << "localedef could not build de_DE (Debian package locales)";
    }
    // What the test program runs in (a variant runs it in a decimal-comma locale) comes back.
    const std::string before = ::setlocale(LC_ALL, nullptr);
    const char* locpathWas = std::getenv("LOCPATH");
    const std::string locpath = locpathWas ? locpathWas : "";
    auto restore = [&] {
        locpathWas ? ::setenv("LOCPATH", locpath.c_str(), 1) : ::unsetenv("LOCPATH");
        ::setlocale(LC_ALL, before.c_str());
    };
    ::setenv("LOCPATH", dir.path().c_str(), 1);
    const bool comma = ::setlocale(LC_ALL, "de_DE.ISO-8859-1") != nullptr;
    char shown[16];
    std::snprintf(shown, sizeof shown, "%.1f", 0.5);
    if (!comma || std::string(shown) != "0,5") {
        restore();
        GTEST_SKIP() << "the built locale does not print a decimal comma";
    }
    const std::string path = dir.File("book.xlsx");
    auto sheet = MakeSheetWriter(SheetFormat::Xlsx);
    sheet->Open(path, 1, 2);
    sheet->Number(1, 1, StoredDouble(20.1f));
    sheet->Number(1, 2, 0.5);
    sheet->Close();
    // The thread has its own locale back.
    std::snprintf(shown, sizeof shown, "%.1f", 0.5);
    const std::string after = shown;
    restore();

    EXPECT_EQ(after, "0,5");
    EXPECT_EQ(XlsxCells(path), "A1:B1\nA1 n 20.1\nB1 n 0.5\n");
}

// --- page settings --------------------------------------------------------------------------

// How each writer prints and guards a sheet: the .xls records between the font and the first
// cell, the .xlsx sheet's own settings (its password kept as a hash only), nothing in CSV. What a
// format cannot hold fails the call and writes nothing of it.
TEST(PageSettings, EachFormatWritesWhatItCanHold) {
    test::ScratchDir dir;
    PageSetup page;
    page.header = "Fire &P";
    page.footer = "N/mm\xB2";
    page.columnWidth = 20;
    page.margins = PageMargins{0.5, 0.625, 1.25, 1.5};
    page.gridLines = true;
    page.protect = true;
    auto inches = [](double value) {
        std::string bytes(8, '\0');
        const auto bits = std::bit_cast<std::uint64_t>(value);
        for (int i = 0; i < 8; ++i) {
            bytes[static_cast<std::size_t>(i)] = static_cast<char>(bits >> (8 * i));
        }
        return bytes;
    };
    using namespace std::string_literals;
    const std::string begin = "\x09\0\x04\0\x02\0\x0A\0\x31\0\x0A\0\xC8\0\0\0\x05"s + "Arial";
    const std::string end = "\x0A\0\0\0"s;

    PageSetup withPassword = page;
    withPassword.password = "Fire & Ice 2024";
    auto xls = MakeSheetWriter(SheetFormat::Xls);
    xls->Open(dir.File("refused.xls"), 1, 3);
    EXPECT_EQ(ErrorOf([&] { xls->PageSettings(withPassword, 3); }), kInvalidCall);
    xls->Close();
    EXPECT_EQ(test::ReadBytes(dir.File("refused.xls")), begin + end);

    xls = MakeSheetWriter(SheetFormat::Xls);
    xls->Open(dir.File("page.xls"), 1, 3);
    xls->PageSettings(page, 3);
    xls->Text(1, 1, "x");
    xls->Close();
    EXPECT_EQ(test::ReadBytes(dir.File("page.xls")),
              begin + "\x14\0\x08\0\x07"s + "Fire &P" + "\x15\0\x06\0\x05N/mm\xB2"s +
                  "\x26\0\x08\0"s + inches(0.5) + "\x27\0\x08\0"s + inches(0.625) +
                  "\x28\0\x08\0"s + inches(1.25) + "\x29\0\x08\0"s + inches(1.5) +
                  "\x2B\0\x02\0\x01\0"s + "\x24\0\x04\0\0\x02\0\x14"s + "\x12\0\x02\0\x01\0"s +
                  "\x04\0\x09\0\0\0\0\0\0\0\x01\x01x"s + end);

    auto csv = MakeSheetWriter(SheetFormat::Csv);
    csv->Open(dir.File("page.csv"), 1, 1);
    csv->PageSettings(PageSetup{}, 1);
    EXPECT_EQ(ErrorOf([&] { csv->PageSettings(page, 1); }), kInvalidCall);

    auto xlsx = MakeSheetWriter(SheetFormat::Xlsx);
    xlsx->Open(dir.File("page.xlsx"), 1, 3);
    // A picture's place without a picture would crash the library: refused before it is called.
    PageSetup picture;
    picture.header = "&G";
    EXPECT_EQ(ErrorOf([&] { xlsx->PageSettings(picture, 3); }), kInvalidCall);
    xlsx->PageSettings(withPassword, 3);
    xlsx->Text(1, 1, "x");
    xlsx->Close();
    const std::string settings = test::CommandOutput(
        std::string("'") + VELTO_PYTHON + "' '" + VELTO_XLSXCELLS + "' --page '" +
        dir.File("page.xlsx") + "' '" + withPassword.password + "'");
    const std::size_t hash = settings.find("protection ");
    ASSERT_NE(hash, std::string::npos) << settings;
    EXPECT_EQ(settings.substr(0, hash), "sheet1.xml\ncols 1-3 20.7109375\n");
    EXPECT_EQ(settings.substr(hash + 15),
              "\ngridlines\nmargins 0.5 0.625 1.25 1.5\nheader Fire &P\nfooter N/mm\xC2\xB2\n");
    // The password's hash, and nowhere its text (the line "holds ..." would follow).
    EXPECT_EQ(settings.substr(hash + 11, 4).find_first_not_of("0123456789ABCDEF"),
              std::string::npos)
        << settings;
}

}  // namespace
}  // namespace velto
