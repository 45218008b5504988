#include <gtest/gtest.h>

#include <algorithm>

#include "extract/export/summary.h"
#include "extract/export/variablecatalogue.h"
#include "extract/reader/variables.h"

namespace velto {
namespace {

std::vector<std::string> Names(const Catalogue& c) {
    std::vector<std::string> names;
    for (const OfferedVariable& v : OfferedVariables(c)) {
        names.push_back(v.Name);
    }
    return names;
}

const OfferedVariable& Find(const std::vector<OfferedVariable>& offered, const std::string& name) {
    auto it = std::find_if(offered.begin(), offered.end(),
                           [&](const OfferedVariable& v) { return v.Name == name; });
    if (it == offered.end()) {
        throw std::runtime_error("not offered: " + name);
    }
    return *it;
}

Catalogue Structural(Integer ndim) {
    Catalogue c;
    c.AnalysisKind = kKindStatic;
    c.Ndim = ndim;
    c.NodeCount = 50000;
    c.BeamCount = 8;
    c.BeamPointCount = 3;
    c.ShellCount = 5;
    c.AreaPointCount = 2;
    c.FiberCount = 40;
    c.SoilCount = 2;
    c.TrussCount = 6;
    c.HasDisplacements = c.HasBeamForces = c.HasTrussForces = c.HasSoilForces = true;
    c.HasMembraneForces = c.HasBendingForces = true;
    c.HasBeamStresses = true;
    c.StressTables = {"Beam    5 (Point  1)", "Beam    6 (Point  2)"};
    return c;
}

TEST(VariableCatalogue, ThermalListingOffersOnlyTemperature) {
    Catalogue c;
    c.AnalysisKind = kKindThermal;
    c.NodeCount = 40000;
    EXPECT_TRUE(OfferedVariables(c).empty());  // no times: nothing to export
    c.HasTemperatures = true;
    c.HasDisplacements = true;  // structural flags mean nothing for a thermal listing
    auto offered = OfferedVariables(c);
    ASSERT_EQ(offered.size(), 1u);
    EXPECT_EQ(offered[0].Name, "Temperature");
    EXPECT_TRUE(offered[0].Vectors.empty());
    EXPECT_EQ(offered[0].RangeCaption, "Nodes");
    EXPECT_EQ(offered[0].Limit, 40000);  // not narrowed to 16 bits
}

TEST(VariableCatalogue, TwoAndThreeDimensionalBeamsAndDisplacements) {
    std::vector<std::string> expected2d = {
        "Displacements",       "Eigen Values",      "Truss Axial Force", "Beam Axial Force",
        "Beam Bending Moment", "Beam Stresses",     "Membrane Force Nx", "Membrane Force Ny",
        "Membrane Force Nxy",  "Membrane Force N1", "Membrane Force N2", "Bending Force Mx",
        "Bending Force My",    "Bending Force Mxy", "Bending Force M1",  "Bending Force M2",
        "Soil Axial Force Nx", "Soil Pressure"};
    EXPECT_EQ(Names(Structural(2)), expected2d);

    auto offered3d = OfferedVariables(Structural(3));
    auto names3d = Names(Structural(3));
    EXPECT_EQ(std::count(names3d.begin(), names3d.end(), "Beam Bending Moment"), 0);
    for (const char* axis : {"My", "Mz", "Mw"}) {
        const OfferedVariable& moment = Find(offered3d, std::string("Beam Bending Moment ") + axis);
        EXPECT_EQ(moment.Vectors,
                  (std::vector<std::string>{std::string(axis) + "1", std::string(axis) + "2",
                                            std::string(axis) + "3"}));
        EXPECT_EQ(moment.RangeCaption, "Beams");
        EXPECT_EQ(moment.Limit, 8);
    }
    EXPECT_EQ(Find(OfferedVariables(Structural(2)), "Displacements").Vectors.size(), 3u);
    EXPECT_EQ(Find(offered3d, "Displacements").Vectors.back(), "DOF7");
    EXPECT_EQ(Find(offered3d, "Displacements").Limit, 50000);
    EXPECT_FALSE(Find(offered3d, "Eigen Values").Limit.has_value());
    EXPECT_EQ(Find(offered3d, "Beam Stresses").Vectors[1], "Beam    6 (Point  2)");
    EXPECT_EQ(Find(offered3d, "Beam Stresses").RangeCaption, "Fibers");
    EXPECT_EQ(Find(offered3d, "Membrane Force N2").Vectors,
              (std::vector<std::string>{"Surface 1", "Surface 2"}));
    EXPECT_EQ(Find(offered3d, "Soil Pressure").Limit, 2);
}

// Torsion and unopened listings offer nothing; beams without points offer no vectors.
TEST(VariableCatalogue, TorsionUnopenedAndPointlessOfferNothing) {
    Catalogue c = Structural(2);
    c.BeamPointCount = 0;
    EXPECT_TRUE(Find(OfferedVariables(c), "Beam Axial Force").Vectors.empty());
    for (Integer kind : {kKindTorsion, kKindNone}) {
        c.AnalysisKind = kind;
        EXPECT_TRUE(OfferedVariables(c).empty());
    }
}

// A count of zero is shown greyed and empty; an unknown kind and dimension are named so.
TEST(Summary, ZeroCountsAreGreyedAndKindsNamed) {
    Catalogue c;
    c.AnalysisKind = kKindDynamic;
    c.Ndim = 2;
    c.NodeCount = 120;
    auto lines = SummaryLines(c);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[3].Caption + lines[3].Value, "Nodes:120");
    EXPECT_TRUE(lines[3].Enabled);
    EXPECT_EQ(lines[9].Caption + lines[9].Value, "Fibers:");
    EXPECT_FALSE(lines[9].Enabled);
    c.AnalysisKind = kKindTorsion;
    c.Ndim = 0;
    lines = SummaryLines(c);
    EXPECT_EQ(lines[1].Value + " " + lines[2].Value, "Unknown 3D");
}

}  // namespace
}  // namespace velto
