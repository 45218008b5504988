#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/atomicsave.h"
#include "common/hugeroom.h"

namespace velto {

// A value handed to a cell: a text of single-byte characters (Latin-1/Windows-1252, written as
// is), a single-precision number (how the export hands over results) or a double. Whole numbers
// are held as doubles, so they are exact up to 2^53.
class CellValue {
  public:
    using Variant = std::variant<std::string, float, double>;

    CellValue(std::string text) : value_(std::move(text)) {}
    CellValue(const char* text) : value_(std::string(text)) {}
    CellValue(float number) : value_(number) {}
    CellValue(double number) : value_(number) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) CellValue(T number) : value_(static_cast<double>(number)) {}

    const Variant& value() const { return value_; }

  private:
    Variant value_;
};

// The double a single-precision result is stored as in every format: the double of the single's
// shortest decimal text, so 20.1f is stored as the double nearest 20.1 and 1.2345E-05 keeps all
// its digits. Raises overflow (6) for an infinite single or one that is not a number.
double StoredDouble(float single);

// Writes a worksheet in the BIFF2 format: a plain sequence of records, each a record number and
// a data length (two bytes each, little-endian) followed by the data.
//
// Every writer raises a velto::RuntimeError on failure and undoes nothing written before it.
// Arguments are checked before anything of the record is written, so a rejected call leaves the
// file as it was. Every writer other than CreateFile raises kPathFileAccess (75) when no file is
// open. Records are handed to a stdio buffer in call order; a failed write is raised by the call
// whose record could not be passed on to the system, at the latest by CloseFile.
class ExcelFile {
  public:
    // The beginning-of-file record (number, length, version 2, worksheet) and the end-of-file
    // record, as 16-bit words.
    static constexpr std::array<std::uint16_t, 4> kBeginRecord{0x0009, 0x0004, 0x0002, 0x000A};
    static constexpr std::array<std::uint16_t, 2> kEndRecord{0x000A, 0x0000};

    // Margin record numbers for SetMargin.
    static constexpr int kLeftMargin = 0x26;
    static constexpr int kRightMargin = 0x27;
    static constexpr int kTopMargin = 0x28;
    static constexpr int kBottomMargin = 0x29;

    ExcelFile() = default;
    ExcelFile(const ExcelFile&) = delete;
    ExcelFile& operator=(const ExcelFile&) = delete;

    // Closes a file still open (writing the end-of-file record) so that a file left behind by an
    // interrupted export is still complete. Errors met while closing are swallowed.
    ~ExcelFile();

    // Replaces fileName by a new worksheet holding the beginning-of-file record. An existing
    // regular file or symbolic link of that name is deleted first, so the new file never holds
    // bytes of the old one; other kinds of entries (devices, pipes) are opened as they are.
    // Failures to delete or open raise the error mapped from errno by RaiseFileError: 70 when
    // permission is denied, 53 when the folder does not exist, 75 for a directory and the rest.
    // Raises 75 when this object already has a file open; that file stays open and unchanged.
    bool CreateFile(const std::string& fileName);

    // Writes the end-of-file record and closes the file. The file counts as closed afterwards
    // even when this raises: a failed write, flush or close raises the mapped error (a full disk
    // gives 75).
    bool CloseFile();

    bool IsOpen() const { return file_ != nullptr; }

    // A positive number identifying the open file, different for each CreateFile of this
    // process; 0 when no file is open.
    int FileNumber() const { return fileNumber_; }

    // Writes one cell at the one-based row and col (each 1..65536, else overflow 6).
    // hiddenLocked, cellFontUsed and alignment are the three attribute bytes, each 0..255, else
    // overflow (6). valueType selects the record:
    //  0 integer cell: the value rounded to the nearest whole number, halves to even; outside
    //    -32768..32767 raises overflow (6).
    //  1 number cell: a single as the double of its shortest decimal text, so 20.1f is stored
    //    as the double nearest 20.1 and small values keep their digits; a double as it is.
    //  2 text cell: at most 255 bytes, else overflow (6). A number becomes the shortest text
    //    that reads back to it, in plain decimals ("0.5", "20.1" for 20.1f, "100000") for
    //    magnitudes from 1e-5 up to 1e15 and in exponent form ("1e+20", "2.5e-07") otherwise.
    //  any other: writes nothing and returns true, whatever the other arguments.
    // For types 0 and 1 a text is read as a decimal number (spaces around it allowed); a text
    // that is not one raises type mismatch (13). A number that is infinite or not a number
    // raises overflow (6) for every type.
    bool WriteValue(int valueType, int cellFontUsed, int alignment, int hiddenLocked, long row,
                    long col, const CellValue& value);

    // Number cells (type 1) of doubles, from column `col` along row `row`: the very records of
    // as many WriteValue calls, written at once (a sheet of listing values is mostly rows of
    // them). A cell outside the sheet, or a value that is not finite, writes none of the row.
    void WriteNumberRow(int cellFontUsed, int alignment, int hiddenLocked, long row, long col,
                        std::span<const double> values);

    // Adds a font of fontHeight points. fontHeight*20 must fit a signed 16-bit number, fontFormat
    // must lie in 0..255 and fontName hold at most 255 bytes; otherwise overflow (6).
    bool SetFont(const std::string& fontName, int fontHeight, int fontFormat);

    // Writes marginValue (inches) as the margin record numbered `margin`, one of the kXxxMargin
    // numbers. Another number is an invalid call (5): the record would be one that readers take
    // for something else. A margin below 0 is an invalid call (5), one that is not finite an
    // overflow (6).
    bool SetMargin(int margin, double marginValue);

    // Sets the width of the one-based columns firstColumn..lastColumn to widthValue characters.
    // Columns lie in 1..256 (else overflow 6) and firstColumn may not exceed lastColumn (else
    // invalid call 5); widthValue lies in 0..127, else overflow (6): the record holds the width
    // in 1/256 of a character as a signed 16-bit number.
    bool SetColumnWidth(int firstColumn, int lastColumn, int widthValue);

    // Sets the page header or footer text, at most 255 bytes, else overflow (6). The readers
    // take Excel's codes in it ("&P" the page number, "&&" an ampersand).
    bool SetHeader(const std::string& text);
    bool SetFooter(const std::string& text);

    // Turn printing of grid lines and sheet protection on or off, writing their record at once.
    void PrintGridLines(bool on);
    void ProtectSpreadsheet(bool on);

  private:
    void RequireOpen() const;
    void Write(const std::vector<std::uint8_t>& bytes);

    std::FILE* file_ = nullptr;
    Buffer buffer_;  // the stream's, until it is closed
    WritebackPacer writeback_;
    int fileNumber_ = 0;
    std::vector<std::uint8_t> record_;      // the record being built
    std::vector<std::uint8_t> rowRecords_;  // the records of a row written at once
};

}  // namespace velto
