#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/types.h"
#include "extract/reader/valuetable.h"

namespace velto {

struct Catalogue;
struct TimeStep;
class EarlyReading;

// An export's request known before its listing is read (the command line's): the variable as
// the variables table names it, the 0-based position of its vector, and the item numbers chosen.
struct EarlyRequest {
    std::string Variable;
    int Component = 0;
    std::vector<Long> Vectors;
    // Written out time by time as it is read (a row per time): only a window of its times need
    // be held at once (StreamWindow).
    bool Streamed = false;
    // Hears of each time's row as soon as it is read, in time order from the first, on the
    // reading's thread: the time as the scan found it, the held items' values, and how many times
    // the scan has found so far. A row that could not be read is not handed on, nor any after
    // it; nor are any once this returns false.
    std::function<bool(const TimeStep& time, std::span<const Single> row, std::size_t found)>
        OnRow = nullptr;
};

// What a scan is told besides the listing's name.
struct ScanOptions {
    // Set by a caller that knows what it will export before the listing is read: once the scan
    // knows the model and the tables, it names the request (or none), whose values are then read
    // on a thread of their own while the scan finds the times, so that the reading rides on the
    // scan instead of following it.
    std::function<std::optional<EarlyRequest>(const Catalogue&)> ReadEarly;
    // The room a streamed request's values may take (see kStreamBytes).
    std::size_t StreamBytes = kStreamBytes;
    // When given, the scan reads the head only (the model, and the tables of a structural
    // listing's first block) and puts here where the time part starts, leaving Times empty: for
    // a follower, which takes the times in itself as their results complete.
    FilePosition* TimesStart = nullptr;
};

}  // namespace velto
