#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "extract/export/layout.h"
#include "extract/export/pagesetup.h"
#include "extract/export/sheetformat.h"
#include "extract/reader/catalogue.h"
#include "extract/reader/exportrequest.h"
#include "extract/reader/extraction.h"
#include "extract/reader/extractionresult.h"
#include "extract/reader/sinks.h"

namespace velto {

// One export as the user chose it: the variable and vector as the lists show them, the
// From/To/Step texts, the chosen times (their 1-based positions in the available list, in the
// order of the selected list), where the times go, the file format and how the sheet is printed
// and guarded.
struct SaveRequest {
    std::string fileName;
    std::string variable;
    std::string vectorName;  // empty for variables without vectors
    int component = 0;       // position of vectorName in the variable's vectors list
    std::string from = "1";
    std::string to = "1";
    std::string step = "1";
    std::vector<Integer> times;
    TimeLayout layout = TimeLayout::InRows;
    SheetFormat format = SheetFormat::Xls;
    PageSetup page;
};

enum class SaveOutcome {
    Written,     // the file was written
    NotWritten,  // ended without a file: a message was shown, or the request holds nothing
    Aborted,     // the user asked to stop during the extraction: no file
    Extracted,   // the values are read (ExtractForRequest only): ready to write or draw
};

struct SaveResult {
    SaveOutcome outcome = SaveOutcome::NotWritten;
    std::string problem;  // why a request ended without a file and without a message
};

// The request's values without the writing: makes the request's items and times (the vector
// list and the chosen records) into `chosen` and runs the extraction that suits the listing into
// `read`; both start empty. Extracted when the values are in `read`, Aborted when `stop` was set
// (by the user, through the progress reports), NotWritten after an extraction error (shown; the
// values read before it are in `read`) or with a problem when the request holds nothing to read.
// The chart uses it. `options` go to the extraction (ExtractionOptions; its defaults when null).
SaveResult ExtractForRequest(const Catalogue& catalogue, const SaveRequest& request,
                             ExportRequest& chosen, ExtractionResult& read,
                             const std::atomic<bool>& stop, ProgressSink& progress,
                             MessageSink& messages, ExtractionOptions* options = nullptr);

// The values of request.Variable (its vector request.Component) for the request's item numbers at
// its time records, into `read`: what a script asks for, items in any order. The caller has
// checked items and records against the listing. Outcomes as ExtractForRequest.
SaveResult ExtractItems(const Catalogue& catalogue, const ExportRequest& request,
                        ExtractionResult& read, const std::atomic<bool>& stop,
                        ProgressSink& progress, MessageSink& messages);

class EarlySheet;

// The body of the Save command, shared by the window and the command line: what
// ExtractForRequest does, then, unless the user stopped it, the spreadsheet written from `chosen`
// and `read`. An extraction error is shown and nothing is written: a sheet would hold zeros
// where the listing has values. A target that cannot be saved, a sheet too large for the format
// and page settings it cannot hold are refused before anything is read.
//
// `early`, when given, is the sheet begun while the listing was scanned, from the rows read early
// (`options`' early reading): when it is this request's sheet, it is ended and takes the target's
// place instead of a sheet written anew.
SaveResult SaveExport(const Catalogue& catalogue, const SaveRequest& request, ExportRequest& chosen,
                      ExtractionResult& read, const std::atomic<bool>& stop, ProgressSink& progress,
                      MessageSink& messages, ExtractionOptions* options = nullptr,
                      EarlySheet* early = nullptr);

// What the user is told after an extraction that found lines short of the chosen value (their
// values stand as 0): "2 values are missing from the listing's lines and stand as 0; the first
// is Node 5 at 120 s." Empty when none was.
std::string MissingValuesNote(const Catalogue& catalogue, const ExportRequest& request,
                              const ExtractionResult& read);

}  // namespace velto
