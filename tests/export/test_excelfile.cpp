#include "extract/export/excelfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/error.h"

namespace velto {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const Bytes kBegin{0x09, 0x00, 0x04, 0x00, 0x02, 0x00, 0x0A, 0x00};
const Bytes kEnd{0x0A, 0x00, 0x00, 0x00};

template <typename Call>
int ErrorNumberOf(Call call) {
    try {
        call();
    } catch (const RuntimeError& error) {
        return error.number();
    }
    return 0;
}

Bytes DoubleBytes(double value) {
    Bytes bytes;
    for (int shift = 0; shift < 64; shift += 8) {
        bytes.push_back(static_cast<std::uint8_t>(std::bit_cast<std::uint64_t>(value) >> shift));
    }
    return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class ExcelFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "velto_xls_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = (dir_ / "out.xls").string();
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
    }

    static Bytes ReadAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    // The records written between the beginning- and end-of-file records, checking both.
    Bytes Body() const {
        const Bytes all = ReadAll(path_);
        EXPECT_GE(all.size(), 12u);
        if (all.size() < 12) {
            return {};
        }
        EXPECT_EQ(Bytes(all.begin(), all.begin() + 8), kBegin);
        EXPECT_EQ(Bytes(all.end() - 4, all.end()), kEnd);
        return Bytes(all.begin() + 8, all.end() - 4);
    }

