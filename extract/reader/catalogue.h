#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"

namespace velto {

// The application title: the caption of every message box of the extraction tool.
inline constexpr std::string_view kExtractTitle = "VeltoExtract";

// Analysis kinds as the listing header names them.
enum AnalysisKindCode : Integer {
    kKindNone = 0,
    kKindThermal = 1,
    kKindStatic = 2,
    kKindTorsion = 3,
    kKindDynamic = 4,
};

// One time block of a listing.
struct TimeStep {
    Single Time = 0;            // the value printed on the block's TIME line
    FilePosition Position = 0;  // 1-based byte position of the line after the TIME line
    double Written = 0;         // that value as printed, which a single may not tell from another
};

// The listing's description: everything a scan learnt of it. The readers fill it while they
// scan, and no one changes it afterwards: the window, the command line and Python share it, show
// it and choose from it, and each extraction reads it with a request of its own (ExportRequest)
// into a result of its own (ExtractionResult). Lists are held 0-based: record i of the listing's
// numbering is Times[i - 1], label i is StressTables[i - 1]. A list's size is its count.
struct Catalogue {
    // Identity: the file, the solver's version, the dimension and the kind of analysis.
    std::string ListingFile;
    std::string Version;
    Integer Ndim = 0;
    Integer AnalysisKind = kKindNone;

    // Model size: nodes, elements of each kind, points along a beam and on a shell's area,
    // fibres of a beam section.
    Long NodeCount = 0;
    Integer SolidCount = 0;
    Integer TrussCount = 0;
    Integer BeamCount = 0;
    Integer ShellCount = 0;
    Integer SoilCount = 0;
    Integer BeamPointCount = 0;
    Integer AreaPointCount = 0;
    Integer FiberCount = 0;

    // Result times, in the order of the listing. A scan stopped by an error leaves them as they
    // were.
    std::vector<TimeStep> Times;

    // Result tables found in the first result block, and the labels of its beam stress and
    // tangent modulus tables in the order they come.
    bool HasTemperatures = false;
    bool HasDisplacements = false;
    bool HasBeamForces = false;
    bool HasBeamStresses = false;
    bool HasTangentModulus = false;
    bool HasTrussForces = false;
    bool HasMembraneForces = false;
    bool HasBendingForces = false;
    bool HasSoilForces = false;
    std::vector<std::string> StressTables;
    std::vector<std::string> TangentTables;

    // Which file was scanned, as it was then: another file put in its place, or the same file
    // rewritten without growing, is no longer the listing the times point into. (A listing that
    // only grew, from a solver still writing it, still is.)
    struct Stamp {
        bool known = false;
        unsigned long long device = 0, inode = 0;
        long long size = 0, modifiedNs = 0;
        long long changedNs = 0;  // the inode's change time: no tool can set it back
        std::uint64_t ends = 0;   // EndsDigest of the bytes scanned
    } Scanned;
};

// The stamp of the file at this path now (known = false when it cannot be looked at), without
// its ends digest.
Catalogue::Stamp StampOf(const std::string& path);

// The stamp of the file at this path now, as StampOf gives it, but with an append under way let
// finish. A write at the end moves the file's times before its size: a look between the two sees
// the file as long as `before` yet changed, as if it had been written over in place. Such a write
// ends within moments, so while the file is the one of `before`, of its size, with other times,
// it is looked at again for a little while (about a tenth of a second) until its size moves.
Catalogue::Stamp SettledStampOf(const std::string& path, const Catalogue::Stamp& before);

// A digest of the first and the last 64 KiB of the first `size` bytes of the file at this path
// (0 when they cannot be read). A listing that grew only by what a solver still writing it adds
// keeps it; one written over in place with another run, however long, does not.
std::uint64_t EndsDigest(const std::string& path, long long size);

// The result tables found (the Has... flags and the table labels) back to none.
void ClearTables(Catalogue& catalogue);

}  // namespace velto
