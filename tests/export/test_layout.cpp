#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "extract/export/comparison.h"
#include "extract/export/layout.h"
#include "tests/export/xlsxcells.h"
#include "tests/support/biffcells.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

using test::BiffCell;
using test::BiffSheet;

BiffCell Text(int row, int col, std::string text) {
    return {row, col, true, std::move(text), 0};
}
BiffCell Number(int row, int col, double value) {
    return {row, col, false, "", value};
}

class Layout : public ::testing::Test {
  protected:
    // Nodes 1..9 with value node + time/1000 at times 60, 120, 180.
    void SetUp() override {
        c.Times = {{60, 1}, {120, 2}, {180, 3}};
        c.SelectedTimes = {1, 3};
        c.SelectedVectors = {1, 3, 5};
        c.ExtractedValues = ValueTable(9, 2);
        for (Long node = 1; node <= 9; ++node) {
            c.ExtractedValues.At(node, 1) = static_cast<Single>(node) + 0.25f;
            c.ExtractedValues.At(node, 2) = -static_cast<Single>(node) * 10;
        }
        target = dir.File("result.xls");
    }
    bool Write(TimeLayout layout, std::string variable = "Displacements",
               std::string vector = "DOF1") {
        return WriteSpreadsheet(c, target, variable, vector, layout, messages);
    }
    bool Write(TimeLayout layout, SheetFormat format) {
        return WriteSpreadsheet(c, target, "Displacements", "DOF1", layout, messages, format);
    }
    std::vector<std::string> Texts() const { return test::Texts(messages); }
    // Files in the scratch folder: a temporary file left behind would show here.
    std::vector<std::string> Folder() const { return test::Entries(dir.path()); }

    test::ScratchDir dir;
    Catalogue c;
    test::RecordingMessages messages;
    std::string target;
};

// Singles are stored as the double of their shortest text: 20.1, not the single widened.
TEST_F(Layout, TimesInRows) {
    c.Times[0].Time = 20.1f;
    ASSERT_TRUE(Write(TimeLayout::InRows));
    BiffSheet sheet = test::ReadBiffSheet(target);
    EXPECT_TRUE(sheet.complete);
    std::vector<BiffCell> expected = {
        Text(1, 1, "Variable"), Text(1, 2, "Displacements"), Text(2, 1, "Vector"),
        Text(2, 2, "DOF1"),     Text(3, 1, "Time"),          Text(3, 2, "Node 1"),
        Text(3, 3, "Node 3"),   Text(3, 4, "Node 5"),        Number(4, 1, 20.1),
        Number(4, 2, 1.25),     Number(4, 3, 3.25),          Number(4, 4, 5.25),
        Number(5, 1, 180),      Number(5, 2, -10),           Number(5, 3, -30),
        Number(5, 4, -50)};
    EXPECT_EQ(sheet.cells, expected);
    EXPECT_TRUE(messages.messages.empty());
}

// Past a format's limits the save is refused before the previous file is touched (each limit is
// checked in LimitsFollowTheFormat); the widest sheet that fits is written to its last column.
TEST_F(Layout, LimitsAreCheckedBeforeAnythingIsTouched) {
    const struct {
        SheetFormat format;
        TimeLayout layout;
        long vectors;
        int times;
        const char* message;
    } cases[] = {
        {SheetFormat::Xls, TimeLayout::InRows, 256, 1,
         "The maximum number of columns in Excel is 256. Cannot create file."},
        {SheetFormat::Xlsx, TimeLayout::InColumns, 1048574, 1,
         "The maximum number of rows in Excel is 1048576. Cannot create file."},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.message);
        target = dir.File("result." + std::string(FormatName(k.format)));
        test::WriteBytes(target, "the previous result");
        c.SelectedVectors.assign(static_cast<std::size_t>(k.vectors), 1);
        c.SelectedTimes.assign(static_cast<std::size_t>(k.times), 1);
        messages.messages.clear();
        EXPECT_FALSE(Write(k.layout, k.format));
        EXPECT_EQ(Texts(), std::vector<std::string>{k.message});
        EXPECT_EQ(messages.messages.at(0).icon, MessageIcon::Critical);
        EXPECT_EQ(test::ReadBytes(target), "the previous result");
    }
    EXPECT_EQ(Folder(), (std::vector<std::string>{"result.xls", "result.xlsx"}));

    c.SelectedTimes = {1, 3};
    c.ExtractedValues = ValueTable(16383, 2);
    c.SelectedVectors.clear();
    for (Long v = 1; v <= 255; ++v) {
        c.SelectedVectors.push_back(v);
    }
    target = dir.File("result.xls");
    ASSERT_TRUE(Write(TimeLayout::InRows));
    EXPECT_EQ(test::ReadBiffSheet(target).At(3, 256)->text, "Node 255");
    for (Long v = 256; v <= 16383; ++v) {
        c.SelectedVectors.push_back(v);
    }
    target = dir.File("result.xlsx");
    ASSERT_TRUE(Write(TimeLayout::InRows, SheetFormat::Xlsx));
    const test::XlsxSheet book = test::ReadXlsxSheet(target);
    EXPECT_EQ(book.dimension, "A1:XFD5");
    EXPECT_EQ(book.At(3, 16384)->text, "Node 16383");
    EXPECT_EQ(book.cells.size(), 4u + 3 * 16384);
}

