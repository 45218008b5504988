#include "extract/export/excelfile.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/error.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::ErrorOf;

const Bytes kBegin{0x09, 0x00, 0x04, 0x00, 0x02, 0x00, 0x0A, 0x00};
const Bytes kEnd{0x0A, 0x00, 0x00, 0x00};

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes DoubleBytes(double value) {
    Bytes bytes;
    for (int shift = 0; shift < 64; shift += 8) {
        bytes.push_back(static_cast<std::uint8_t>(std::bit_cast<std::uint64_t>(value) >> shift));
    }
    return bytes;
}

// Cell records at A1 with every attribute byte 0.
Bytes NumberAtA1(double value) {
    return Join({{3, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0}, DoubleBytes(value)});
}
Bytes IntegerAtA1(std::int16_t value) {
    const auto bits = static_cast<std::uint16_t>(value);
    const auto low = static_cast<std::uint8_t>(bits), high = static_cast<std::uint8_t>(bits >> 8);
    return {2, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, low, high};
}
Bytes TextAtA1(const std::string& text) {
    std::string record(12, '\0');
    record[0] = 4;
    record[2] = static_cast<char>(8 + text.size());
    record[3] = static_cast<char>((8 + text.size()) >> 8);
    record[11] = static_cast<char>(text.size());
    record += text;
    return Bytes(record.begin(), record.end());
}

class ExcelFileTest : public ::testing::Test {
  protected:
    // The records written between the beginning- and end-of-file records, checking both.
    Bytes Body() const {
        const std::string bytes = test::ReadBytes(path_);
        const Bytes all(bytes.begin(), bytes.end());
        if (all.size() < 12) {
            ADD_FAILURE() << "no whole sheet: " << all.size() << " bytes";
            return {};
        }
        EXPECT_EQ(Bytes(all.begin(), all.begin() + 8), kBegin);
        EXPECT_EQ(Bytes(all.end() - 4, all.end()), kEnd);
        return Bytes(all.begin() + 8, all.end() - 4);
    }

    test::ScratchDir dir_;
    std::string path_ = dir_.File("out.xls");
};

