#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "extract/export/layout.h"
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
        c.TimeCount = 3;
        c.SelectedTimes = {1, 3};
        c.SelectedTimeCount = 2;
        c.SelectedVectors = {1, 3, 5};
        c.SelectedVectorCount = 3;
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
    std::vector<std::string> Texts() const {
        std::vector<std::string> all;
        for (const auto& m : messages.messages) {
            all.push_back(m.text);
        }
        return all;
    }
    // Files in the scratch folder: a temporary file left behind would show here.
    std::vector<std::string> Folder() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    test::ScratchDir dir;
    Catalogue c;
    test::RecordingMessages messages;
    std::string target;
};

TEST_F(Layout, TimesInRows) {
    ASSERT_TRUE(Write(TimeLayout::InRows));
    BiffSheet sheet = test::ReadBiffSheet(target);
    EXPECT_TRUE(sheet.complete);
    EXPECT_EQ(sheet.font, "Arial");
    EXPECT_EQ(sheet.fontHeight, 200);
    std::vector<BiffCell> expected = {
        Text(1, 1, "Variable"), Text(1, 2, "Displacements"), Text(2, 1, "Vector"),
        Text(2, 2, "DOF1"),     Text(3, 1, "Time"),          Text(3, 2, "Node 1"),
        Text(3, 3, "Node 3"),   Text(3, 4, "Node 5"),        Number(4, 1, 60),
        Number(4, 2, 1.25),     Number(4, 3, 3.25),          Number(4, 4, 5.25),
        Number(5, 1, 180),      Number(5, 2, -10),           Number(5, 3, -30),
        Number(5, 4, -50)};
    EXPECT_EQ(sheet.cells, expected);
    EXPECT_TRUE(messages.messages.empty());
}

TEST_F(Layout, TimesInColumns) {
    ASSERT_TRUE(Write(TimeLayout::InColumns, "Truss Axial Force", ""));
    std::vector<BiffCell> expected = {Text(1, 1, "Variable"), Text(1, 2, "Truss Axial Force"),
                                      Text(2, 1, "Vector"),   Text(2, 2, ""),
                                      Text(3, 1, "Truss"),    Number(3, 2, 60),
                                      Number(3, 3, 180),      Text(4, 1, "Truss 1"),
                                      Number(4, 2, 1.25),     Number(4, 3, -10),
                                      Text(5, 1, "Truss 3"),  Number(5, 2, 3.25),
                                      Number(5, 3, -30),      Text(6, 1, "Truss 5"),
                                      Number(6, 2, 5.25),     Number(6, 3, -50)};
    EXPECT_EQ(test::ReadBiffSheet(target).cells, expected);
}

TEST_F(Layout, DescendingVectorsAndEigenValueLabels) {
    c.SelectedVectors = {9, 7};
    c.SelectedVectorCount = 2;
    ASSERT_TRUE(Write(TimeLayout::InRows, "Beam Stresses", "Beam    5 (Point  1)"));
    BiffSheet sheet = test::ReadBiffSheet(target);
    EXPECT_EQ(sheet.At(3, 2)->text, "Fiber 9");
    EXPECT_EQ(sheet.At(3, 3)->text, "Fiber 7");
    EXPECT_EQ(sheet.At(2, 2)->text, "Beam    5 (Point  1)");

    c.SelectedVectors = {1};
    c.SelectedVectorCount = 1;
    ASSERT_TRUE(Write(TimeLayout::InColumns, "Eigen Values", ""));
    sheet = test::ReadBiffSheet(target);
    EXPECT_EQ(sheet.At(3, 1)->text, "Value");
    EXPECT_EQ(sheet.At(4, 1)->text, "Value 1");
}

TEST_F(Layout, ItemWords) {
    EXPECT_EQ(ItemWord("Temperature"), "Node");
    EXPECT_EQ(ItemWord("Beam Bending Moment Mw"), "Beam");
    EXPECT_EQ(ItemWord("Bending Force Mxy"), "Shell");
    EXPECT_EQ(ItemWord("Membrane Force N2"), "Shell");
    EXPECT_EQ(ItemWord("Soil Pressure"), "Soil");
    EXPECT_EQ(ItemWord("Beam Tangent Modulus"), "Fiber");
    EXPECT_EQ(ItemWord("Bending Force Mz"), "");
}

