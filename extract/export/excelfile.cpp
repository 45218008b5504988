#include "extract/export/excelfile.h"

#include "extract/export/singletext.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <variant>

#include "common/error.h"

namespace velto {

namespace {

constexpr std::uint16_t kIntegerCellRecord = 0x0002;
constexpr std::uint16_t kNumberCellRecord = 0x0003;
constexpr std::uint16_t kTextCellRecord = 0x0004;
constexpr std::uint16_t kProtectRecord = 0x0012;
constexpr std::uint16_t kHeaderRecord = 0x0014;
constexpr std::uint16_t kFooterRecord = 0x0015;
constexpr std::uint16_t kColumnWidthRecord = 0x0024;
constexpr std::uint16_t kGridLinesRecord = 0x002B;
constexpr std::uint16_t kFontRecord = 0x0031;

constexpr std::size_t kMaxShortText = 255;

// A record being assembled: number and length first, the length patched in when complete.
class Record {
  public:
    // Builds the record in `into` (a buffer the writer keeps, so that the thousands of cells of
    // a sheet do not each claim memory of their own).
    Record(std::vector<std::uint8_t>& into, std::uint16_t number) : bytes_(into) {
        bytes_.clear();
        Word(number).Word(0);
    }

    Record& Byte(std::uint8_t value) {
        bytes_.push_back(value);
        return *this;
    }
    Record& Word(std::uint16_t value) {
        bytes_.push_back(static_cast<std::uint8_t>(value & 0xFF));
        bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
        return *this;
    }
    Record& Double(double value) {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        for (int shift = 0; shift < 64; shift += 8) {
            bytes_.push_back(static_cast<std::uint8_t>(bits >> shift));
        }
        return *this;
    }
    Record& Bytes(const std::string& text) {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        return *this;
    }
    // A length byte and the text; callers have checked the text fits.
    Record& ShortText(const std::string& text) {
        return Byte(static_cast<std::uint8_t>(text.size())).Bytes(text);
    }

    // The whole record with its data length in place; callers keep the data within 65535 bytes.
    const std::vector<std::uint8_t>& Finish() {
        const std::size_t length = bytes_.size() - 4;
        bytes_[2] = static_cast<std::uint8_t>(length & 0xFF);
        bytes_[3] = static_cast<std::uint8_t>(length >> 8);
        return bytes_;
    }

  private:
    std::vector<std::uint8_t>& bytes_;
};

std::uint8_t CheckedByte(int value) {
    if (value < 0 || value > 255) {
        Raise(kOverflow);
    }
    return static_cast<std::uint8_t>(value);
}

std::int16_t CheckedInteger(long value) {
    if (value < INT16_MIN || value > INT16_MAX) {
        Raise(kOverflow);
    }
    return static_cast<std::int16_t>(value);
}

// Rows and columns are given from 1 and stored from 0 as unsigned 16-bit numbers.
std::uint16_t ZeroBasedIndex(long oneBased) {
    if (oneBased < 1 || oneBased > 65536) {
        Raise(kOverflow);
    }
    return static_cast<std::uint16_t>(oneBased - 1);
}

void CheckShortText(const std::string& text) {
    if (text.size() > kMaxShortText) {
        Raise(kOverflow);
    }
}

// Reads a whole text as a decimal number, allowing spaces around it and a leading sign. Forms
// such as "inf" or "nan" are not numbers to a user, so they are a type mismatch too.
double ParseNumber(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        Raise(kTypeMismatch);
    }
    const char* begin = text.data() + first;
    const char* end = text.data() + text.find_last_not_of(" \t") + 1;
    bool negative = false;
    if (*begin == '+' || *begin == '-') {
        negative = *begin == '-';
        ++begin;
    }
    if (begin == end || !(std::isdigit(static_cast<unsigned char>(*begin)) != 0 || *begin == '.')) {
        Raise(kTypeMismatch);
    }
    double number = 0;
    const auto [stop, status] = std::from_chars(begin, end, number);
    if (status == std::errc::result_out_of_range) {
        Raise(kOverflow);
    }
    if (status != std::errc() || stop != end) {
        Raise(kTypeMismatch);
    }
    return negative ? -number : number;
}

double ToNumber(const CellValue& value) {
    const double number = std::visit(
        [](const auto& held) -> double {
            if constexpr (std::is_same_v<std::decay_t<decltype(held)>, std::string>) {
                return ParseNumber(held);
            } else {
                return static_cast<double>(held);
            }
        },
        value.value());
    if (!std::isfinite(number)) {
        Raise(kOverflow);
    }
    return number;
}

// The shortest text that reads back to the number in its own precision, so the single 20.1f
// reads "20.1". Plain decimals suit the magnitudes results have; exponents keep the rest short.
template <typename T>
std::string ShortestText(T number) {
    if (!std::isfinite(number)) {
        Raise(kOverflow);
    }
    if (number == 0) {
        return "0";  // and not "-0" for a negative zero
    }
    const T magnitude = std::fabs(number);
    const auto format = magnitude >= static_cast<T>(1e-5) && magnitude < static_cast<T>(1e15)
                            ? std::chars_format::fixed
                            : std::chars_format::scientific;
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number, format);
    return std::string(buffer, result.ptr);
}

