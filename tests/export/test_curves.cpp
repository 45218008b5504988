#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "extract/export/curves.h"
#include "extract/reader/variables.h"

namespace velto {
namespace {

// An extraction and the listing it read, drawn as a variable's curves.
struct Extraction {
    Catalogue c;
    ExportRequest request;
    ExtractionResult result;
    CurveSet Curves(const std::string& variable, std::string_view vector) {
        request.Variable = variable;
        return CurvesOfExtraction(c, request, result, vector);
    }
};

// Nodes 1..30 with value node * 10 + time record, chosen at records 3 and 1 (in that order), the
// vectors counted down from node 30.
Extraction Extracted(int vectors) {
    Extraction e;
    e.c.Times = {{60, 1}, {120, 2}, {180, 3}};
    e.request.Times = {3, 1};
    e.result.Values = ValueTable(30, 2);
    for (Long node = 1; node <= 30; ++node) {
        e.result.Values.At(node, 1) = static_cast<Single>(node * 10 + 3);
        e.result.Values.At(node, 2) = static_cast<Single>(node * 10 + 1);
    }
    for (int v = 0; v < vectors; ++v) {
        e.request.Items.push_back(30 - v);
    }
    return e;
}

TEST(Curves, OnePerVectorInTimeOrderAtMostTwenty) {
    CurveSet set = Extracted(2).Curves("Temperature", "");
    EXPECT_EQ(set.title, "Temperature");
    EXPECT_EQ(set.unit, "\260C");
    ASSERT_EQ(set.curves.size(), 2u);
    EXPECT_EQ(set.curves[0].name, "Node 30");
    // Sorted by time, each time keeping its own value.
    EXPECT_EQ(set.curves[0].points, (std::vector<CurvePoint>{{60, 301}, {180, 303}}));
    EXPECT_EQ(set.curves[1].points, (std::vector<CurvePoint>{{60, 291}, {180, 293}}));
    EXPECT_EQ(set.omitted, 0);

    set = Extracted(25).Curves("Displacements", "DOF2");
    EXPECT_EQ(set.title, "Displacements DOF2");
    EXPECT_EQ(set.unit, "");  // the listing does not say in what unit its lengths are
    // The third degree of freedom turns a plane model's node, and moves a spatial one's.
    Extraction plane = Extracted(1);
    plane.c.Ndim = 2;
    EXPECT_EQ(plane.Curves("Displacements", "DOF3").unit, "rad");
    Extraction spatial = Extracted(1);
    spatial.c.Ndim = 3;
    EXPECT_EQ(spatial.Curves("Displacements", "DOF3").unit, "");
    EXPECT_EQ(spatial.Curves("Displacements", "DOF5").unit, "rad");
    EXPECT_EQ(set.curves.size(), 20u);
    EXPECT_EQ(set.curves.back().name, "Node 11");
    EXPECT_EQ(set.omitted, 5);
    EXPECT_EQ(set.curvesAre, "nodes");  // the title counts what the curves stand for
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