TEST_F(Layout, WorksheetLimitsAreCheckedBeforeAnythingIsTouched) {
    test::WriteBytes(target, "the previous result");
    c.ExtractedValues = ValueTable(70000, 2);
    c.SelectedVectors.clear();
    for (Long v = 1; v <= 256; ++v) {
        c.SelectedVectors.push_back(v);
    }
    c.SelectedVectorCount = 256;
    EXPECT_FALSE(Write(TimeLayout::InRows));
    EXPECT_EQ(Texts(), std::vector<std::string>{
                           "The maximum number of columns in Excel is 256. Cannot create file."});
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Critical);
    EXPECT_EQ(test::ReadBytes(target), "the previous result");

    c.SelectedVectors.pop_back();
    c.SelectedVectorCount = 255;
    messages.messages.clear();
    EXPECT_TRUE(Write(TimeLayout::InRows));
    EXPECT_EQ(test::ReadBiffSheet(target).At(3, 256)->text, "Node 255");

    // In columns the vectors run down: 65533 rows of them fit below the headings, 65534 do not.
    c.SelectedVectors.clear();
    for (Long v = 1; v <= 65534; ++v) {
        c.SelectedVectors.push_back(v);
    }
    c.SelectedVectorCount = 65534;
    EXPECT_FALSE(Write(TimeLayout::InColumns));
    EXPECT_EQ(Texts().back(), "The maximum number of rows in Excel is 65536. Cannot create file.");
    c.SelectedVectors.pop_back();
    c.SelectedVectorCount = 65533;
    EXPECT_TRUE(Write(TimeLayout::InColumns));
    EXPECT_EQ(test::ReadBiffSheet(target).At(65536, 1)->text, "Node 65533");
}

TEST_F(Layout, TooManyTimesInColumns) {
    c.Times.assign(300, TimeStep{1, 1});
    c.SelectedTimes.assign(256, 1);
    c.SelectedTimeCount = 256;
    c.ExtractedValues = ValueTable(9, 256);
    EXPECT_FALSE(Write(TimeLayout::InColumns));
    EXPECT_EQ(Texts(), std::vector<std::string>{
                           "The maximum number of columns in Excel is 256. Cannot create file."});
    c.SelectedTimes.pop_back();
    c.SelectedTimeCount = 255;
    EXPECT_TRUE(Write(TimeLayout::InColumns));
}

// A save that fails half-way used to leave a partial file in place of the previous one.
TEST_F(Layout, FailedSaveLeavesThePreviousFileAndNoTemporary) {
    test::WriteBytes(target, "the previous result");
    ::chmod(target.c_str(), 0640);
    c.SelectedVectors = {1, 0};  // a vector the extraction has no value for
    c.SelectedVectorCount = 2;
    EXPECT_FALSE(Write(TimeLayout::InRows));
    EXPECT_EQ(Texts(), std::vector<std::string>{"Subscript out of range"});
    EXPECT_EQ(test::ReadBytes(target), "the previous result");
    EXPECT_EQ(Folder(), std::vector<std::string>{"result.xls"});

    // A good save replaces it and keeps its permissions.
    c.SelectedVectors = {2};
    c.SelectedVectorCount = 1;
    EXPECT_TRUE(Write(TimeLayout::InRows));
    EXPECT_TRUE(test::ReadBiffSheet(target).complete);
    struct stat info {};
    ::stat(target.c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(Folder(), std::vector<std::string>{"result.xls"});
}

TEST_F(Layout, UnwritableTargetsGiveTheirMessages) {
    std::filesystem::create_directory(target);
    EXPECT_FALSE(Write(TimeLayout::InRows));
    EXPECT_EQ(Texts(), std::vector<std::string>{"Path/File access error"});
    EXPECT_EQ(Folder(), std::vector<std::string>{"result.xls"});
    EXPECT_TRUE(std::filesystem::is_directory(target));

    messages.messages.clear();
    target = dir.File("no such folder/result.xls");
    EXPECT_FALSE(Write(TimeLayout::InRows));
    EXPECT_EQ(Texts(), std::vector<std::string>{"File not found"});
}

// Run as a user who may not write the file (root may write anything, so the check drops to
// "nobody" in a child process when the tests run as root).
TEST_F(Layout, FileWeMayNotWriteIsReportedLocked) {
    test::WriteBytes(target, "held by another program");
    ::chmod(target.c_str(), 0444);
    ::chmod(dir.path().c_str(), 0777);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(3);
        }
        test::RecordingMessages seen;
        bool written =
            WriteSpreadsheet(c, target, "Displacements", "DOF1", TimeLayout::InRows, seen);
        bool right = !written && seen.messages.size() == 1 &&
                     seen.messages[0].text ==
                         "The file is locked. Please close the file in Excel and try again." &&
                     seen.messages[0].icon == MessageIcon::Critical;
        ::_exit(right ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::ReadBytes(target), "held by another program");
    EXPECT_EQ(Folder(), std::vector<std::string>{"result.xls"});
}

}  // namespace
}  // namespace velto
