#pragma once

#include "common/types.h"
#include "extract/reader/valuetable.h"

namespace velto {

// What one extraction read, for the request it was given: its values, what the listing's lines
// lacked, and whether the values may be written at all.
struct ExtractionResult {
    // The held items at each chosen time (numbered as the request's Times, from 1).
    ValueTable Values;
    // The values the extraction found no word for (a value line with fewer words than the
    // chosen vector needs): they stay 0 in Values, and the user is told. `time` is the 1-based
    // place in the request's Times of the first (the earliest time, then the lowest item).
    struct Missing {
        long long count = 0;
        Integer time = 0;
        Long item = 0;
    } MissingValues;
    // Set when the listing was found shorter than its scan recorded, or no longer the file that
    // was scanned: the values are not the listing's any more, and nothing is written from them.
    bool ListingChanged = false;
    // Set after a read error: the values held are those read before the error, zeros after it,
    // and nothing is written or drawn from them.
    bool ExtractionFailed = false;
    // How many of the first times' rows were read while the listing was scanned (and handed on
    // as they were read, to whoever heard of them then).
    Integer ReadDuringScan = 0;
};

}  // namespace velto
