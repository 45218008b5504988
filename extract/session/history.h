#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "extract/export/comparison.h"
#include "extract/reader/sinks.h"

namespace velto {

class ExtractSession;

// One item's history in one listing, read for a comparison of runs.
struct HistoryReading {
    ListingHistory history;
    std::string title;     // "Temperature Node 12": the variable, its vector and the item
    std::string unit;      // as the listing prints it
    std::string problem;   // why it could not be read, in the words the command line prints
    std::string note;      // what to say once of the listing (it repeats times), or empty
    std::string missing;   // values its lines lack, standing as 0 (MissingValuesNote), or empty
    bool aborted = false;  // the user stopped the reading
};

// Opens the listing in a session of its own and reads the item's history: the variable and
// vector named as a user types them (ChooseByName), the item as a whole number, and the times
// by value, in seconds: each of `times` that the listing holds, or every time it holds when
// there are none (a time the listing gives twice is read once, from its last record). Every
// failure is a `problem` (the listing's own message has gone to `messages` too); the reading is
// shown on `progress`, which may stop it through the session `running` is handed while it reads.
HistoryReading ReadHistory(const std::string& path, std::string_view variable,
                           std::string_view vector, const std::string& item,
                           const std::optional<std::vector<float>>& times, ProgressSink& progress,
                           MessageSink& messages,
                           const std::function<void(ExtractSession*)>& running = {});

}  // namespace velto
