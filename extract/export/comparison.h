#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "extract/export/curves.h"
#include "extract/export/pagesetup.h"
#include "extract/export/sheetformat.h"
#include "extract/reader/sinks.h"

namespace velto {

// One item's history in one listing of a study: the listing's times at the chosen records, in
// the listing's order, and the item's value at each.
struct ListingHistory {
    std::string path;  // as the user named the listing
    std::vector<float> times;
    std::vector<float> values;
};

// The headings of the listings' columns: each file's name without ".out"; a name that two
// listings share is told apart by its folder ("fire-a/beam1"). Texts are Windows-1252, as the
// sheets hold them.
std::vector<std::string> ComparisonHeadings(const std::vector<std::string>& paths);

// One item's histories side by side: every time any listing holds, in ascending order, and each
// listing's value at it (none where the listing has no result at that time). Times are matched
// by value across listings. (A history that held a time twice would take two rows, filled in its
// order; ReadHistory gives each time once.)
struct ComparisonTable {
    std::string title;  // "Temperature Node 12": the variable, its vector and the item
    std::string unit;   // as the listing prints it, Windows-1252
    std::vector<std::string> headings;
    std::vector<float> times;
    std::vector<std::vector<std::optional<float>>> values;  // [listing][row]
};
ComparisonTable CompareHistories(const std::vector<ListingHistory>& histories);

// Keeps the rows of the table that a `--times` text chooses: "all", or 1-based numbers and
// ranges ("1,4,10-12") of the rows of its Time column, every time any listing holds in ascending
// order, so that each number is one time in every listing. Returns why it cannot ("the
// comparison has 12 times; there is no time 14"), leaving the table as it was.
std::string ChooseComparisonTimes(ComparisonTable& table, const std::string& times);

// The format's limits for the table ("The maximum number of columns in Excel is 256. Cannot
// create file."), or an empty text.
std::string ComparisonLimitProblem(const ComparisonTable& table, SheetFormat format);

// Writes the table as one sheet: "Time" and the headings in the first row, one row per time
// below, times and values stored as a single export stores them, an empty cell where a listing
// has no result. Replaces `fileName` only once the new file is whole. `page` says how the sheet
// is printed and guarded (as for WriteSpreadsheet). Returns false after showing why it could not
// (a limit, page settings the format cannot hold, a file that cannot be replaced).
bool WriteComparison(const ComparisonTable& table, const std::string& fileName, SheetFormat format,
                     MessageSink& messages, const PageSetup& page = {});

// One curve per listing, named by its heading, over the times it holds.
CurveSet CurvesOfComparison(const ComparisonTable& table);

}  // namespace velto
