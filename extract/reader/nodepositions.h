#pragma once

#include <vector>

#include "common/types.h"
#include "extract/reader/catalogue.h"

namespace velto {

// Where the model's nodes stand, as the listing prints them under "POSITION OF THE NODES.":
// each node's number, then its coordinates, in the units of the model's input.
struct NodePositions {
    int ndim = 0;
    std::vector<Long> nodes;          // in the listing's order
    std::vector<double> coordinates;  // ndim a node, as printed (not rounded to singles)
};

// Reads the positions of the listing `c` describes: the c.NodeCount lines after its "POSITION
// OF THE NODES" line. A listing without that line gives none. A line that is not a node's
// position where one is due (a word missing, one that is no number, a node number that is not
// whole, the listing ending first) raises the type mismatch error (13) with the listing's name
// and the line; an unreadable file, its error.
NodePositions ReadNodePositions(const Catalogue& c);

}  // namespace velto