// A save that fails half-way used to leave a partial file in place of the previous one. Every
// format is written beside the target and replaces it only when complete (keeping its mode is
// SaveFaults' to check).
TEST_F(Layout, FailedSaveLeavesThePreviousFileAndNoTemporary) {
    std::size_t files = 0;
    for (SheetFormat format : {SheetFormat::Xls, SheetFormat::Xlsx, SheetFormat::Csv}) {
        SCOPED_TRACE(FormatName(format));
        target = dir.File("result." + std::string(FormatName(format)));
        test::WriteBytes(target, "the previous result");
        c.SelectedVectors = {1, 0};  // a vector the extraction has no value for
        messages.messages.clear();
        EXPECT_FALSE(Write(TimeLayout::InRows, format));
        EXPECT_EQ(Texts(), std::vector<std::string>{"Subscript out of range"});
        EXPECT_EQ(test::ReadBytes(target), "the previous result");
        EXPECT_EQ(Folder().size(), ++files);

        c.SelectedVectors = {2};
        EXPECT_TRUE(Write(TimeLayout::InRows, format));
        EXPECT_NE(test::ReadBytes(target), "the previous result");
    }
    EXPECT_TRUE(test::ReadBiffSheet(dir.File("result.xls")).complete);
    EXPECT_EQ(Folder(), (std::vector<std::string>{"result.csv", "result.xls", "result.xlsx"}));
}

// Run as a user who may not write the file (root may write anything, so the check drops to
// "nobody" in a child process when the tests run as root).
TEST_F(Layout, FileWeMayNotWriteIsReportedLocked) {
    test::WriteBytes(target, "held by another program");
    ::chmod(target.c_str(), 0444);
    ::chmod(dir.path().c_str(), 0777);
    EXPECT_TRUE(test::AsAnotherUser([&] {
        test::RecordingMessages seen;
        return !WriteSpreadsheet(c, target, "Displacements", "DOF1", TimeLayout::InRows, seen) &&
               test::Texts(seen) ==
                   std::vector<std::string>{
                       "The file is locked. Please close the file in Excel and try again."} &&
               seen.messages[0].icon == MessageIcon::Critical;
    }));
    EXPECT_EQ(test::ReadBytes(target), "held by another program");
    EXPECT_EQ(Folder(), std::vector<std::string>{"result.xls"});
}

// The limits are each format's own, counted as for xls: one column for the labels, three rows
// for the headings.
TEST_F(Layout, LimitsFollowTheFormat) {
    auto problem = [&](SheetFormat format, TimeLayout layout, long vectors, int times) {
        return SheetLimitProblem(vectors, times, layout, format);
    };
    const std::string xlsxColumns =
        "The maximum number of columns in Excel is 16384. Cannot create file.";
    const std::string xlsxRows =
        "The maximum number of rows in Excel is 1048576. Cannot create file.";
    EXPECT_EQ(problem(SheetFormat::Xls, TimeLayout::InRows, 255, 1), "");
    EXPECT_EQ(problem(SheetFormat::Xls, TimeLayout::InRows, 256, 1),
              "The maximum number of columns in Excel is 256. Cannot create file.");
    EXPECT_EQ(problem(SheetFormat::Xls, TimeLayout::InColumns, 1, 255), "");
    EXPECT_EQ(problem(SheetFormat::Xls, TimeLayout::InColumns, 1, 256),
              "The maximum number of columns in Excel is 256. Cannot create file.");
    EXPECT_EQ(problem(SheetFormat::Xls, TimeLayout::InColumns, 65533, 1), "");
    EXPECT_EQ(problem(SheetFormat::Xls, TimeLayout::InColumns, 65534, 1),
              "The maximum number of rows in Excel is 65536. Cannot create file.");

    EXPECT_EQ(problem(SheetFormat::Xlsx, TimeLayout::InRows, 16383, 1), "");
    EXPECT_EQ(problem(SheetFormat::Xlsx, TimeLayout::InRows, 16384, 1), xlsxColumns);
    EXPECT_EQ(problem(SheetFormat::Xlsx, TimeLayout::InColumns, 1, 16383), "");
    EXPECT_EQ(problem(SheetFormat::Xlsx, TimeLayout::InColumns, 1, 16384), xlsxColumns);
    EXPECT_EQ(problem(SheetFormat::Xlsx, TimeLayout::InColumns, 1048573, 1), "");
    EXPECT_EQ(problem(SheetFormat::Xlsx, TimeLayout::InColumns, 1048574, 1), xlsxRows);
    EXPECT_EQ(problem(SheetFormat::Xlsx, TimeLayout::InRows, 16383, 32767), "");
    // Columns are looked at first, as for xls.
    EXPECT_EQ(problem(SheetFormat::Xlsx, TimeLayout::InColumns, 1048574, 16384), xlsxColumns);

    EXPECT_EQ(problem(SheetFormat::Csv, TimeLayout::InRows, 2000000, 32767), "");
    EXPECT_EQ(problem(SheetFormat::Csv, TimeLayout::InColumns, 2000000, 32767), "");
}

