#include "extract/reader/catalogue.h"

namespace velto {

void ClearCatalogue(Catalogue& c) {
    c.Version.clear();
    c.AnalysisKind = kKindNone;
    c.Ndim = 0;
    c.NodeCount = 0;
    c.SolidCount = 0;
    c.TrussCount = 0;
    c.BeamCount = 0;
    c.ShellCount = 0;
    c.SoilCount = 0;
    c.FiberCount = 0;
    c.TimeCount = 0;
    c.Times.clear();
    c.Times.shrink_to_fit();
    c.HasTemperatures = false;
    c.HasDisplacements = false;
    c.HasBeamForces = false;
    c.HasBeamStresses = false;
    c.HasTangentModulus = false;
    c.HasTrussForces = false;
    c.HasMembraneForces = false;
    c.HasBendingForces = false;
    c.HasSoilForces = false;
    c.StressTableCount = 0;
    c.StressTables.clear();
    c.TangentTableCount = 0;
    c.TangentTables.clear();
}

}  // namespace velto
