#include <gtest/gtest.h>

#include "tests/reader/readertest.h"

namespace velto {
namespace {

using test::Head;
using test::Lines;
using test::Opened;
using test::operator+;

class ListingHeader : public ::testing::Test {
  protected:
    // Writes the lines as a listing and opens it.
    void OpenLines(const std::vector<std::string>& lines) { OpenBytes(Lines(lines)); }
    void OpenBytes(const std::string& bytes) {
        std::string path = dir.File("listing.out");
        test::WriteBytes(path, bytes);
        o = Opened();
        test::Open(o, path);
    }
    std::vector<std::string> Only(const std::string& text) { return {text}; }

    test::ScratchDir dir;
    Opened o;
};

TEST_F(ListingHeader, FileWithoutBannerIsInputPastEnd) {
    OpenBytes("");
    EXPECT_EQ(o.texts(), Only("Read File Error 62: Input past end of file"));
    ASSERT_EQ(o.messages.messages.size(), 1u);
    EXPECT_EQ(o.messages.messages[0].icon, MessageIcon::Critical);
    EXPECT_EQ(o.messages.messages[0].caption, "VeltoExtract");
    EXPECT_EQ(o.catalogue.AnalysisKind, 0);

    OpenBytes(std::string("\x7f"
                          "ELF\x02\x01\x01\0\0\0binary",
                          16) +
              std::string(5000, '\0'));
    EXPECT_EQ(o.texts(), Only("Read File Error 62: Input past end of file"));
}

TEST_F(ListingHeader, MissingFileAndFolderAreReadErrors) {
    test::Open(o, dir.File("nowhere.out"));
    EXPECT_EQ(o.texts(), Only("Read File Error 53: File not found"));
    o.messages.messages.clear();
    test::Open(o, dir.path().string());
    EXPECT_EQ(o.texts(), Only("Read File Error 75: Path/File access error"));
}

TEST_F(ListingHeader, NoFileNamedSaysItCannotRead) {
    o = Opened();
    test::Open(o, "");
    ASSERT_EQ(o.texts(), Only("Cannot read but temperature files"));
    EXPECT_EQ(o.messages.messages[0].icon, MessageIcon::Information);
}

TEST_F(ListingHeader, VersionIsTheTrimmedSecondCommaPiece) {
    OpenLines({"  PROGRAM 'VELTO',    2.4.1   , UNIVERSITY", " NDIM 3", " TORSION ANALYSIS"});
    EXPECT_EQ(o.catalogue.Version, "2.4.1");
    EXPECT_EQ(o.catalogue.Ndim, 3);
    EXPECT_EQ(o.catalogue.AnalysisKind, kKindTorsion);
    // A torsion listing is recognised and then refused; it has no times.
    EXPECT_EQ(o.texts(), Only("Cannot read but temperature files"));
    EXPECT_TRUE(o.catalogue.Times.empty());
}

TEST_F(ListingHeader, BannerWithoutCommaIsSubscriptError) {
    OpenLines({"  PROGRAM 'VELTO' 2.4.1", " NDIM 2", " STATIC"});
    EXPECT_EQ(o.texts(), Only("Read File Error 9: Subscript out of range"));
    EXPECT_EQ(o.catalogue.Version, "");
}

TEST_F(ListingHeader, BadDimensionLinesKeepWhatWasSetBefore) {
    OpenLines({"  PROGRAM 'VELTO', 7, X", " NDIM two", " STATIC"});
    EXPECT_EQ(o.texts(), Only("Read File Error 13: Type mismatch"));
    EXPECT_EQ(o.catalogue.Version, "7");
    EXPECT_EQ(o.catalogue.AnalysisKind, 0);

    o.messages.messages.clear();
    OpenLines({"  PROGRAM 'VELTO', 7, X", " NDIM"});
    EXPECT_EQ(o.texts(), Only("Read File Error 9: Subscript out of range"));

    o.messages.messages.clear();
    OpenLines({"  PROGRAM 'VELTO', 7, X", " NDIM 2", " no kind line follows"});
    EXPECT_EQ(o.texts(), Only("Read File Error 62: Input past end of file"));
    EXPECT_EQ(o.catalogue.Ndim, 2);
}

TEST_F(ListingHeader, BannerLineMayCarryTheDimensionAndTheKind) {
    OpenLines({" NDIM 3 PROGRAM 'VELTO', 9.1, DYNAMIC", " NDIM 2", " STATIC"});
    EXPECT_EQ(o.catalogue.Ndim, 3);
    EXPECT_EQ(o.catalogue.AnalysisKind, kKindDynamic);
}

TEST_F(ListingHeader, KindLineNamingStaticAndTemperatureIsThermal) {
    OpenLines(Head("STATIC STRUCTURE, TEMPERATURE ANALYSIS") +
              std::vector<std::string>{" DESCRIPTION OF THE STRUCTURE.", " POSITION OF THE NODES"});
    EXPECT_EQ(o.catalogue.AnalysisKind, kKindThermal);
    EXPECT_TRUE(o.texts().empty());
}

TEST_F(ListingHeader, KeywordsAreCaseSensitive) {
    OpenLines({" PROGRAM 'VELTO', 1, X", " NDIM 2", " static analysis", " DYNAMIC ANALYSIS"});
    EXPECT_EQ(o.catalogue.AnalysisKind, kKindDynamic);
    OpenLines({" program 'velto', 1, X", " NDIM 2", " STATIC"});
    EXPECT_EQ(o.texts().back(), "Read File Error 62: Input past end of file");
}

}  // namespace
}  // namespace velto
