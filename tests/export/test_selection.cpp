#include <gtest/gtest.h>

#include <cmath>

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

// A box whose text is no number is named, and the reason shows a German user that "1,0" is no
// number here.
TEST(ValidateSelection, ABoxThatIsNoNumberIsNamed) {
    const std::string why = " must be a whole number written in digits (12 or 12.0, not 12,0)";
    EXPECT_EQ(SelectionProblem(Offered(), "Displacements", "1,0", "10", "1", 1), "From" + why);
    EXPECT_EQ(SelectionProblem(Offered(), "Displacements", "1", "1,0", "x", 1), "To" + why);
    EXPECT_EQ(SelectionProblem(Offered(), "Displacements", "1", "10", "", 1), "Step" + why);
    EXPECT_EQ(BuildVectorList("Displacements", "1", "10", "2,5").problem, "Step" + why);
}

TEST(ValidateSelection, EigenValuesNeedNeitherRangeNorTimes) {
    EXPECT_TRUE(ValidateSelection(Offered(), "Eigen Values", "", "", "", 0));
    EXPECT_EQ(SelectionProblem(Offered(), "Displacements", "1", "10", "1", 0),
              "no time is selected");
}

// A listing's time records, as its scan finds them.
std::vector<TimeStep> Records(std::initializer_list<Single> times) {
    std::vector<TimeStep> records;
    for (const Single time : times) {
        records.push_back({time, static_cast<FilePosition>(records.size() + 1) * 100, time});
    }
    return records;
}

TimeSelection Offering(std::initializer_list<Single> times) {
    TimeSelection s;
    s.SetAvailable(ResultTimes(Records(times)));
    return s;
}

// The chosen times stay in ascending order of value with their 1-based positions, whatever the
// order they are chosen in; each is chosen once.
TEST(TimeList, ChosenTimesKeepAscendingOrderWithTheirPositions) {
    TimeSelection s = Offering({60, 120, 180, 240, 300});
    s.AddIndices({4});
    s.AddIndices({0});
    s.AddIndices({2});
    EXPECT_EQ(s.selected(), (std::vector<std::string>{"60", "180", "300"}));
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"1", "3", "5"}));
    EXPECT_EQ(s.SelectedTimes(), (std::vector<Integer>{1, 3, 5}));

    EXPECT_FALSE(s.AddIndex(2));  // already chosen: nothing changes
    EXPECT_FALSE(s.AddIndex(5));
    s.AddIndices({1, 3, 4, 1, -1});
    EXPECT_EQ(s.selected(), (std::vector<std::string>{"60", "120", "180", "240", "300"}));
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"1", "2", "3", "4", "5"}));

    s.Remove({3, 0});  // non-adjacent, any order
    EXPECT_EQ(s.selected(), (std::vector<std::string>{"120", "180", "300"}));
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"2", "3", "5"}));
    EXPECT_TRUE(s.AddIndex(0));  // a time taken away can be chosen again
    EXPECT_EQ(s.SelectedTimes(), (std::vector<Integer>{1, 2, 3, 5}));
}

// Fractional times are placed by value, not by their text: 1.5 lies between 1 and 2, and 10
// after 9.5, whatever the order they are chosen in.
TEST(TimeList, FractionalTimesArePlacedByValue) {
    TimeSelection s = Offering({0.5f, 1, 1.5f, 2, 2.5f, 9.5f, 10, 100});
    s.AddIndices({4, 3, 2, 1, 0, 7, 6, 5});
    EXPECT_EQ(s.selected(),
              (std::vector<std::string>{"0.5", "1", "1.5", "2", "2.5", "9.5", "10", "100"}));
    EXPECT_EQ(s.SelectedTimes(), (std::vector<Integer>{1, 2, 3, 4, 5, 6, 7, 8}));

    // Two singles that seven digits print alike are two times, each shown as it is stored.
    TimeSelection close = Offering({1800.1f, 1234567.0f, 1234567.125f});
    close.AddAll();
    EXPECT_EQ(close.selected(), (std::vector<std::string>{"1800.1", "1234567", "1234567.1"}));
    close.Clear();
    close.AddIndices({2, 0, 1});
    EXPECT_EQ(close.SelectedTimes(), (std::vector<Integer>{1, 2, 3}));
}