std::string ToText(const CellValue& value) {
    return std::visit(
        [](const auto& held) -> std::string {
            if constexpr (std::is_same_v<std::decay_t<decltype(held)>, std::string>) {
                return held;
            } else {
                return ShortestText(held);
            }
        },
        value.value());
}

// The double a number cell stores. A single becomes the double of its shortest decimal text, so
// 20.1f (20.100000381... in binary) is stored as 20.1 and 1.2345E-05 keeps all its digits;
// rounding to a fixed number of decimals would lose the small values that displacements in
// metres are. Doubles and numeric texts are stored as they are.
double NumberCellValue(const CellValue& value) {
    if (const float* single = std::get_if<float>(&value.value())) {
        return StoredDouble(*single);
    }
    return ToNumber(value);
}

// Nearest whole number, halves to even. remainder() picks that whole number exactly and does
// not depend on the floating-point rounding mode.
double RoundHalfEven(double number) {
    return number - std::remainder(number, 1.0);
}

std::vector<std::uint8_t> WordBytes(const std::uint16_t* words, std::size_t count) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(words[i] & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(words[i] >> 8));
    }
    return bytes;
}

// Hands the bytes to the stream; gives the errno of a failure, 0 on success.
int TryWrite(std::FILE* file, const std::vector<std::uint8_t>& bytes) {
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

int NextFileNumber() {
    static std::atomic<unsigned> opened{0};
    return static_cast<int>(opened.fetch_add(1) % static_cast<unsigned>(INT_MAX)) + 1;
}

}  // namespace

double StoredDouble(float single) {
    if (!std::isfinite(single)) {
        Raise(kOverflow);
    }
    return ShortestSingleDouble(single);
}

ExcelFile::~ExcelFile() {
    if (IsOpen()) {
        try {
            CloseFile();
        } catch (...) {
            // A destructor may not throw; the error that interrupted the caller matters more.
        }
    }
}

bool ExcelFile::CreateFile(const std::string& fileName) {
    if (IsOpen()) {
        Raise(kPathFileAccess);
    }
    // Deleting first rather than truncating keeps a half-written new file from ever showing
    // bytes of the old one. Devices and pipes are not ours to delete.
    struct stat info {};
    if (::lstat(fileName.c_str(), &info) == 0 && (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode))) {
        if (::unlink(fileName.c_str()) != 0 && errno != ENOENT) {
            RaiseFileError(errno);
        }
    }
    std::FILE* file = std::fopen(fileName.c_str(), "wb");
    if (file == nullptr) {
        RaiseFileError(errno);
    }
    // A sheet of many values is megabytes of small records: written a page at a time, it would
    // cost a system call per row. The buffer must be ours: given none, the library keeps a page.
    constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
    buffer_ = MakeBuffer(kBufferBytes);
    std::setvbuf(file, buffer_.get(), _IOFBF, kBufferBytes);
    const int error = TryWrite(file, WordBytes(kBeginRecord.data(), kBeginRecord.size()));
    if (error != 0) {
        std::fclose(file);
        RaiseFileError(error);
    }
    file_ = file;
    fileNumber_ = NextFileNumber();
    return true;
}

