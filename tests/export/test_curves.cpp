#include <gtest/gtest.h>

#include "extract/export/curves.h"

namespace velto {
namespace {

// Nodes 1..30 with value node * 10 + time record, chosen at records 3 and 1 (in that order), the
// vectors counted down from node 30.
Catalogue Extracted(int vectors) {
    Catalogue c;
    c.Times = {{60, 1}, {120, 2}, {180, 3}};
    c.SelectedTimes = {3, 1};
    c.ExtractedValues = ValueTable(30, 2);
    for (Long node = 1; node <= 30; ++node) {
        c.ExtractedValues.At(node, 1) = static_cast<Single>(node * 10 + 3);
        c.ExtractedValues.At(node, 2) = static_cast<Single>(node * 10 + 1);
    }
    for (int v = 0; v < vectors; ++v) {
        c.SelectedVectors.push_back(30 - v);
    }
    return c;
}

TEST(Curves, OnePerVectorInTimeOrderAtMostTwenty) {
    CurveSet set = CurvesOfExtraction(Extracted(2), "Temperature", "");
    EXPECT_EQ(set.title, "Temperature");
    EXPECT_EQ(set.unit, "\260C");
    ASSERT_EQ(set.curves.size(), 2u);
    EXPECT_EQ(set.curves[0].name, "Node 30");
    // Sorted by time, each time keeping its own value.
    EXPECT_EQ(set.curves[0].points, (std::vector<CurvePoint>{{60, 301}, {180, 303}}));
    EXPECT_EQ(set.curves[1].points, (std::vector<CurvePoint>{{60, 291}, {180, 293}}));
    EXPECT_EQ(set.omitted, 0);

    set = CurvesOfExtraction(Extracted(25), "Displacements", "DOF2");
    EXPECT_EQ(set.title, "Displacements DOF2");
    EXPECT_EQ(set.unit, "m");
    EXPECT_EQ(CurvesOfExtraction(Extracted(1), "Displacements", "DOF5").unit, "");
    EXPECT_EQ(set.curves.size(), 20u);
    EXPECT_EQ(set.curves.back().name, "Node 11");
    EXPECT_EQ(set.omitted, 5);
}

}  // namespace
}  // namespace velto
