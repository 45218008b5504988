#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/reader/readertest.h"

namespace velto {
namespace {

using test::Head;
using test::Lines;
using test::operator+;
using LineList = std::vector<std::string>;

class ListingHeader : public test::ListingTest {};

// What the head of a listing gives: its one message (none: nullptr) and what was set before the
// reading stopped (-1 or nullptr: not looked at). Keywords are case-sensitive.
TEST_F(ListingHeader, HeadLinesAndTheirErrors) {
    const std::string pastEnd = "Read File Error 62: Input past end of file";
    const std::string binary = std::string(
                                   "\x7f"
                                   "ELF\x02\x01\x01\0\0\0binary",
                                   16) +
                               std::string(5000, '\0');
    const struct {
        std::string bytes;
        const char* message;
        Integer kind;
        Integer ndim;
        const char* version;
    } cases[] = {
        {"", pastEnd.c_str(), 0, -1, nullptr},
        {binary, pastEnd.c_str(), 0, -1, nullptr},
        {Lines({" program 'velto', 1, X", " NDIM 2", " STATIC"}), pastEnd.c_str(), -1, -1, nullptr},
        {Lines({"  PROGRAM 'VELTO' 2.4.1", " NDIM 2", " STATIC"}),
         "Read File Error 9: Subscript out of range", -1, -1, ""},
        {Lines({"  PROGRAM 'VELTO', 7, X", " NDIM two", " STATIC"}),
         "Read File Error 13: Type mismatch", 0, -1, "7"},
        {Lines({"  PROGRAM 'VELTO', 7, X", " NDIM"}), "Read File Error 9: Subscript out of range",
         -1, -1, nullptr},
        {Lines({"  PROGRAM 'VELTO', 7, X", " NDIM 2", " no kind line follows"}), pastEnd.c_str(),
         -1, 2, nullptr},
        // The version is the trimmed second comma piece; a torsion listing is recognised, then
        // refused.
        {Lines({"  PROGRAM 'VELTO',    2.4.1   , UNIVERSITY", " NDIM 3", " TORSION ANALYSIS"}),
         "Cannot read but temperature files", kKindTorsion, 3, "2.4.1"},
        {Lines({" NDIM 3 PROGRAM 'VELTO', 9.1, DYNAMIC", " NDIM 2", " STATIC"}), nullptr,
         kKindDynamic, 3, nullptr},
        {Lines({" PROGRAM 'VELTO', 1, X", " NDIM 2", " static analysis", " DYNAMIC ANALYSIS"}),
         nullptr, kKindDynamic, -1, nullptr},
        {Lines(Head("STATIC STRUCTURE, TEMPERATURE ANALYSIS") +
               LineList{" DESCRIPTION OF THE STRUCTURE.", " POSITION OF THE NODES"}),
         "", kKindThermal, -1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 60));
        OpenBytes(c.bytes);
        if (c.message != nullptr) {
            EXPECT_EQ(test::Texts(o.messages), *c.message ? LineList{c.message} : LineList{});
        }
        if (c.kind >= 0) {
            EXPECT_EQ(o.catalogue.AnalysisKind, c.kind);
        }
        if (c.ndim >= 0) {
            EXPECT_EQ(o.catalogue.Ndim, c.ndim);
        }
        if (c.version != nullptr) {
            EXPECT_EQ(o.catalogue.Version, c.version);
        }
        if (c.kind == kKindTorsion) {
            EXPECT_TRUE(o.catalogue.Times.empty());
        }
    }
    OpenBytes("");
    ASSERT_EQ(o.messages.messages.size(), 1u);
    EXPECT_EQ(o.messages.messages[0].icon, MessageIcon::Critical);
    EXPECT_EQ(o.messages.messages[0].caption, "VeltoExtract");
}

// What the listing's opening raised, in the reader's words; a file we may not read is one only
// a user other than root can meet.
TEST_F(ListingHeader, MissingFileFolderAndNoNameAreRefused) {
    test::Open(o, dir.File("nowhere.out"));
    test::Open(o, dir.path().string());
    test::Open(o, "");
    ASSERT_EQ(::mkfifo(dir.File("pipe.out").c_str(), 0600), 0);
    test::Open(o, dir.File("pipe.out"));  // refused, never waited on for a writer
    EXPECT_EQ(test::Texts(o.messages),
              (LineList{"Read File Error 53: File not found (" + dir.File("nowhere.out") + ")",
                        "Read File Error 75: Path/File access error (" + dir.path().string() +
                            " is a folder)",
                        "Read File Error 53: File not found (no listing given)",
                        "Read File Error 75: Path/File access error (" + dir.File("pipe.out") +
                            " is a pipe, a socket or a device, not a file)"}));
    EXPECT_EQ(o.messages.messages[2].icon, MessageIcon::Critical);
    if (::geteuid() != 0) {
        test::WriteBytes(dir.File("locked.out"), "x\n");
        std::filesystem::permissions(dir.File("locked.out"), std::filesystem::perms::none);
        test::Open(o, dir.File("locked.out"));
        EXPECT_EQ(test::Texts(o.messages).back(),
                  "Read File Error 70: Permission denied (" + dir.File("locked.out") + ")");
    }
}

}  // namespace
}  // namespace velto