    // Writes one record through write and gives its bytes.
    template <typename Write>
    Bytes RecordOf(Write write) {
        ExcelFile sheet;
        sheet.CreateFile(path_);
        write(sheet);
        sheet.CloseFile();
        return Body();
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(ExcelFileTest, EmptySheetIsBeginAndEndRecords) {
    ExcelFile sheet;
    EXPECT_EQ(sheet.FileNumber(), 0);
    EXPECT_TRUE(sheet.CreateFile(path_));
    EXPECT_GT(sheet.FileNumber(), 0);
    EXPECT_TRUE(sheet.CloseFile());
    EXPECT_EQ(sheet.FileNumber(), 0);
    EXPECT_EQ(ReadAll(path_), Join({kBegin, kEnd}));
}

TEST_F(ExcelFileTest, CellRecords) {
    EXPECT_EQ(RecordOf([](ExcelFile& s) { EXPECT_TRUE(s.WriteValue(2, 0, 1, 0, 1, 1, "Time")); }),
              (Bytes{0x04, 0, 0x0C, 0, 0, 0, 0, 0, 0, 0, 1, 4, 'T', 'i', 'm', 'e'}));
    EXPECT_EQ(RecordOf([](ExcelFile& s) { s.WriteValue(1, 0, 1, 0, 4, 2, 0.5); }),
              Join({{0x03, 0, 0x0F, 0, 3, 0, 1, 0, 0, 0, 1}, DoubleBytes(0.5)}));
    // Attribute bytes go hiddenLocked, cellFontUsed, alignment.
    EXPECT_EQ(RecordOf([](ExcelFile& s) { s.WriteValue(0, 2, 3, 1, 2, 3, -2); }),
              (Bytes{0x02, 0, 0x09, 0, 1, 0, 2, 0, 1, 2, 3, 0xFE, 0xFF}));
    EXPECT_EQ(RecordOf([](ExcelFile& s) { s.WriteValue(2, 0, 0, 0, 1, 1, ""); }),
              (Bytes{0x04, 0, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ExcelFileTest, RowsAndColumnsAreZeroBasedUnsigned) {
    EXPECT_EQ(RecordOf([](ExcelFile& s) {
                  s.WriteValue(0, 0, 0, 0, 65536, 65536, 1);
                  s.WriteValue(0, 0, 0, 0, 32768, 1, 1);
                  s.WriteValue(0, 0, 0, 0, 32769, 1, 1);
              }),
              (Bytes{2, 0, 9, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0,  //
                     2, 0, 9, 0, 0xFF, 0x7F, 0,    0,    0, 0, 0, 1, 0,  //
                     2, 0, 9, 0, 0x00, 0x80, 0,    0,    0, 0, 0, 1, 0}));
}

TEST_F(ExcelFileTest, OtherValueTypesWriteNothing) {
    EXPECT_TRUE(RecordOf([](ExcelFile& s) {
                    EXPECT_TRUE(s.WriteValue(3, 0, 0, 0, 1, 1, "x"));
                    EXPECT_TRUE(s.WriteValue(-1, 999, 0, 0, 0, 0, "x"));
                }).empty());
}

// A single's stray binary digits never reach the sheet, and small results keep their digits
// (six fixed decimals would turn a displacement of 1.2345E-05 m into 0.000012).
TEST_F(ExcelFileTest, NumberCellStoresTheSinglesShortestDecimal) {
    EXPECT_EQ(RecordOf([](ExcelFile& s) {
                  s.WriteValue(1, 0, 0, 0, 1, 1, 20.1f);
                  s.WriteValue(1, 0, 0, 0, 1, 1, 1.2345e-05f);
                  s.WriteValue(1, 0, 0, 0, 1, 1, 406.43f);
                  s.WriteValue(1, 0, 0, 0, 1, 1, 1e-7);
                  s.WriteValue(1, 0, 0, 0, 1, 1, " -3.25 ");
              }),
              Join({{3, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0},
                    DoubleBytes(20.1),
                    {3, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0},
                    DoubleBytes(1.2345e-05),
                    {3, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0},
                    DoubleBytes(406.43),
                    {3, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0},
                    DoubleBytes(1e-7),
                    {3, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0},
                    DoubleBytes(-3.25)}));
}

TEST_F(ExcelFileTest, IntegerCellRoundsHalvesToEven) {
    const Bytes body = RecordOf([](ExcelFile& s) {
        for (double v : {2.5, 3.5, -2.5, -32768.5}) {
            s.WriteValue(0, 0, 0, 0, 1, 1, v);
        }
        s.WriteValue(0, 0, 0, 0, 1, 1, "  7 ");
        EXPECT_EQ(ErrorNumberOf([&] { s.WriteValue(0, 0, 0, 0, 1, 1, 32767.5); }), kOverflow);
        EXPECT_EQ(ErrorNumberOf([&] { s.WriteValue(0, 0, 0, 0, 1, 1, "7 m"); }), kTypeMismatch);
        EXPECT_EQ(ErrorNumberOf([&] { s.WriteValue(1, 0, 0, 0, 1, 1, "nan"); }), kTypeMismatch);
    });
    ASSERT_EQ(body.size(), 5u * 13);
    const std::int16_t expected[] = {2, 4, -2, -32768, 7};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(static_cast<std::int16_t>(body[i * 13 + 11] | body[i * 13 + 12] << 8),
                  expected[i]);
    }
}

TEST_F(ExcelFileTest, NumbersAsTextAreShortest) {
    const Bytes body = RecordOf([](ExcelFile& s) {
        for (const CellValue& v : {CellValue(20.1f), CellValue(0.5), CellValue(100000.0f),
                                   CellValue(1e20), CellValue(5), CellValue(-0.0)}) {
            s.WriteValue(2, 0, 0, 0, 1, 1, v);
        }
    });
    std::vector<std::string> texts;
    for (std::size_t at = 0; at + 12 <= body.size(); at += 12 + body[at + 11]) {
        texts.emplace_back(body.begin() + at + 12, body.begin() + at + 12 + body[at + 11]);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"20.1", "0.5", "100000", "1e+20", "5", "0"}));
}

TEST_F(ExcelFileTest, RejectedCallWritesNothingAndKeepsEarlierRecords) {
    ExcelFile sheet;
    sheet.CreateFile(path_);
    sheet.PrintGridLines(true);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.WriteValue(2, 0, 0, 0, 1, 1, std::string(256, 'a')); }),
              kOverflow);
    for (long bad : {0L, 65537L}) {
        EXPECT_EQ(ErrorNumberOf([&] { sheet.WriteValue(0, 0, 0, 0, bad, 1, 1); }), kOverflow);
        EXPECT_EQ(ErrorNumberOf([&] { sheet.WriteValue(0, 0, 0, 0, 1, bad, 1); }), kOverflow);
    }
    EXPECT_EQ(ErrorNumberOf([&] { sheet.WriteValue(0, 256, 0, 0, 1, 1, 1); }), kOverflow);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.WriteValue(0, 0, 0, -1, 1, 1, 1); }), kOverflow);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.SetColumnWidth(0, 1, 1); }), kOverflow);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.SetColumnWidth(1, 257, 1); }), kOverflow);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.SetColumnWidth(3, 2, 1); }), kInvalidCall);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.SetColumnWidth(1, 1, 128); }), kOverflow);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.SetFont("Arial", 1639, 0); }), kOverflow);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.SetFont("Arial", 10, 256); }), kOverflow);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.SetHeader(std::string(256, 'h')); }), kOverflow);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.SetMargin(65536, 1.0); }), kOverflow);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.SetFilePassword(std::string(65536, 'p')); }), kOverflow);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.CreateFile(path_ + "2"); }), kPathFileAccess);
    EXPECT_TRUE(sheet.WriteValue(2, 0, 0, 0, 1, 1, std::string(255, 'a')));
    sheet.CloseFile();
    const Bytes body = Body();
    ASSERT_EQ(body.size(), 6u + 4 + 8 + 255);
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 6), (Bytes{0x2B, 0, 2, 0, 1, 0}));
    EXPECT_FALSE(fs::exists(path_ + "2"));
}

