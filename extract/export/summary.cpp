#include "extract/export/summary.h"

namespace velto {

std::vector<SummaryLine> SummaryLines(const Catalogue& c) {
    std::string analysis = "Unknown";
    if (c.AnalysisKind == kKindThermal) {
        analysis = "Temperature";
    } else if (c.AnalysisKind == kKindStatic) {
        analysis = "Structural";
    } else if (c.AnalysisKind == kKindDynamic) {
        analysis = "Dynamical";
    }
    std::vector<SummaryLine> lines = {
        {"Version:", c.Version, true},
        {"Analysis:", analysis, true},
        {"Problem:", c.Ndim == 2 ? "2D" : "3D", true},
    };
    auto count = [&](const char* caption, long value) {
        lines.push_back({caption, value != 0 ? std::to_string(value) : std::string(), value != 0});
    };
    count("Nodes:", c.NodeCount);
    count("Solids:", c.SolidCount);
    count("Trusses:", c.TrussCount);
    count("Beams:", c.BeamCount);
    count("Shells:", c.ShellCount);
    count("Soils:", c.SoilCount);
    count("Fibers:", c.FiberCount);
    if (c.AnalysisKind == kKindNone && c.Version.empty()) {
        // Nothing was learnt of a file that is not a listing: no kind, no dimension to show. The
        // first three captions stay enabled, as after any open; the counts are all zero.
        for (SummaryLine& line : lines) {
            line.Value.clear();
        }
    }
    return lines;
}

}  // namespace velto
