#include "extract/reader/variables.h"

#include <algorithm>

namespace velto {

namespace {

using enum Analysis;
using enum Dimension;
using enum ValueLayout;

constexpr auto kNoLabels = nullptr;
constexpr auto kStresses = &Catalogue::StressTables;
constexpr auto kTangents = &Catalogue::TangentTables;

// clang-format off
constexpr VariableSpec kVariables[] = {
    // Name
    //   offered by:   analysis, table flag, dimension
    //   read from:    heading, spatial heading, lead, stride, word, layout
    //   vectors:      naming, prefix, labels
    //   items:        count, range caption, item word
    //   values:       quantity, unit
    {"Temperature",
        Thermal, &Catalogue::HasTemperatures, Any,
        kTemperatureHeading, {}, 1, Count::One, 0, NodeColumns,
        Vectors::None, {}, kNoLabels,
        Count::Nodes, "Nodes", "Node",
        "temperature", "\xB0" "C"},
    {"Displacements",
        Structural, &Catalogue::HasDisplacements, Any,
        kDisplacementHeading, {}, 1, Count::One, 1, Word,
        Vectors::Dofs, {}, kNoLabels,
        Count::Nodes, "Nodes", "Node",
        "displacement", ""},
    // One value per time, on the heading line itself.
    {"Eigen Values",
        Structural, &Catalogue::HasDisplacements, Any,
        kEigenHeading, {}, 0, Count::Zero, 7, Word,
        Vectors::None, {}, kNoLabels,
        Count::Zero, "Nodes", "Value",
        "relative eigen value", ""},
    {"Truss Axial Force",
        Structural, &Catalogue::HasTrussForces, Any,
        kTrussHeading, {}, 1, Count::One, 1, Word,
        Vectors::None, {}, kNoLabels,
        Count::Trusses, "Trusses", "Truss",
        "axial force", ""},
    {"Beam Axial Force",
        Structural, &Catalogue::HasBeamForces, Any,
        kBeamPlaneHeading, kBeamSpaceHeading, 1, Count::BeamPoints, 2, Word,
        Vectors::BeamPoints, "N", kNoLabels,
        Count::Beams, "Beams", "Beam",
        "axial force", ""},
    {"Beam Bending Moment",
        Structural, &Catalogue::HasBeamForces, Plane,
        kBeamPlaneHeading, {}, 1, Count::BeamPoints, 3, Word,
        Vectors::BeamPoints, "M", kNoLabels,
        Count::Beams, "Beams", "Beam",
        "bending moment", ""},
    {"Beam Bending Moment My",
        Structural, &Catalogue::HasBeamForces, Space,
        kBeamSpaceHeading, {}, 1, Count::BeamPoints, 3, Word,
        Vectors::BeamPoints, "My", kNoLabels,
        Count::Beams, "Beams", "Beam",
        "bending moment", ""},
    {"Beam Bending Moment Mz",
        Structural, &Catalogue::HasBeamForces, Space,
        kBeamSpaceHeading, {}, 1, Count::BeamPoints, 4, Word,
        Vectors::BeamPoints, "Mz", kNoLabels,
        Count::Beams, "Beams", "Beam",
        "bending moment", ""},
    {"Beam Bending Moment Mw",
        Structural, &Catalogue::HasBeamForces, Space,
        kBeamSpaceHeading, {}, 1, Count::BeamPoints, 5, Word,
        Vectors::BeamPoints, "Mw", kNoLabels,
        Count::Beams, "Beams", "Beam",
        "bimoment", ""},
    // A block holds one such table per beam element and point: the label picks it.
    {"Beam Stresses",
        Structural, &Catalogue::HasBeamStresses, Any,
        kStressHeading, {}, 4, Count::One, 0, FibrePairs,
        Vectors::TableLabels, {}, kStresses,
        Count::Fibers, "Fibers", "Fiber",
        "stress", "N/mm\xB2"},
    {"Beam Tangent Modulus",
        Structural, &Catalogue::HasTangentModulus, Any,
        kTangentHeading, {}, 4, Count::One, 0, FibrePairs,
        Vectors::TableLabels, {}, kTangents,
        Count::Fibers, "Fibers", "Fiber",
        "tangent modulus", "N/mm\xB2"},
    {"Membrane Force Nx",
        Structural, &Catalogue::HasMembraneForces, Any,
        kMembraneHeading, {}, 3, Count::AreaPoints, 5, Word,
        Vectors::AreaPoints, "Surface ", kNoLabels,
        Count::Shells, "Shells", "Shell",
        "membrane force", "kN/m"},
    {"Membrane Force Ny",
        Structural, &Catalogue::HasMembraneForces, Any,
        kMembraneHeading, {}, 3, Count::AreaPoints, 7, Word,
        Vectors::AreaPoints, "Surface ", kNoLabels,
        Count::Shells, "Shells", "Shell",
        "membrane force", "kN/m"},
    {"Membrane Force Nxy",
        Structural, &Catalogue::HasMembraneForces, Any,
        kMembraneHeading, {}, 3, Count::AreaPoints, 9, Word,
        Vectors::AreaPoints, "Surface ", kNoLabels,
        Count::Shells, "Shells", "Shell",
        "membrane shear force", "kN/m"},
    {"Membrane Force N1",
        Structural, &Catalogue::HasMembraneForces, Any,
        kMembraneHeading, {}, 3, Count::AreaPoints, 11, Word,
        Vectors::AreaPoints, "Surface ", kNoLabels,
        Count::Shells, "Shells", "Shell",
        "principal membrane force", "kN/m"},
    {"Membrane Force N2",
        Structural, &Catalogue::HasMembraneForces, Any,
        kMembraneHeading, {}, 3, Count::AreaPoints, 13, Word,
        Vectors::AreaPoints, "Surface ", kNoLabels,
        Count::Shells, "Shells", "Shell",
        "principal membrane force", "kN/m"},
    {"Bending Force Mx",
        Structural, &Catalogue::HasBendingForces, Any,
        kBendingHeading, {}, 3, Count::AreaPoints, 5, Word,
        Vectors::AreaPoints, "Surface ", kNoLabels,
        Count::Shells, "Shells", "Shell",
        "bending moment per length", "kNm/m"},
    {"Bending Force My",
        Structural, &Catalogue::HasBendingForces, Any,
        kBendingHeading, {}, 3, Count::AreaPoints, 7, Word,
        Vectors::AreaPoints, "Surface ", kNoLabels,
        Count::Shells, "Shells", "Shell",
        "bending moment per length", "kNm/m"},
    {"Bending Force Mxy",
        Structural, &Catalogue::HasBendingForces, Any,
        kBendingHeading, {}, 3, Count::AreaPoints, 9, Word,
        Vectors::AreaPoints, "Surface ", kNoLabels,
        Count::Shells, "Shells", "Shell",
        "twisting moment per length", "kNm/m"},
    {"Bending Force M1",
        Structural, &Catalogue::HasBendingForces, Any,
        kBendingHeading, {}, 3, Count::AreaPoints, 11, Word,
        Vectors::AreaPoints, "Surface ", kNoLabels,
        Count::Shells, "Shells", "Shell",
        "principal bending moment per length", "kNm/m"},
    {"Bending Force M2",
        Structural, &Catalogue::HasBendingForces, Any,
        kBendingHeading, {}, 3, Count::AreaPoints, 13, Word,
        Vectors::AreaPoints, "Surface ", kNoLabels,
        Count::Shells, "Shells", "Shell",
        "principal bending moment per length", "kNm/m"},
    {"Soil Axial Force Nx",
        Structural, &Catalogue::HasSoilForces, Any,
        kSoilHeading, {}, 1, Count::One, 1, Word,
        Vectors::None, {}, kNoLabels,
        Count::Soils, "Soils", "Soil",
        "axial force", "kN"},
    {"Soil Pressure",
        Structural, &Catalogue::HasSoilForces, Any,
        kSoilHeading, {}, 1, Count::One, 2, Word,
        Vectors::None, {}, kNoLabels,
        Count::Soils, "Soils", "Soil",
        "pressure", "kN/m\xB2"},
};
// clang-format on

std::vector<std::string> Numbered(std::string_view prefix, Long count) {
    std::vector<std::string> names;
    for (Long i = 1; i <= count; ++i) {
        names.push_back(std::string(prefix) + std::to_string(i));
    }
    return names;
}

}  // namespace

Long CountIn(const Catalogue& c, Count count) {
    switch (count) {
        case Count::Zero:
            return 0;
        case Count::One:
            return 1;
        case Count::Nodes:
            return c.NodeCount;
        case Count::Trusses:
            return c.TrussCount;
        case Count::Beams:
            return c.BeamCount;
        case Count::Shells:
            return c.ShellCount;
        case Count::Soils:
            return c.SoilCount;
        case Count::Fibers:
            return c.FiberCount;
        case Count::BeamPoints:
            return c.BeamPointCount;
        case Count::AreaPoints:
            return c.AreaPointCount;
    }
    return 0;
}

bool VariableSpec::OfferedBy(const Catalogue& c) const {
    const bool analysis = Kind == Thermal
                              ? c.AnalysisKind == kKindThermal
                              : c.AnalysisKind == kKindStatic || c.AnalysisKind == kKindDynamic;
    const bool dimension = Dim == Any || (Dim == Plane) == (c.Ndim == 2);
    return analysis && dimension && c.*Table;
}

std::string_view VariableSpec::HeadingIn(const Catalogue& c) const {
    return !SpaceHeading.empty() && c.Ndim != 2 ? SpaceHeading : Heading;
}

std::vector<std::string> VariableSpec::VectorNames(const Catalogue& c) const {
    switch (Naming) {
        case Vectors::None:
            break;
        case Vectors::Dofs:
            return Numbered("DOF", c.Ndim == 3 ? 7 : 3);
        case Vectors::BeamPoints:
            return Numbered(VectorPrefix, c.BeamPointCount);
        case Vectors::AreaPoints:
            return Numbered(VectorPrefix, c.AreaPointCount);
        case Vectors::TableLabels:
            return c.*Labels;
    }
    return {};
}

QuantityUnit QuantityOf(const VariableSpec& v, std::string_view vector, Integer ndim) {
    if (v.Naming != Vectors::Dofs) {
        return {v.Quantity, v.Unit};
    }
    // DOF1.. DOF7 in a spatial listing, DOF1.. DOF3 in a plane one, as VectorNames names them.
    const int count = ndim == 3 ? 7 : 3;
    int dof = 0;
    if (vector.size() == 4 && vector.substr(0, 3) == "DOF" && vector[3] >= '1' &&
        vector[3] <= '0' + count) {
        dof = vector[3] - '0';
    }
    if (dof == 0) {
        return {};
    }
    if (dof <= (count == 3 ? 2 : 3)) {
        return {v.Quantity, v.Unit};
    }
    return dof <= (count == 3 ? 3 : 6) ? QuantityUnit{"rotation", "rad"}
                                       : QuantityUnit{"warping", ""};
}

QuantityUnit QuantityOf(std::string_view variable, std::string_view vector, Integer ndim) {
    const VariableSpec* v = FindVariable(variable);
    return v ? QuantityOf(*v, vector, ndim) : QuantityUnit{};
}

std::span<const VariableSpec> AllVariables() {
    return kVariables;
}

const VariableSpec* FindVariable(std::string_view name) {
    auto it = std::find_if(std::begin(kVariables), std::end(kVariables),
                           [&](const VariableSpec& v) { return v.Name == name; });
    return it == std::end(kVariables) ? nullptr : &*it;
}

}  // namespace velto