TEST_F(ExcelFileTest, SheetSettingRecords) {
    EXPECT_EQ(RecordOf([](ExcelFile& s) {
                  s.SetFont("Arial", 10, 1);
                  s.SetColumnWidth(1, 256, 127);
                  s.SetMargin(ExcelFile::kTopMargin, 0.75);
                  s.SetHeader("H");
                  s.SetFooter("");
                  s.SetFilePassword("pw");
                  s.PrintGridLines(false);
                  s.ProtectSpreadsheet(true);
              }),
              Join({{0x31, 0, 10, 0, 200, 0, 1, 0, 5, 'A', 'r', 'i', 'a', 'l'},
                    {0x24, 0, 4, 0, 0, 255, 0, 0x7F},
                    {0x28, 0, 8, 0},
                    DoubleBytes(0.75),
                    {0x14, 0, 2, 0, 1, 'H'},
                    {0x15, 0, 1, 0, 0},
                    {0x2F, 0, 2, 0, 'p', 'w'},
                    {0x2B, 0, 2, 0, 0, 0},
                    {0x12, 0, 2, 0, 1, 0}}));
}

TEST_F(ExcelFileTest, CreateFileReplacesOldFile) {
    std::ofstream(path_) << std::string(1000, 'x');
    // A second name for the old file shows it was deleted and not overwritten in place.
    fs::create_hard_link(path_, dir_ / "old.xls");
    ExcelFile sheet;
    sheet.CreateFile(path_);
    sheet.CloseFile();
    EXPECT_EQ(ReadAll(path_), Join({kBegin, kEnd}));
    EXPECT_EQ(ReadAll((dir_ / "old.xls").string()).size(), 1000u);
}

TEST_F(ExcelFileTest, CreateFileFailuresRaiseMappedErrors) {
    ExcelFile sheet;
    EXPECT_EQ(ErrorNumberOf([&] { sheet.CreateFile(dir_.string()); }), kPathFileAccess);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.CreateFile((dir_ / "no" / "x.xls").string()); }),
              kFileNotFound);
    EXPECT_FALSE(sheet.IsOpen());
    if (::geteuid() != 0) {  // root ignores permission bits
        std::ofstream(path_) << "old";
        fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(ErrorNumberOf([&] { sheet.CreateFile(path_); }), kPermissionDenied);
        EXPECT_EQ(ErrorNumberOf([&] { sheet.CreateFile(path_ + "new"); }), kPermissionDenied);
    }
}

TEST_F(ExcelFileTest, WritersNeedAnOpenFile) {
    ExcelFile sheet;
    EXPECT_EQ(ErrorNumberOf([&] { sheet.WriteValue(3, 0, 0, 0, 1, 1, 1); }), kPathFileAccess);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.PrintGridLines(true); }), kPathFileAccess);
    EXPECT_EQ(ErrorNumberOf([&] { sheet.CloseFile(); }), kPathFileAccess);
}

TEST_F(ExcelFileTest, DestructorFinishesAnInterruptedFile) {
    {
        ExcelFile sheet;
        sheet.CreateFile(path_);
        sheet.WriteValue(0, 0, 0, 0, 1, 1, 1);
    }
    EXPECT_EQ(Body(), (Bytes{2, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
}

TEST_F(ExcelFileTest, FullDiskIsRaised) {
    struct stat info {};
    if (::stat("/dev/full", &info) != 0 || !S_ISCHR(info.st_mode)) {
        GTEST_SKIP() << "no /dev/full";
    }
    ExcelFile sheet;
    sheet.CreateFile("/dev/full");
    EXPECT_EQ(ErrorNumberOf([&] { sheet.CloseFile(); }), kPathFileAccess);
    EXPECT_FALSE(sheet.IsOpen());

    sheet.CreateFile("/dev/full");
    int number = 0;
    for (int i = 0; i < 100000 && number == 0; ++i) {
        number = ErrorNumberOf([&] { sheet.WriteValue(2, 0, 0, 0, 1, 1, "filler"); });
    }
    EXPECT_EQ(number, kPathFileAccess);
}

}  // namespace
}  // namespace velto
