#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/linereader.h"
#include "common/text.h"
#include "extract/reader/earlyreading.h"
#include "extract/reader/extraction.h"
#include "extract/reader/listingheader.h"
#include "extract/reader/scanning.h"
#include "extract/reader/variables.h"

namespace velto {

namespace {

// An Integer count as the model description declares it (see DeclaredCount).
Integer DeclaredInteger(Integer count, std::string_view what) {
    return static_cast<Integer>(DeclaredCount(count, what));
}

void ReadModelLine(Catalogue& c, std::string_view line) {
    if (Contains(line, "THERE ARE")) {
        if (Contains(line, "NODES")) {
            c.NodeCount = DeclaredCount(ToLong(WordAt(line, 3)), "nodes");
        }
        if (Contains(line, "TRUSS ELEMENTS")) {
            c.TrussCount = DeclaredInteger(ToInteger(WordAt(line, 3)), "truss elements");
        }
        if (Contains(line, "BEAM ELEMENTS")) {
            c.BeamCount = DeclaredInteger(ToInteger(WordAt(line, 3)), "beam elements");
        }
        if (Contains(line, "SHELL ELEMENTS")) {
            c.ShellCount = DeclaredInteger(ToInteger(WordAt(line, 3)), "shell elements");
        }
        if (Contains(line, "SOIL ELEMENTS")) {
            c.SoilCount = DeclaredInteger(ToInteger(WordAt(line, 3)), "soil elements");
        }
    }
    if (Contains(line, "EACH OF THEM HAS")) {
        c.BeamPointCount = DeclaredInteger(ToInteger(WordAt(line, 4)), "points along each beam");
    }
    if (Contains(line, "LONGITUDINAL FIBERS")) {
        std::string rest = ReplaceAll(line, "LONGITUDINAL FIBERS.", "");
        rest = ReplaceAll(rest, "AND", "");
        c.FiberCount = DeclaredInteger(RoundToInteger(Val(rest)), "longitudinal fibres");
    }
    if (Contains(line, "INTEGRATION POINTS ON THE AREA")) {
        c.AreaPointCount =
            DeclaredInteger(ToInteger(WordAt(line, 0)), "integration points on the area");
    }
}

// The tables of each kind are counted in a 16-bit Integer: a 32768th overflows it.
void AddTableLabel(std::vector<std::string>& labels, std::string label) {
    if (labels.size() >= static_cast<std::size_t>(std::numeric_limits<Integer>::max())) {
        Raise(kOverflow);
    }
    labels.push_back(std::move(label));
}

void ReadTableLine(Catalogue& c, std::string_view line) {
    if (Reads(line, "TOTAL DISPLACEMENTS.")) {
        c.HasDisplacements = true;
    }
    if (Reads(line, "INTERNAL SOLLICITATIONS IN THE BEAM ELEMENTS.")) {
        c.HasBeamForces = true;
    }
    if (Contains(line, kStressHeading)) {
        c.HasBeamStresses = true;
        AddTableLabel(c.StressTables, BeamTableLabel(line, kStressHeading));
    }
    if (Contains(line, kTangentHeading)) {
        c.HasTangentModulus = true;
        AddTableLabel(c.TangentTables, BeamTableLabel(line, kTangentHeading));
    }
    if (Reads(line, "INTERNAL SOLLICITATIONS IN THE TRUSS ELEMENTS.")) {
        c.HasTrussForces = true;
    }
    if (Reads(line, "MEMBRANE FORCES Nx, Ny & Nxy IN THE SHELL ELEMENTS [kN/m]")) {
        c.HasMembraneForces = true;
    }
    if (Reads(line, "BENDING FORCES Mx, My & Mxy IN THE SHELL ELEMENTS [kNm/m]")) {
        c.HasBendingForces = true;
    }
    if (Reads(line, "INTERNAL FORCE IN THE SOIL ELEMENTS.")) {
        c.HasSoilForces = true;
    }
}

}  // namespace

std::shared_ptr<EarlyReading> ScanStructuralListing(Catalogue& c, ProgressSink& progress,
                                                    const ScanOptions& options) {
    LineReader in(c.ListingFile);
    ProgressReporter report(in, progress);

    // Model pass: the description of the structure, up to the first convergence line.
    report("Reading input...");
    while (!in.AtEnd()) {
        std::string_view line = in.ReadLine();
        if (Reads(line, kConvergence)) {
            break;
        }
        ReadModelLine(c, line);
        if (Contains(line, "GROUP OF GEOM. PROP.")) {
            // A beam section's own description may hold lines that look like model counts.
            while (!Contains(line, "THIS BEAM SECTION TYPE IS DISCRETIZED BY") && !in.AtEnd()) {
                line = in.ReadLine();
            }
        }
        report("Reading input...");
    }

    // Table pass: the tables of the first result block are taken to be printed at every time.
    {
        LineReader again(LineReader::SameFile{}, in);
        std::string_view line;
        while (!Reads(line, kConvergence) && !again.AtEnd()) {
            line = again.ReadLine();
        }
        if (!again.AtEnd()) {
            line = again.ReadLine();
        }
        while (!Reads(line, kConvergence) && !again.AtEnd()) {
            line = again.ReadLine();
            ReadTableLine(c, line);
        }
    }

    if (options.TimesStart != nullptr) {
        *options.TimesStart = in.Position();
        return nullptr;
    }

    // With the model and the tables known, an export that was asked for before the listing was
    // read can start reading its values as the times are found.
    std::shared_ptr<EarlyReading> early;
    if (options.ReadEarly) {
        if (const std::optional<EarlyRequest> request = options.ReadEarly(c)) {
            early = EarlyReading::Start(c, *request, in, options.StreamBytes);
        }
    }

    // Time pass: every TIME line after the first convergence line opens a result block. A
    // listing whose times cannot all be read offers no table: nothing of it could be exported.
    try {
        ReadTimes(c, in, report, early.get());
    } catch (...) {
        ClearTables(c);
        throw;
    }
    if (early) {
        early->ScanEnded();
    }
    return early;
}

}  // namespace velto
