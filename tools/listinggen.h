// Synthetic Velto result listings (*.out): a thermal or structural run with known values, so the
// reader can be exercised on any size, dimension and line-end convention. The values follow a
// simple model of a member heated by the standard fire (see TableValue), so that a demo or a first
// chart reads like a fire analysis.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace velto {

enum class ListingKind { Thermal, Static, Dynamic, Torsion };

// What the generated run contains. Element counts other than `solids` only matter for structural
// runs; `solids` only for thermal runs.
struct ListingSpec {
    ListingKind kind = ListingKind::Static;
    int ndim = 2;  // 2 or 3
    std::string version = "2026.1";
    std::string lineEnd = "\n";  // "\n", "\r\n" or "\r"
    long nodes = 12;
    int solids = 0;  // thermal only
    int trusses = 0, beams = 0, shells = 0, soils = 0;
    int beamPoints = 3;         // points per beam element
    int areaPoints = 4;         // integration points on the area (shell surfaces)
    int fibers = 12;            // longitudinal fibres of a beam section
    int stressTables = 0;       // beam stress tables per time block
    int tangentTables = 0;      // beam tangent modulus tables per time block
    bool displacements = true;  // structural: displacement table + eigen value line
    int times = 3;              // number of time blocks
    double timeStep = 60.0;     // time of block t (1-based) = t * timeStep seconds
    double protection = 0.0;    // fire protection on the exposed faces, mm (0 .. 1000)
    // Significant digits a structural value is printed with (1 .. 9): 6 as "%.5E" prints it
    // ("-1.70480E-03"), 5 as a solver built for narrower tables does ("3.2383E-01"); past 6 the
    // columns widen. Temperatures are printed as "%6.1f" whatever this says.
    int digits = 6;
    // When > 0: write time blocks until the listing reaches at least this many bytes (at least one
    // block, never more than kMaxTimeBlocks); `times` is then ignored.
    std::uint64_t targetBytes = 0;
};

inline constexpr int kMaxTimeBlocks = 32766;

// Writes the listing; returns the number of time blocks written. Throws std::invalid_argument for
// inconsistent contents and std::runtime_error when the stream fails.
int WriteListing(const ListingSpec& spec, std::ostream& out);

// Same into a file (binary, bytes exactly as generated). Throws std::runtime_error on I/O failure.
int WriteListingFile(const ListingSpec& spec, const std::string& path);
// The whole listing as text, for tests that cut, damage or append it.
std::string ListingText(const ListingSpec& spec);

enum class Table {
    Displacement,
    Eigen,
    Truss,
    Beam,
    Membrane,
    Bending,
    Soil,
    Stress,
    Tangent,
    Temperature
};

// The exact number printed in a table, before formatting, in a run with the time step and
// protection of `spec` (its other fields play no part): with six digits, as they are printed;
// with fewer, the printed value is this one rounded to them, half away from zero.
//   component: 0-based DOF / value column (stress and tangent tables: 0-based table index in the
//              block; eigen value and temperature: 0)
//   item:      1-based node, truss or soil element, fibre, or value line of a beam / shell table
//              ((element-1)*points + point)
//   timeIndex: 1-based time block, at t = timeIndex * timeStep seconds
//
// The model, simple and monotone rather than solved:
// - The gas follows the ISO 834 standard fire, 20 + 345 log10(8 t / 60 + 1) degrees C, held at
//   1200 C once it gets there (after about 5.5 h).
// - Nodes and fibres are numbered through the section from the exposed face, twenty at a time 5 mm
//   apart: item n lies at depth z = 5 ((n - 1) mod 20) mm. It heats as
//   20 + a (T_fire - 20) (1 - exp(-t / tau)), attenuated by a = exp(-z / 100 mm), lagging by
//   tau = 240 s + 300 s per mm of protection + z^2 / (0.5 mm^2/s), the conduction time to depth z.
//   So every node starts at 20 C, heats monotonically, and the deeper and the better protected it
//   is, the cooler it stays. Temperatures lie in [20.0, 1200.0).
// - The members are steel at the temperature theta of the exposed face (z = 0). Their stiffness
//   falls by the reduction factor k_E(theta) of EN 1993-1-2 (taken at least 0.05), so
//   displacements grow by (1 + (theta - 20) / 600) / k_E(theta) over their cold values: slowly up
//   to 400 C, fast beyond; the smallest relative eigen value is the inverse of that growth. Forces
//   follow: the beams' axial force is the cold load plus the thrust of restrained expansion,
//   k_E (theta - 20), which rises then falls; bending moments, truss and soil forces grow by up to
//   half as the members soften and shed load; shell membrane forces grow with the square root of
//   the sag (tension mid-slab, a compressive ring at its edge). A fibre at depth z has its node's
//   temperature: its stress is its place's bending stress capped by the yield strength there
//   (355 N/mm^2 times k_y of EN 1993-1-2), and its tangent modulus is 210000 k_E N/mm^2.
// - Items also stand at twelve stations along a member ((n - 1) mod 12, none at a support or at
//   midspan), whose shapes (sag, slope, expansion from the middle, hogging over the supports)
//   give each value its sign by DOF and position: displacements, forces and stresses take both
//   signs; eigen values and tangent moduli are positive.
// Neighbouring items, components and times print differently: the sixth significant digit of a
// structural value is a tiny term of its own item, component and time, and neighbouring nodes lie
// at different depths. Unprotected, with blocks of 60 s, every node heats by at least 0.1 C a
// block for the first hour.
double TableValue(Table table, int component, long item, int timeIndex,
                  const ListingSpec& spec = {});

// Structural value as printed: "%.5E", e.g. "-1.23450E+02".
std::string FormatValue(double v);

// Temperature as printed: "%6.1f" (6 characters for the values TableValue gives).
std::string FormatTemperature(double t);

}  // namespace velto
