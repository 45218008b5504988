#pragma once

#include <atomic>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/atomicsave.h"
#include "extract/export/pagesetup.h"
#include "extract/export/sheetformat.h"
#include "extract/export/sheetwriter.h"
#include "extract/reader/catalogue.h"
#include "extract/reader/exportrequest.h"
#include "extract/reader/extractionresult.h"
#include "extract/reader/rowgate.h"
#include "extract/reader/sinks.h"

namespace velto {

// Where the times go: down the first column (rows) or along the third row (columns).
enum class TimeLayout { InRows, InColumns };

// The sheet an export fills, headings included: the variable and vector rows, the heading row
// of the table, then one row per time (or per item) below it; one column per item (or per time)
// right of the first.
struct SheetExtent {
    long rows = 0;
    long columns = 0;
};
SheetExtent ExtentOf(const ExportRequest& request, TimeLayout layout);

// The message that refuses a selection too large for the format ("The maximum number of columns
// in Excel is 256. Cannot create file."), or an empty text when it fits. Only the counts of the
// request's items and times are looked at.
std::string SheetLimitProblem(const ExportRequest& request, TimeLayout layout, SheetFormat format);
// The same for a sheet of these counts, before any list of them is held.
std::string SheetLimitProblem(long long vectors, long long times, TimeLayout layout,
                              SheetFormat format);

// Hands the cells of an extraction (result.Values, for the request's items at its times, the
// times' values taken from the catalogue) to `sheet`, row by row: the variable and vector
// headings, then the table with one row (or column) per time, its items named by the variable's
// item word ("Node 3"). Times and values are stored as StoredDouble gives them. Opening and
// closing the sheet are the caller's.
//
// With `rows`, each time's values are written only once the gate hands them on (a closed gate
// ends the writing), so the cells can be written while the extraction is still reading.
void WriteSheetCells(const Catalogue& catalogue, const ExportRequest& request,
                     const ExtractionResult& result, std::string_view vectorName, TimeLayout layout,
                     SheetWriter& sheet, RowGate* rows = nullptr);

// The pieces of that sheet with a row per time, for a writer that gets its rows one by one: the
// headings above the table (its heading row naming `items`), then time j's row, its values those
// of the items in order.
void WriteTimeRowsHeading(SheetWriter& sheet, std::string_view variable,
                          std::string_view vectorName, const std::vector<Long>& items);
void WriteTimeRow(SheetWriter& sheet, Integer j, Single time, std::span<const Single> values);

// The caption of the progress while a sheet is written.
inline constexpr std::string_view kWritingCaption = "Writing spreadsheet...";

// Puts a sheet written through `save` in the target's place unless the user stopped the save
// (`stop`); false then, with nothing written.
bool CommitSheet(AtomicSave& save, const std::atomic<bool>& stop, ProgressSink* progress);

// The name of a variable's sheet in a workbook of every variable ("Displacements DOF2",
// "Beam Stresses Beam 1 (Point 2)"): runs of blanks folded, the characters Excel refuses in a
// sheet name ([]:*?/\) as "_", at most Excel's 31 characters, and told apart from the names in
// `taken` (which Excel compares without regard to case) by a number: "... (2)".
std::string WorkbookSheetName(std::string_view variable, std::string_view vector,
                              const std::vector<std::string>& taken);

// Writes an extraction (as WriteSheetCells lays it out) as a worksheet in `format`. Checks the
// format's limits (xls 256 columns and 65536 rows, xlsx 16384 and 1048576, CSV none) before
// anything is touched.
//
// The worksheet is written through an AtomicSave: beside `fileName` (or the file a link of that
// name points to), in a private folder, taking the target's place only when complete, so an
// existing file of that name is never lost to a failed save. Progress goes to `progress` as the
// rows are written; `stop` set meanwhile (by the user, through the progress report) stops the
// save with nothing written and no message. Never throws: a limit, a file that cannot
// be replaced ("The file is locked. Please close the file in Excel and try again." for
// permission denied), a folder that cannot be written (its own message, naming it) or any other
// error is shown as a critical message. Returns true when the file was written.
//
// `page` says how the sheet is printed and guarded; the default leaves the file as it was before
// there were such settings. One that PageSetupProblem refuses for the format is shown as a
// message, with nothing written.
bool WriteSpreadsheet(const Catalogue& catalogue, const ExportRequest& request,
                      const ExtractionResult& result, const std::string& fileName,
                      std::string_view vectorName, TimeLayout layout, const std::atomic<bool>& stop,
                      MessageSink& messages, SheetFormat format = SheetFormat::Xls,
                      ProgressSink* progress = nullptr, const PageSetup& page = {});

// The same, written while `read` reads the values: `read` fills `request` and runs the
// extraction into `result` on the calling thread, handing each time's row on through the gate it
// is given, and returns true when every value was read from the listing as it was scanned. The
// sheet is written on a thread of its own as the rows come (nothing of the request or the result
// is looked at before the first row is handed on), and takes the target's place only when the
// reading succeeded and the whole sheet is written; the limits are checked once `read` has chosen
// the items and times. `read` shows its own failures and does not throw. `stop` and `page` as for
// WriteSpreadsheet.
bool WriteSpreadsheetAsRead(const Catalogue& catalogue, const ExportRequest& request,
                            const ExtractionResult& result, const std::string& fileName,
                            std::string_view vectorName, TimeLayout layout,
                            const std::atomic<bool>& stop, MessageSink& messages,
                            SheetFormat format, ProgressSink* progress,
                            const std::function<bool(RowGate&)>& read, const PageSetup& page = {});

}  // namespace velto
