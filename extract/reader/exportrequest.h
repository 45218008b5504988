#pragma once

#include <string>
#include <vector>

#include "common/types.h"

namespace velto {

// What one extraction reads: a value the window, the command line and Python each make from
// their own choices, and that the writers then lay out. Node, element and fibre numbers are
// 32-bit so that large models export whole.
struct ExportRequest {
    // The variable as the variables table names it ("Displacements", "Beam Stresses"), and the
    // 0-based position of the chosen vector in its vectors list (the DOF, the point along a beam,
    // the surface of a shell, or the stress or tangent table).
    std::string Variable;
    int Component = 0;
    // For each chosen time, in the order of the selected-times list, its record number in the
    // listing's Times (1-based).
    std::vector<Integer> Times;
    // The item numbers to write, in order. An extraction given none reads every item of the
    // variable's table.
    std::vector<Long> Items;
    // Several vectors of a structural variable read in one pass over the listing: when it holds
    // any, these positions instead of Component, and each item's values stand side by side in
    // its row, one per vector in this order (a DOF's three components cost about what one does).
    std::vector<int> Components{};
};

}  // namespace velto
