#include <gtest/gtest.h>

#include "extract/export/selection.h"
#include "extract/export/timeselection.h"

namespace velto {
namespace {

std::vector<Long> Vectors(const char* from, const char* to, const char* step) {
    return BuildVectorList("Displacements", from, to, step).vectors;
}

TEST(VectorList, CountsFromFromToToByStep) {
    EXPECT_EQ(Vectors("1", "10", "3"), (std::vector<Long>{1, 4, 7, 10}));
    EXPECT_EQ(Vectors("9", "1", "-2"), (std::vector<Long>{9, 7, 5, 3, 1}));
    EXPECT_EQ(Vectors("1", "10", "4"), (std::vector<Long>{1, 5, 9}));
    EXPECT_EQ(Vectors("5", "5", "1"), (std::vector<Long>{5}));
    EXPECT_EQ(Vectors("39999", "40001", "1"), (std::vector<Long>{39999, 40000, 40001}));
    EXPECT_EQ(BuildVectorList("Eigen Values", "", "x", "").vectors, (std::vector<Long>{1}));
}

TEST(VectorList, RequestsThatEndWithoutAFile) {
    EXPECT_TRUE(Vectors("1", "10", "0").empty());   // the division by the step fails
    EXPECT_TRUE(Vectors("10", "1", "1").empty());   // count 0 or less
    EXPECT_TRUE(Vectors("1", "10", "-1").empty());  // counting down from below
    EXPECT_TRUE(Vectors("1", "10", "x").empty());
    // 1.4 to 3.6 counts (2.2 rounded = 2) + 1 = 3, but 1..4 gives four numbers.
    EXPECT_TRUE(Vectors("1.4", "3.6", "1").empty());
    EXPECT_FALSE(BuildVectorList("Displacements", "1", "10", "0").problem.empty());
}

TEST(VectorList, FewerNumbersThanCountedLeaveZeros) {
    // 1.6 to 3.4: count (1.8 rounded = 2) + 1 = 3; counting 2..3 gives two.
    EXPECT_EQ(Vectors("1.6", "3.4", "1"), (std::vector<Long>{2, 3, 0}));
}

std::vector<OfferedVariable> Offered() {
    return {{"Displacements", {"DOF1"}, "Nodes", 50000, "Node"},
            {"Eigen Values", {}, "Nodes", std::nullopt, "Value"},
            {"Truss Axial Force", {}, "Trusses", 4, "Truss"}};
}

TEST(ValidateSelection, RangeMustLieInTheVariablesLimit) {
    auto offered = Offered();
    EXPECT_TRUE(ValidateSelection(offered, "Displacements", "1", "40000", "7", 1));
    EXPECT_TRUE(ValidateSelection(offered, "Displacements", "50000", "1", "-3.5", 2));
    EXPECT_FALSE(ValidateSelection(offered, "Displacements", "0", "10", "1", 1));
    EXPECT_FALSE(ValidateSelection(offered, "Displacements", "1", "50001", "1", 1));
    EXPECT_FALSE(ValidateSelection(offered, "Truss Axial Force", "1", "5", "1", 1));
    EXPECT_FALSE(ValidateSelection(offered, "Displacements", "1", "10", "x", 1));
    EXPECT_FALSE(ValidateSelection(offered, "Displacements", "", "10", "1", 1));
    EXPECT_FALSE(ValidateSelection(offered, "Displacements", "1", "10", "1", 0));
    EXPECT_FALSE(ValidateSelection(offered, "Temperature", "1", "1", "1", 1));
    // Step only has to be a number: zero and From above To pass here.
    EXPECT_TRUE(ValidateSelection(offered, "Truss Axial Force", "4", "1", "0", 1));
}

TEST(ValidateSelection, EigenValuesNeedNeitherRangeNorTimes) {
    EXPECT_TRUE(ValidateSelection(Offered(), "Eigen Values", "", "", "", 0));
    EXPECT_EQ(SelectionProblem(Offered(), "Displacements", "1", "10", "1", 0),
              "no time is selected");
}

// The chosen times stay in ascending order of value, each with its 1-based position in the
// listing (its own, for a text listed twice: two runs in one listing hold other values at the
// same time); one value under two texts is chosen once.
TEST(TimeList, ChosenTimesKeepAscendingOrderWithTheirPositions) {
    TimeSelection s;
    s.SetAvailable({"60", "120", "180", "240", "300"});
    s.AddIndices({4});
    s.AddIndices({0});
    s.AddIndices({2});
    EXPECT_EQ(s.selected(), (std::vector<std::string>{"60", "180", "300"}));
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"1", "3", "5"}));
    EXPECT_EQ(s.SelectedTimes(), (std::vector<Integer>{1, 3, 5}));

    EXPECT_FALSE(s.AddIndex(2));  // already chosen: nothing changes
    s.AddIndices({1, 3, 4, 1});
    EXPECT_EQ(s.selected(), (std::vector<std::string>{"60", "120", "180", "240", "300"}));
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"1", "2", "3", "4", "5"}));

    s.Remove({3, 0});  // non-adjacent, any order
    EXPECT_EQ(s.selected(), (std::vector<std::string>{"120", "180", "300"}));
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"2", "3", "5"}));

    s.SetAvailable({"60", "6E+01", "1E+02", "100", "0.5"});
    s.AddIndices({0, 1, 3, 2, 4});
    EXPECT_EQ(s.selected(), (std::vector<std::string>{"0.5", "60", "100"}));
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"5", "1", "4"}));

    s.SetAvailable({"10", "20", "20", "30"});
    s.AddIndices({2});
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"3"}));
}

// Select all copies the listing's order as it stands, not sorted.
TEST(TimeList, SelectAllCopiesTheWholeList) {
    TimeSelection s;
    s.SetAvailable({"30", "10", "20"});
    s.AddIndices({0});
    s.AddAll();
    EXPECT_EQ(s.selected(), (std::vector<std::string>{"30", "10", "20"}));
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"1", "2", "3"}));
    s.Clear();
    EXPECT_TRUE(s.selected().empty() && s.hidden().empty());

    // A text listed twice is chosen twice by select all; taking one of them away leaves the
    // other chosen, and the text cannot be chosen again until both are gone.
    s.SetAvailable({"20", "30", "20"});
    s.AddAll();
    s.Remove({0});
    EXPECT_FALSE(s.AddIndex(0));
    EXPECT_FALSE(s.AddIndex(2));
    s.Remove({1});
    EXPECT_TRUE(s.AddIndex(0));
    EXPECT_EQ(s.selected(), (std::vector<std::string>{"20", "30"}));
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"1", "2"}));
}

TEST(TimeList, TimeTextShowsUpToSevenDigits) {
    EXPECT_EQ(TimeText(60.0f), "60");
    EXPECT_EQ(TimeText(0.1f), "0.1");
    EXPECT_EQ(TimeText(1234567.0f), "1234567");
    EXPECT_EQ(TimeText(1e7f), "1E+07");
    EXPECT_EQ(TimeText(-0.00001f), "-1E-05");
    EXPECT_EQ(TimeText(1.25e-3f), "0.00125");
}

}  // namespace
}  // namespace velto