// Each call's records, byte for byte: the cells and font the export writes, the cell types it
// never writes (integers, numbers handed over as singles or texts), and the page records.
TEST_F(ExcelFileTest, Records) {
    const struct {
        const char* what;
        std::function<void(ExcelFile&)> write;
        Bytes records;
    } cases[] = {
        {"text cell",
         [](ExcelFile& s) { s.WriteValue(2, 0, 1, 0, 1, 1, "Time"); },
         {0x04, 0, 0x0C, 0, 0, 0, 0, 0, 0, 0, 1, 4, 'T', 'i', 'm', 'e'}},
        {"empty text", [](ExcelFile& s) { s.WriteValue(2, 0, 0, 0, 1, 1, ""); }, TextAtA1("")},
        {"number cell", [](ExcelFile& s) { s.WriteValue(1, 0, 1, 0, 4, 2, 0.5); },
         Join({{0x03, 0, 0x0F, 0, 3, 0, 1, 0, 0, 0, 1}, DoubleBytes(0.5)})},
        // Attribute bytes go hiddenLocked, cellFontUsed, alignment.
        {"attributes",
         [](ExcelFile& s) { s.WriteValue(0, 2, 3, 1, 2, 3, -2); },
         {0x02, 0, 0x09, 0, 1, 0, 2, 0, 1, 2, 3, 0xFE, 0xFF}},
        {"rows and columns are zero-based unsigned",
         [](ExcelFile& s) {
             s.WriteValue(0, 0, 0, 0, 65536, 65536, 1);
             s.WriteValue(0, 0, 0, 0, 32768, 1, 1);
             s.WriteValue(0, 0, 0, 0, 32769, 1, 1);
         },
         {2, 0, 9, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0,  //
          2, 0, 9, 0, 0xFF, 0x7F, 0,    0,    0, 0, 0, 1, 0,  //
          2, 0, 9, 0, 0x00, 0x80, 0,    0,    0, 0, 0, 1, 0}},
        {"other value types write nothing",
         [](ExcelFile& s) {
             s.WriteValue(3, 0, 0, 0, 1, 1, "x");
             s.WriteValue(-1, 999, 0, 0, 0, 0, "x");
         },
         {}},
        {"integers round halves to even",
         [](ExcelFile& s) {
             for (const CellValue& v : {CellValue(2.5), CellValue(3.5), CellValue(-2.5),
                                        CellValue(-32768.5), CellValue("  7 ")}) {
                 s.WriteValue(0, 0, 0, 0, 1, 1, v);
             }
         },
         Join({IntegerAtA1(2), IntegerAtA1(4), IntegerAtA1(-2), IntegerAtA1(-32768),
               IntegerAtA1(7)})},
        // Six fixed decimals would turn a displacement of 1.2345E-05 m into 0.000012.
        {"a single is stored as its shortest decimal",
         [](ExcelFile& s) {
             for (const CellValue& v : {CellValue(20.1f), CellValue(1.2345e-05f), CellValue(1e-7),
                                        CellValue(" -3.25 ")}) {
                 s.WriteValue(1, 0, 0, 0, 1, 1, v);
             }
         },
         Join({NumberAtA1(20.1), NumberAtA1(1.2345e-05), NumberAtA1(1e-7), NumberAtA1(-3.25)})},
        {"numbers as text are shortest",
         [](ExcelFile& s) {
             for (const CellValue& v : {CellValue(20.1f), CellValue(100000.0f), CellValue(1e20),
                                        CellValue(5), CellValue(-0.0)}) {
                 s.WriteValue(2, 0, 0, 0, 1, 1, v);
             }
         },
         Join({TextAtA1("20.1"), TextAtA1("100000"), TextAtA1("1e+20"), TextAtA1("5"),
               TextAtA1("0")})},
        {"a row of numbers is the number cells along it",
         [](ExcelFile& s) {
             s.WriteNumberRow(0, 1, 0, 4, 2, std::vector{0.5, -3.25});
         },
         Join({{0x03, 0, 0x0F, 0, 3, 0, 1, 0, 0, 0, 1},
               DoubleBytes(0.5),
               {0x03, 0, 0x0F, 0, 3, 0, 2, 0, 0, 0, 1},
               DoubleBytes(-3.25)})},
        // Twenty cells from column 250, across the 256th: each its own column and value.
        {"a long row of numbers, past a column byte",
         [](ExcelFile& s) {
             std::vector<double> values(20);
             for (std::size_t k = 0; k < values.size(); ++k) {
                 values[k] = 0.25 * static_cast<double>(k) - 1;
             }
             s.WriteNumberRow(0, 1, 0, 300, 250, values);
         },
         [] {
             Bytes cells;
             for (int k = 0; k < 20; ++k) {
                 const int col = 249 + k;
                 const Bytes cell =
                     Join({{0x03, 0, 0x0F, 0, 43, 1, static_cast<std::uint8_t>(col & 0xFF),
                            static_cast<std::uint8_t>(col >> 8), 0, 0, 1},
                           DoubleBytes(0.25 * k - 1)});
                 cells.insert(cells.end(), cell.begin(), cell.end());
             }
             return cells;
         }()},
        {"font",
         [](ExcelFile& s) { s.SetFont("Arial", 10, 1); },
         {0x31, 0, 10, 0, 200, 0, 1, 0, 5, 'A', 'r', 'i', 'a', 'l'}},
        // Columns zero-based in a byte each, the width in 1/256 of a character.
        {"column width",
         [](ExcelFile& s) {
             s.SetColumnWidth(1, 256, 127);
             s.SetColumnWidth(3, 3, 0);
         },
         {0x24, 0, 4, 0, 0, 255, 0x00, 0x7F, 0x24, 0, 4, 0, 2, 2, 0, 0}},
        {"margins are their own record numbers",
         [](ExcelFile& s) {
             s.SetMargin(ExcelFile::kLeftMargin, 0.5);
             s.SetMargin(ExcelFile::kBottomMargin, 0);
         },
         Join({{0x26, 0, 8, 0}, DoubleBytes(0.5), {0x29, 0, 8, 0}, DoubleBytes(0)})},
        {"header and footer",
         [](ExcelFile& s) {
             s.SetHeader("&P");
             s.SetFooter("");
         },
         {0x14, 0, 3, 0, 2, '&', 'P', 0x15, 0, 1, 0, 0}},
        {"grid lines and protection",
         [](ExcelFile& s) {
             s.PrintGridLines(true);
             s.PrintGridLines(false);
             s.ProtectSpreadsheet(true);
             s.ProtectSpreadsheet(false);
         },
         {0x2B, 0, 2, 0, 1, 0, 0x2B, 0, 2, 0, 0, 0, 0x12, 0, 2, 0, 1, 0, 0x12, 0, 2, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExcelFile sheet;
        sheet.CreateFile(path_);
        c.write(sheet);
        sheet.CloseFile();
        EXPECT_EQ(Body(), c.records);
    }
}

// Arguments are checked before anything is written: a rejected call leaves the file as it was.
// (The calls the export never makes are left to their records above.)
TEST_F(ExcelFileTest, RejectedCallsWriteNothingAndKeepEarlierRecords) {
    ExcelFile sheet;
    ExcelFile closed;
    sheet.CreateFile(path_);
    sheet.SetFont("A", 10, 0);
    const struct {
        const char* what;
        std::function<void()> call;
        int error;
    } cases[] = {
        {"text of 256 bytes", [&] { sheet.WriteValue(2, 0, 0, 0, 1, 1, std::string(256, 'a')); },
         kOverflow},
        // A number with words after it is no number, in either number record.
        {"number cell of 12abc", [&] { sheet.WriteValue(1, 0, 0, 0, 1, 1, "12abc"); },
         kTypeMismatch},
        {"integer cell of 12abc", [&] { sheet.WriteValue(0, 0, 0, 0, 1, 1, "12abc"); },
         kTypeMismatch},
        {"number cell of 1e5 x", [&] { sheet.WriteValue(1, 0, 0, 0, 1, 1, "1e5 x"); },
         kTypeMismatch},
        {"number cell of 2,5", [&] { sheet.WriteValue(1, 0, 0, 0, 1, 1, "2,5"); }, kTypeMismatch},
        {"column width 128", [&] { sheet.SetColumnWidth(1, 1, 128); }, kOverflow},
        {"column width -1", [&] { sheet.SetColumnWidth(1, 1, -1); }, kOverflow},
        {"column 0", [&] { sheet.SetColumnWidth(0, 1, 10); }, kOverflow},
        {"column 257", [&] { sheet.SetColumnWidth(1, 257, 10); }, kOverflow},
        {"columns backwards", [&] { sheet.SetColumnWidth(3, 2, 10); }, kInvalidCall},
        {"margin record 0x2A", [&] { sheet.SetMargin(0x2A, 1); }, kInvalidCall},
        {"margin below 0", [&] { sheet.SetMargin(ExcelFile::kTopMargin, -0.1); }, kInvalidCall},
        {"infinite margin", [&] { sheet.SetMargin(ExcelFile::kTopMargin, HUGE_VAL); }, kOverflow},
        {"header of 256 bytes", [&] { sheet.SetHeader(std::string(256, 'h')); }, kOverflow},
        {"footer of 256 bytes", [&] { sheet.SetFooter(std::string(256, 'f')); }, kOverflow},
        {"grid lines without a file", [&] { closed.PrintGridLines(true); }, kPathFileAccess},
        {"row 0", [&] { sheet.WriteValue(1, 0, 0, 0, 0, 1, 1.0); }, kOverflow},
        {"row 65537", [&] { sheet.WriteValue(1, 0, 0, 0, 65537, 1, 1.0); }, kOverflow},
        {"column 0", [&] { sheet.WriteValue(1, 0, 0, 0, 1, 0, 1.0); }, kOverflow},
        {"column 65537", [&] { sheet.WriteValue(1, 0, 0, 0, 1, 65537, 1.0); }, kOverflow},
        {"a row reaching column 65537",
         [&] {
             sheet.WriteNumberRow(0, 1, 0, 1, 65536, std::vector{1.0, 2.0});
         },
         kOverflow},
        {"a row holding an infinity",
         [&] {
             sheet.WriteNumberRow(0, 1, 0, 1, 1, std::vector{1.0, HUGE_VAL});
         },
         kOverflow},
        {"a second file", [&] { sheet.CreateFile(path_ + "2"); }, kPathFileAccess},
        {"cell without a file", [&] { closed.WriteValue(2, 0, 0, 0, 1, 1, "x"); }, kPathFileAccess},
        {"closing without a file", [&] { closed.CloseFile(); }, kPathFileAccess},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf(c.call), c.error) << c.what;
    }
    EXPECT_TRUE(sheet.WriteValue(2, 0, 0, 0, 1, 1, std::string(255, 'a')));
    EXPECT_TRUE(sheet.SetHeader(std::string(255, 'h')));
    sheet.CloseFile();
    EXPECT_EQ(Body(), Join({{0x31, 0, 6, 0, 200, 0, 0, 0, 1, 'A'},
                            TextAtA1(std::string(255, 'a')),
                            {0x14, 0, 0, 1, 255},
                            Bytes(255, 'h')}));
    EXPECT_FALSE(fs::exists(path_ + "2"));
}

}  // namespace
}  // namespace velto