bool ExcelFile::CloseFile() {
    RequireOpen();
    int error = TryWrite(file_, WordBytes(kEndRecord.data(), kEndRecord.size()));
    // An earlier failed write leaves the file incomplete, even if that call was already raised.
    errno = 0;
    if (error == 0 && (std::fflush(file_) != 0 || std::ferror(file_) != 0)) {
        error = errno != 0 ? errno : EIO;
    }
    if (const int synced = writeback_.Finish(); error == 0) {
        error = synced;
    }
    errno = 0;
    if (std::fclose(file_) != 0 && error == 0) {
        error = errno != 0 ? errno : EIO;
    }
    file_ = nullptr;
    buffer_.reset();
    fileNumber_ = 0;
    if (error != 0) {
        RaiseFileError(error);
    }
    return true;
}

bool ExcelFile::WriteValue(int valueType, int cellFontUsed, int alignment, int hiddenLocked,
                           long row, long col, const CellValue& value) {
    RequireOpen();
    if (valueType < 0 || valueType > 2) {
        return true;
    }
    const std::uint16_t rowIndex = ZeroBasedIndex(row);
    const std::uint16_t colIndex = ZeroBasedIndex(col);
    const std::uint8_t attribute1 = CheckedByte(hiddenLocked);
    const std::uint8_t attribute2 = CheckedByte(cellFontUsed);
    const std::uint8_t attribute3 = CheckedByte(alignment);

    static constexpr std::uint16_t kRecordOfType[] = {kIntegerCellRecord, kNumberCellRecord,
                                                      kTextCellRecord};
    Record record(record_, kRecordOfType[valueType]);
    record.Word(rowIndex).Word(colIndex).Byte(attribute1).Byte(attribute2).Byte(attribute3);
    if (valueType == 0) {
        const double rounded = RoundHalfEven(ToNumber(value));
        if (rounded < INT16_MIN || rounded > INT16_MAX) {
            Raise(kOverflow);
        }
        record.Word(static_cast<std::uint16_t>(static_cast<std::int16_t>(rounded)));
    } else if (valueType == 1) {
        record.Double(NumberCellValue(value));
    } else {
        const std::string text = ToText(value);
        CheckShortText(text);
        record.ShortText(text);
    }
    Write(record.Finish());
    return true;
}

void ExcelFile::WriteNumberRow(int cellFontUsed, int alignment, int hiddenLocked, long row,
                               long col, std::span<const double> values) {
    RequireOpen();
    const std::uint16_t rowIndex = ZeroBasedIndex(row);
    const std::uint8_t attribute1 = CheckedByte(hiddenLocked);
    const std::uint8_t attribute2 = CheckedByte(cellFontUsed);
    const std::uint8_t attribute3 = CheckedByte(alignment);
    // Every cell is the same nineteen bytes but for its column and value, laid down in place:
    // a row of an export is thousands of them.
    constexpr std::size_t kCellBytes = 19;
    std::uint8_t cell[kCellBytes] = {kNumberCellRecord & 0xFF,
                                     kNumberCellRecord >> 8,
                                     kCellBytes - 4,
                                     0,
                                     static_cast<std::uint8_t>(rowIndex & 0xFF),
                                     static_cast<std::uint8_t>(rowIndex >> 8),
                                     0,
                                     0,
                                     attribute1,
                                     attribute2,
                                     attribute3};
    // Every column the row takes is checked once: the first and the last.
    const std::uint16_t first = ZeroBasedIndex(col);
    if (!values.empty()) {
        ZeroBasedIndex(col + static_cast<long>(values.size()) - 1);
    }
    rowRecords_.resize(values.size() * kCellBytes);
    std::uint8_t* at = rowRecords_.data();
    for (std::size_t k = 0; k < values.size(); ++k, at += kCellBytes) {
        const double value = values[k];
        if (!std::isfinite(value)) {
            Raise(kOverflow);
        }
        // Laid down where it goes, the fixed part first: a cell put together beside it and
        // copied over would be read back before its last bytes had landed, a stall per cell.
        std::memcpy(at, cell, 11);
        const auto colIndex = static_cast<std::uint16_t>(first + k);
        at[6] = static_cast<std::uint8_t>(colIndex & 0xFF);
        at[7] = static_cast<std::uint8_t>(colIndex >> 8);
        const auto bits = std::bit_cast<std::uint64_t>(value);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(at + 11, &bits, sizeof bits);
        } else {
            for (int i = 0; i < 8; ++i) {
                at[11 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
            }
        }
    }
    Write(rowRecords_);
}

