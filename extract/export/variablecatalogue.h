#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/types.h"
#include "extract/reader/catalogue.h"

namespace velto {

// One result variable a listing offers, as the variables list shows it.
struct OfferedVariable {
    std::string Name;  // "Displacements", "Beam Bending Moment My", ...
    std::vector<std::string>
        Vectors;                // "DOF1".., "N1".., "Surface 1".., table labels; may be empty
    std::string RangeCaption;   // what From/To count: "Nodes", "Beams", "Fibers", ...
    std::optional<Long> Limit;  // From and To must lie in 1..Limit; none without a range
    std::string ItemWord;       // the word that names one item in the spreadsheet: "Node"..
};

// The variables the catalogue's listing offers, in the order of the variables list, as the
// variables table describes them. A thermal listing with times offers "Temperature"; a static or
// dynamic one offers the variables of the tables its first result block holds; a torsion
// listing, or none, offers nothing. Range limits are the counts as the catalogue holds them (a
// 50 000-node model offers nodes 1..50 000).
std::vector<OfferedVariable> OfferedVariables(const Catalogue& catalogue);

}  // namespace velto
