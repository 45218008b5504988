#include "extract/export/variablecatalogue.h"

#include <string_view>

#include "extract/export/layout.h"

namespace velto {

namespace {

std::vector<std::string> Numbered(std::string_view prefix, int count) {
    std::vector<std::string> names;
    for (int i = 1; i <= count; ++i) {
        names.push_back(std::string(prefix) + std::to_string(i));
    }
    return names;
}

}  // namespace

std::vector<OfferedVariable> OfferedVariables(const Catalogue& c) {
    std::vector<OfferedVariable> offered;
    auto offer = [&](std::string name, std::vector<std::string> vectors, std::string caption,
                     std::optional<Long> limit) {
        std::string item = ItemWord(name);
        offered.push_back(
            {std::move(name), std::move(vectors), std::move(caption), limit, std::move(item)});
    };

    if (c.AnalysisKind == kKindThermal && c.HasTemperatures) {
        offer("Temperature", {}, "Nodes", c.NodeCount);
    }
    if (c.AnalysisKind != kKindStatic && c.AnalysisKind != kKindDynamic) {
        return offered;
    }

    if (c.HasDisplacements) {
        offer("Displacements", Numbered("DOF", c.Ndim == 3 ? 7 : 3), "Nodes", c.NodeCount);
        offer("Eigen Values", {}, "Nodes", std::nullopt);
    }
    if (c.HasTrussForces) {
        offer("Truss Axial Force", {}, "Trusses", c.TrussCount);
    }
    if (c.HasBeamForces) {
        offer("Beam Axial Force", Numbered("N", c.BeamPointCount), "Beams", c.BeamCount);
        if (c.Ndim == 2) {
            offer("Beam Bending Moment", Numbered("M", c.BeamPointCount), "Beams", c.BeamCount);
        } else {
            for (std::string_view axis : {"My", "Mz", "Mw"}) {
                offer("Beam Bending Moment " + std::string(axis), Numbered(axis, c.BeamPointCount),
                      "Beams", c.BeamCount);
            }
        }
    }
    if (c.HasBeamStresses) {
        offer("Beam Stresses", c.StressTables, "Fibers", c.FiberCount);
    }
    if (c.HasTangentModulus) {
        offer("Beam Tangent Modulus", c.TangentTables, "Fibers", c.FiberCount);
    }
    if (c.HasMembraneForces) {
        for (std::string_view force : {"Nx", "Ny", "Nxy", "N1", "N2"}) {
            offer("Membrane Force " + std::string(force), Numbered("Surface ", c.AreaPointCount),
                  "Shells", c.ShellCount);
        }
    }
    if (c.HasBendingForces) {
        for (std::string_view moment : {"Mx", "My", "Mxy", "M1", "M2"}) {
            offer("Bending Force " + std::string(moment), Numbered("Surface ", c.AreaPointCount),
                  "Shells", c.ShellCount);
        }
    }
    if (c.HasSoilForces) {
        offer("Soil Axial Force Nx", {}, "Soils", c.SoilCount);
        offer("Soil Pressure", {}, "Soils", c.SoilCount);
    }
    return offered;
}

}  // namespace velto