// Select all chooses the whole available list, which is in ascending order however the listing
// gives its times (one that went back to an earlier time it had not printed).
TEST(TimeList, SelectAllChoosesTheWholeList) {
    TimeSelection s = Offering({30, 10, 20});
    EXPECT_EQ(s.available(), (std::vector<std::string>{"10", "20", "30"}));
    s.AddIndices({0});
    s.AddAll();
    EXPECT_EQ(s.selected(), (std::vector<std::string>{"10", "20", "30"}));
    EXPECT_EQ(s.hidden(), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(s.SelectedTimes(), (std::vector<Integer>{2, 3, 1}));
    EXPECT_FALSE(s.AddIndex(1));
    s.Remove({1});
    EXPECT_TRUE(s.AddIndex(1));
    s.Clear();
    EXPECT_TRUE(s.selected().empty() && s.hidden().empty() && s.SelectedTimes().empty());
}

// A time the listing gives twice (an analysis restarted from it) is one time, standing for the
// record written last, with that record's own value; every way of choosing it agrees.
TEST(TimeList, ARepeatedTimeIsOneTimeReadFromItsLastRecord) {
    const std::vector<TimeStep> records = Records({60, 120, 180, 60, 120, -0.0f, 0});
    const std::vector<ResultTime> times = ResultTimes(records);
    EXPECT_EQ(times, (std::vector<ResultTime>{{0, 7}, {60, 4}, {120, 5}, {180, 3}}));
    EXPECT_FALSE(std::signbit(times.front().time));  // as the record written last gives it
    EXPECT_EQ(RepeatedTimes(records), (std::vector<Single>{60, 120, 0}));

    TimeSelection s;
    s.SetAvailable(times);
    EXPECT_EQ(s.available(), (std::vector<std::string>{"0", "60", "120", "180"}));
    s.AddAll();
    EXPECT_EQ(s.SelectedTimes(), (std::vector<Integer>{7, 4, 5, 3}));
    s.Clear();
    s.AddIndices({3, 2, 1, 0});
    EXPECT_EQ(s.SelectedTimes(), (std::vector<Integer>{7, 4, 5, 3}));

    EXPECT_EQ(RepeatedTimesNote(Records({60, 120})), "");
    EXPECT_EQ(RepeatedTimesNote(Records({60, 120, 60})),
              "The listing gives the time 60 s more than once: the result written last for it "
              "is used, as an analysis restarted from an earlier time writes it again.");
    EXPECT_EQ(RepeatedTimesNote(Records({0.5f, 1, 0.5f, 1, 1.5f, 1.5f})),
              "The listing gives the times 0.5, 1 and 1.5 s more than once: the result written "
              "last for each is used, as an analysis restarted from an earlier time writes them "
              "again.");
    EXPECT_EQ(RepeatedTimesNote(Records({1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6})),
              "The listing gives 6 times more than once (1, 2, 3, 4, 5 s, ...): the result "
              "written last for each is used, as an analysis restarted from an earlier time "
              "writes them again.");
    // Times printed apart that one single holds are no restart, and are not said to be one.
    std::vector<TimeStep> crowded = Records({20000.001f, 20000.002f, 20000.003f, 60, 60});
    crowded[0].Written = 20000.001;
    crowded[1].Written = 20000.002;
    crowded[2].Written = 20000.003;
    EXPECT_EQ(RepeatedTimesNote(crowded),
              "The listing gives the time 60 s more than once: the result written last for it "
              "is used, as an analysis restarted from an earlier time writes it again. The "
              "listing gives times closer together than the results' precision (single) tells "
              "apart: 20000.001 and 20000.002 s are both 20000.002 s; the result written last "
              "for each is used.");
}

// A time is shown as the sheets store it: the shortest decimal that reads back to the single.
TEST(TimeList, TimeTextIsTheStoredDecimal) {
    EXPECT_EQ(TimeText(60.0f), "60");
    EXPECT_EQ(TimeText(0.1f), "0.1");
    EXPECT_EQ(TimeText(1800.1f), "1800.1");
    EXPECT_EQ(TimeText(1234567.0f), "1234567");
    EXPECT_EQ(TimeText(1e7f), "1e+07");
    EXPECT_EQ(TimeText(-0.00001f), "-1e-05");
    EXPECT_EQ(TimeText(1.25e-3f), "0.00125");
}

// One range of a --times text names at most a million records: a hostile text of many huge
// ranges is refused before anything of its size is held. The edge, wherever the range starts.
TEST(TimesText, ARangeOfMoreThanAMillionRecordsIsRefused) {
    std::vector<int> indices;
    ASSERT_TRUE(ParseTimes("1-1000000", 6, indices));
    EXPECT_EQ(indices, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(ParseTimes("4,3-1000002", 6, indices));
    EXPECT_FALSE(ParseTimes("1-1000001", 6, indices));
    EXPECT_FALSE(ParseTimes("2,3-1000003", 6, indices));
}

}  // namespace
}  // namespace velto
