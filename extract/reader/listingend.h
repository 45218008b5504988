#pragma once

#include <string>

#include "common/types.h"
#include "extract/reader/catalogue.h"

namespace velto {

// Whether the listing holds an analysis that ran to `endTime` and was written whole: its last
// result block is at that time or past it (as its TIME line prints it, to four decimals) and
// complete (a structural block down to its convergence line, a thermal one with the temperature of
// every node), and that block's last line is ended, not one the solver may still be printing. A
// listing cut short, an analysis that stopped before the end time, and anything that cannot be read
// as a listing give false; nothing is reported.
bool ListingReachesEnd(const std::string& path, Single endTime);

// The same for a listing scanned already (its catalogue as the scan left it, with no message):
// only its last block is read again, not the whole listing.
bool ListingReachesEnd(const Catalogue& scanned, Single endTime);

// Whether a result time is the analysis's end time or past it, as the TIME line prints it (to four
// decimals) and as the input file gives it (a Single).
bool ReachesEndTime(Single time, Single endTime);

}  // namespace velto
