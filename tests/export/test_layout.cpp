#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "extract/export/comparison.h"
#include "extract/export/layout.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

class Layout : public ::testing::Test {
  protected:
    // Nodes 1..9 at times 60, 120, 180, the first and last chosen. What the sheets hold is read
    // back against the listing by the real-reader checks (tests/readers).
    void SetUp() override {
        c.Times = {{60, 1}, {120, 2}, {180, 3}};
        request = {"Displacements", 0, {1, 3}, {1, 3, 5}};
        result.Values = ValueTable(9, 2);
        for (Long node = 1; node <= 9; ++node) {
            result.Values.At(node, 1) = static_cast<Single>(node) + 0.25f;
            result.Values.At(node, 2) = -static_cast<Single>(node) * 10;
        }
        target = dir.File("result.xls");
    }
    bool Write(TimeLayout layout, SheetFormat format) {
        return WriteSpreadsheet(c, request, result, target, "DOF1", layout, stop, messages, format);
    }
    std::vector<std::string> Texts() const { return test::Texts(messages); }
    // Files in the scratch folder: a temporary file left behind would show here.
    std::vector<std::string> Folder() const { return test::Entries(dir.path()); }

    test::ScratchDir dir;
    Catalogue c;
    ExportRequest request;
    ExtractionResult result;
    const std::atomic<bool> stop{false};
    test::RecordingMessages messages;
    std::string target;
};

// Past a format's limits the save is refused before the previous file is touched (each limit is
// checked in LimitsFollowTheFormat, and the writers take a sheet up to it).
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
        request.Items.assign(static_cast<std::size_t>(k.vectors), 1);
        request.Times.assign(static_cast<std::size_t>(k.times), 1);
        messages.messages.clear();
        EXPECT_FALSE(Write(k.layout, k.format));
        EXPECT_EQ(Texts(), std::vector<std::string>{k.message});
        EXPECT_EQ(messages.messages.at(0).icon, MessageIcon::Critical);
        EXPECT_EQ(test::ReadBytes(target), "the previous result");
    }
    EXPECT_EQ(Folder(), (std::vector<std::string>{"result.xls", "result.xlsx"}));
}

// Run as a user who may not write the file (root may write anything, so the check drops to
// "nobody" in a child process when the tests run as root).
TEST_F(Layout, FileWeMayNotWriteIsReportedLocked) {
    test::WriteBytes(target, "held by another program");
    ::chmod(target.c_str(), 0444);
    ::chmod(dir.path().c_str(), 0777);
    EXPECT_TRUE(test::AsAnotherUser([&] {
        test::RecordingMessages seen;
        return !WriteSpreadsheet(c, request, result, target, "DOF1", TimeLayout::InRows, stop,
                                 seen) &&
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
