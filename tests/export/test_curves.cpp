#include <gtest/gtest.h>

#include "extract/export/curves.h"
#include "extract/reader/variables.h"

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
    EXPECT_EQ(set.unit, "");  // the listing does not say in what unit its lengths are
    // The third degree of freedom turns a plane model's node, and moves a spatial one's.
    Catalogue plane = Extracted(1);
    plane.Ndim = 2;
    EXPECT_EQ(CurvesOfExtraction(plane, "Displacements", "DOF3").unit, "rad");
    Catalogue spatial = Extracted(1);
    spatial.Ndim = 3;
    EXPECT_EQ(CurvesOfExtraction(spatial, "Displacements", "DOF3").unit, "");
    EXPECT_EQ(CurvesOfExtraction(spatial, "Displacements", "DOF5").unit, "rad");
    EXPECT_EQ(set.curves.size(), 20u);
    EXPECT_EQ(set.curves.back().name, "Node 11");
    EXPECT_EQ(set.omitted, 5);
}

// The one table of quantities: every variable says what it is, and a degree of freedom what it
// is in a listing of its dimension.
TEST(Quantities, EveryVariableAndDegreeOfFreedomSaysWhatItIs) {
    for (const VariableSpec& v : AllVariables()) {
        EXPECT_FALSE(v.Quantity.empty()) << v.Name;
    }
    EXPECT_EQ(QuantityOf("Temperature", "", 2), (QuantityUnit{"temperature",
                                                              "\xB0"
                                                              "C"}));
    EXPECT_EQ(QuantityOf("Beam Stresses", "Beam 1 (Point 2)", 3),
              (QuantityUnit{"stress", "N/mm\xB2"}));
    EXPECT_EQ(QuantityOf("Soil Pressure", "", 2), (QuantityUnit{"pressure", "kN/m\xB2"}));
    EXPECT_EQ(QuantityOf("Truss Axial Force", "", 2), (QuantityUnit{"axial force", ""}));

    const std::vector<std::string_view> plane = {"displacement", "displacement", "rotation"};
    const std::vector<std::string_view> space = {"displacement", "displacement", "displacement",
                                                 "rotation",     "rotation",     "rotation",
                                                 "warping"};
    for (const auto& [ndim, expected] : {std::pair{2, plane}, std::pair{3, space}}) {
        for (std::size_t k = 0; k < expected.size(); ++k) {
            const std::string dof = "DOF" + std::to_string(k + 1);
            const QuantityUnit q = QuantityOf("Displacements", dof, static_cast<Integer>(ndim));
            EXPECT_EQ(q.Quantity, expected[k]) << ndim << "D " << dof;
            EXPECT_EQ(q.Unit, expected[k] == "rotation" ? "rad" : "") << ndim << "D " << dof;
        }
    }
    EXPECT_EQ(QuantityOf("Displacements", "DOF4", 2), QuantityUnit{});
    EXPECT_EQ(QuantityOf("Displacements", "DOF8", 3), QuantityUnit{});
    EXPECT_EQ(QuantityOf("Pressure", "", 3), QuantityUnit{});
}

}  // namespace
}  // namespace velto
