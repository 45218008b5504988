// Synthetic Velto result listings (*.out): a thermal or structural run with known values, so the
// reader can be exercised on any size, dimension and line-end convention.
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
    double timeStep = 60.0;     // time of block t (1-based) = t * timeStep
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

// The exact number printed in a table, before formatting.
//   component: 0-based DOF / value column (stress and tangent tables: 0-based table index in the
//              block; eigen value and temperature: 0)
//   item:      1-based node, truss or soil element, fibre, or value line of a beam / shell table
//              ((element-1)*points + point)
//   timeIndex: 1-based time block
// Neighbouring items, components and times print differently; signs alternate. Temperatures lie
// in [20.0, 1200.0).
double TableValue(Table table, int component, long item, int timeIndex);

// Structural value as printed: "%.5E", e.g. "-1.23450E+02".
std::string FormatValue(double v);

// Temperature as printed: "%6.1f" (6 characters for the values TableValue gives).
std::string FormatTemperature(double t);

}  // namespace velto