bool ExcelFile::SetFont(const std::string& fontName, int fontHeight, int fontFormat) {
    RequireOpen();
    const std::int16_t height = CheckedInteger(static_cast<long>(fontHeight) * 20);
    const std::uint8_t format = CheckedByte(fontFormat);
    CheckShortText(fontName);
    Record record(record_, kFontRecord);
    record.Word(static_cast<std::uint16_t>(height)).Byte(format).Byte(0).ShortText(fontName);
    Write(record.Finish());
    return true;
}

bool ExcelFile::SetMargin(int margin, double marginValue) {
    RequireOpen();
    if (margin < kLeftMargin || margin > kBottomMargin) {
        Raise(kInvalidCall);
    }
    if (!std::isfinite(marginValue)) {
        Raise(kOverflow);
    }
    if (marginValue < 0) {
        Raise(kInvalidCall);
    }
    Record record(record_, static_cast<std::uint16_t>(margin));
    Write(record.Double(marginValue).Finish());
    return true;
}

bool ExcelFile::SetColumnWidth(int firstColumn, int lastColumn, int widthValue) {
    RequireOpen();
    if (firstColumn < 1 || firstColumn > 256 || lastColumn < 1 || lastColumn > 256) {
        Raise(kOverflow);
    }
    if (firstColumn > lastColumn) {
        Raise(kInvalidCall);
    }
    // A negative width is no width; 128 characters are 32768/256, beyond the signed word.
    if (widthValue < 0) {
        Raise(kOverflow);
    }
    const std::int16_t width = CheckedInteger(static_cast<long>(widthValue) * 256);
    Record record(record_, kColumnWidthRecord);
    record.Byte(static_cast<std::uint8_t>(firstColumn - 1))
        .Byte(static_cast<std::uint8_t>(lastColumn - 1))
        .Word(static_cast<std::uint16_t>(width));
    Write(record.Finish());
    return true;
}

bool ExcelFile::SetHeader(const std::string& text) {
    RequireOpen();
    CheckShortText(text);
    Record record(record_, kHeaderRecord);
    Write(record.ShortText(text).Finish());
    return true;
}

bool ExcelFile::SetFooter(const std::string& text) {
    RequireOpen();
    CheckShortText(text);
    Record record(record_, kFooterRecord);
    Write(record.ShortText(text).Finish());
    return true;
}

void ExcelFile::PrintGridLines(bool on) {
    RequireOpen();
    Record record(record_, kGridLinesRecord);
    Write(record.Word(on ? 1 : 0).Finish());
}

void ExcelFile::ProtectSpreadsheet(bool on) {
    RequireOpen();
    Record record(record_, kProtectRecord);
    Write(record.Word(on ? 1 : 0).Finish());
}

void ExcelFile::RequireOpen() const {
    if (!IsOpen()) {
        Raise(kPathFileAccess);
    }
}

void ExcelFile::Write(const std::vector<std::uint8_t>& bytes) {
    const int error = TryWrite(file_, bytes);
    if (error != 0) {
        RaiseFileError(error);
    }
    writeback_.Wrote(file_, bytes.size());
}

}  // namespace velto
