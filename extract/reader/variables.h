#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "extract/reader/catalogue.h"

namespace velto {

// The line that ends each time block of a structural listing.
inline constexpr std::string_view kConvergence = "CONVERGENCE HAS BEEN OBTAINED.";

// The lines that open a result table in a time block.
inline constexpr std::string_view kTemperatureHeading =
    "NODE TEMP.  NODE TEMP.  NODE TEMP.  NODE TEMP.  NODE TEMP.";
inline constexpr std::string_view kDisplacementHeading =
    "NODE    DOF 1     DOF 2     DOF 3     DOF 4     DOF 5     DOF 6     DOF 7";
inline constexpr std::string_view kEigenHeading = "RELATIVE EIGEN VALUE";
inline constexpr std::string_view kTrussHeading = "ELEM.      N";
inline constexpr std::string_view kBeamPlaneHeading = "ELEM. PT.    N           M";
inline constexpr std::string_view kBeamSpaceHeading =
    "ELEM. PT.    N           MY          MZ          Mw         Mr2";
inline constexpr std::string_view kStressHeading = "STRESSES IN N/mm\xB2 IN BEAM ELEMENT";
inline constexpr std::string_view kTangentHeading = "TANGENT MODULUS IN N/mm\xB2 IN BEAM ELEMENT";
inline constexpr std::string_view kMembraneHeading =
    "MEMBRANE FORCES Nx, Ny & Nxy IN THE SHELL ELEMENTS [kN/m]";
inline constexpr std::string_view kBendingHeading =
    "BENDING FORCES Mx, My & Mxy IN THE SHELL ELEMENTS [kNm/m]";
inline constexpr std::string_view kSoilHeading = "ELEM.     N[kN]     P[kN/m\xB2]";

// The analyses a variable is read from: a thermal listing, or a static or dynamic one.
enum class Analysis { Thermal, Structural };

// The listings a variable is offered by: any, plane ones (NDIM 2) or the others, taken as
// spatial as the summary takes them.
enum class Dimension { Any, Plane, Space };

// A count the table refers to: a model count of the catalogue, or a fixed one.
enum class Count {
    Zero,
    One,
    Nodes,
    Trusses,
    Beams,
    Shells,
    Soils,
    Fibers,
    BeamPoints,
    AreaPoints
};

// The value of `count` for the catalogue's listing.
Long CountIn(const Catalogue& catalogue, Count count);

// How the values stand on their lines.
enum class ValueLayout {
    Word,         // one item per line, its value in the word `Word` (0 is the first)
    FibrePairs,   // five (fibre, value) pairs per line
    NodeColumns,  // five (node, temperature) fields of 11 characters per line
};

// How the vectors are named, and what the chosen one picks.
enum class Vectors {
    None,
    Dofs,         // DOF1.. DOF7 in a listing of NDIM 3, DOF1.. DOF3 otherwise; DOF n is the word
                  // n - 1 places after `Word`
    BeamPoints,   // prefix + 1.. the points along a beam; point n is the line n - 1 after `Lead`
    AreaPoints,   // prefix + 1.. the points on a shell's area; the same
    TableLabels,  // the labels of the tables the scan found; the label picks the table
};

// One result variable: when a listing offers it, where its values stand in a time block, how its
// vectors and items are named, and the unit the listing gives its values in.
struct VariableSpec {
    std::string_view Name;  // as the variables list shows it

    // Offered when the listing is of this analysis and dimension and the flag is set.
    Analysis Kind;
    bool Catalogue::*Table;
    Dimension Dim;

    // Found by its heading (SpaceHeading, when not empty, in a listing not of NDIM 2); the first
    // value line comes Lead lines after the heading, the next item's Stride lines after that.
    std::string_view Heading;
    std::string_view SpaceHeading;
    long Lead;
    Count Stride;
    std::size_t Word;
    ValueLayout Layout;

    Vectors Naming;
    std::string_view VectorPrefix;  // BeamPoints, AreaPoints: "N" names N1, N2..
    const std::vector<std::string> Catalogue::*Labels;  // TableLabels: the catalogue's list

    // The items are counted by Items, which bounds From and To; Zero: a single value, no range.
    Count Items;
    std::string_view RangeCaption;  // what From and To count: "Nodes", "Beams"..
    std::string_view ItemWord;      // what names one item in the spreadsheet: "Node", "Beam"..

    // What the values are ("temperature", "axial force"), and their unit where the listing
    // states it (Latin-1: "\xB0" "C", "N/mm\xB2"); empty where it does not (the model's lengths
    // and forces are in whatever units its input used). Degrees of freedom say more: see
    // QuantityOf.
    std::string_view Quantity;
    std::string_view Unit;

    bool HasRange() const { return Items != Count::Zero; }
    bool OfferedBy(const Catalogue& catalogue) const;
    std::string_view HeadingIn(const Catalogue& catalogue) const;
    std::vector<std::string> VectorNames(const Catalogue& catalogue) const;
};

// What one vector of a variable is, and its unit: the one table every chart, sheet caption and
// script takes units from.
struct QuantityUnit {
    std::string_view Quantity;  // "temperature", "displacement", "rotation", ...
    std::string_view Unit;      // Latin-1; empty where the listing does not state it
    bool operator==(const QuantityUnit&) const = default;
};

// The quantity and unit of a variable's vector in a listing of this dimension. The degrees of
// freedom of a plane model (NDIM 2) are two displacements and the rotation (DOF3); of a spatial
// one, three displacements, three rotations and the warping (DOF7). Rotations are in radians.
// An unknown variable or vector gives an empty quantity and unit.
QuantityUnit QuantityOf(const VariableSpec& variable, std::string_view vector, Integer ndim);
QuantityUnit QuantityOf(std::string_view variable, std::string_view vector, Integer ndim);

// Every variable, in the order of the variables list.
std::span<const VariableSpec> AllVariables();

// The variable of that name, or nullptr for a name no listing offers.
const VariableSpec* FindVariable(std::string_view name);

}  // namespace velto
