#pragma once

#include <string>
#include <vector>

#include "extract/reader/catalogue.h"

namespace velto {

// One line of the summary panel: its caption, the value shown, and whether the caption is
// enabled (a zero count shows no value and a greyed caption).
struct SummaryLine {
    std::string Caption;  // "Version:", "Analysis:", ..., "Fibers:"
    std::string Value;
    bool Enabled = true;
};

// The ten lines of the summary panel, in order: Version, Analysis ("Temperature", "Structural",
// "Dynamical" or "Unknown"), Problem ("2D" or "3D"), then the counts of nodes, solids, trusses,
// beams, shells, soils and fibres. The first three captions are always enabled. A file not
// recognised as a listing gives every value empty.
std::vector<SummaryLine> SummaryLines(const Catalogue& catalogue);

}  // namespace velto
