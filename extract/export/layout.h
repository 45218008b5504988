#pragma once

#include <string>
#include <string_view>

#include "extract/reader/catalogue.h"
#include "extract/reader/sinks.h"

namespace velto {

// The word that names one item of a variable in the spreadsheet: "Node" for "Temperature" and
// "Displacements", "Value" for "Eigen Values", then "Truss", "Beam", "Shell", "Soil", "Fiber";
// empty for a name it does not know.
std::string ItemWord(std::string_view variable);

// Where the times go: down the first column (rows) or along the third row (columns).
enum class TimeLayout { InRows, InColumns };

// Writes the last extraction (catalogue.ExtractedValues, for catalogue.SelectedVectors at
// catalogue.SelectedTimes) as a BIFF2 worksheet: the variable and vector headings, then the
// table with one row (or column) per time. Checks the worksheet limits (256 columns, 65536 rows)
// before anything is touched.
//
// The worksheet is written to a temporary file beside `fileName` and takes its place only when
// complete, so an existing file of that name is never lost to a failed save. Never throws: a
// limit, a file that cannot be replaced ("The file is locked. Please close the file in Excel and
// try again." for permission denied) or any other error is shown as a critical message, and the
// temporary file is removed. Returns true when the file was written.
bool WriteSpreadsheet(const Catalogue& catalogue, const std::string& fileName,
                      std::string_view variable, std::string_view vectorName, TimeLayout layout,
                      MessageSink& messages);

}  // namespace velto