// A file made afresh gets the permissions the process's mask allows, whatever the format,
// not those of the private temporary file.
TEST_F(Layout, NewFilesGetTheUsualPermissions) {
    const mode_t previous = ::umask(027);
    for (SheetFormat format : {SheetFormat::Xls, SheetFormat::Xlsx, SheetFormat::Csv}) {
        target = dir.File(std::string("new.") + std::string(FormatName(format)));
        ASSERT_TRUE(Write(TimeLayout::InRows, format));
        struct stat info {};
        ::stat(target.c_str(), &info);
        EXPECT_EQ(info.st_mode & 0777, 0640u) << FormatName(format);
    }
    ::umask(previous);
}

}  // namespace
}  // namespace velto

namespace velto {
namespace {

// A study's listings are often runs of one name in folders of their own; each column must still
// say which run it holds.
TEST(Comparison, ListingsAreNamedApartAndTimesMerged) {
    EXPECT_EQ(
        ComparisonHeadings({"/runs/fire-a/beam1.out", "/runs/fire-b/beam1.out", "/runs/beam2.out",
                            "/other/fire-a/beam1.out", "/runs/beam3.OUT", "/runs/beam2.out"}),
        (std::vector<std::string>{"runs/fire-a/beam1", "fire-b/beam1", "runs/beam2 (1)",
                                  "other/fire-a/beam1", "beam3", "runs/beam2 (2)"}));
    // A run restarted at 120 s holds that time twice: two rows, in its order.
    const ComparisonTable table = CompareHistories(
        {{"a.out", {60, 120, 120, 180}, {1, 2, 3, 4}}, {"b.out", {90, 120}, {5, 6}}});
    EXPECT_EQ(table.times, (std::vector<float>{60, 90, 120, 120, 180}));
    using Column = std::vector<std::optional<float>>;
    EXPECT_EQ(table.values[0], (Column{1, std::nullopt, 2, 3, 4}));
    EXPECT_EQ(table.values[1], (Column{std::nullopt, 5, 6, std::nullopt, std::nullopt}));
}

// Each sheet of a workbook of every variable says which variable and vector it holds, in a name
// Excel takes: the beam and point of a table whole, the variable cut to make room.
TEST(Comparison, SheetNamesAreOnesExcelTakes) {
    EXPECT_EQ(WorkbookSheetName("Beam Tangent Modulus", "Beam    10 (Point  2)", {}),
              "Beam Tangent Modulus B10 P2");
    EXPECT_EQ(WorkbookSheetName("Beam Tangent Modulus", "Beam 12345 (Point 12)", {}),
              "Beam Tangent Modulus B12345 P12");
    EXPECT_EQ(WorkbookSheetName("Eigen Values", "", {}), "Eigen Values");
    EXPECT_EQ(WorkbookSheetName("A/B [x]", "y:z*?\\", {}), "A_B _x_ y_z___");
    const std::string cut = WorkbookSheetName("Membrane Force Nxy", "Surface 12345678", {});
    EXPECT_EQ(cut, "Membrane Force Surface 12345678");
    EXPECT_EQ(cut.size(), 31u);
    EXPECT_EQ(WorkbookSheetName("Membrane Force Nxy", "Surface 12345678", {cut}),
              "Membrane F Surface 12345678 (2)");
    EXPECT_EQ(WorkbookSheetName("eigen values", "", {"Eigen Values"}), "eigen values (2)");
}

}  // namespace
}  // namespace velto
