#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "extract/cli/exportcommand.h"

namespace velto {

// The choices of `velto-extract follow`: the export's listing, variable, vector and range (its
// other options do not apply), the CSV file to write instead of standard output, and how long
// the listing may stay as it is before the following ends.
struct FollowCommandOptions {
    ExportOptions selection;  // listing, output, variable, vector, from, to, step
    std::optional<double> idleSeconds;
};

// `velto-extract follow`: the rows `export --format csv` writes for the listing's times, the
// heading lines first, each time's row as soon as its results are complete, until the analysis
// reaches its end time (its input file NAME.in beside NAME.out says it), `idleSeconds` pass
// without the listing changing, or Ctrl+C, SIGTERM or SIGHUP come (between rows: every row
// written is whole). A listing cut short, replaced or written over is said on `err` and
// followed again from its start: the heading lines and the rows again (a file is begun anew).
// Returns 0 when it saw no error, 1 after one (shown on `err`).
int RunFollow(const FollowCommandOptions& options, std::FILE* out, std::FILE* err);

// `velto-extract info --follow`: a line on `out` for each time as its results complete
// ("Time 3: 180 s"), ending as RunFollow does.
int RunInfoFollow(const std::string& listing, std::optional<double> idleSeconds, std::FILE* out,
                  std::FILE* err);

// Reads an --idle value: seconds by the C rules (a point for decimals), more than 0.
std::optional<double> ParseIdleSeconds(const std::string& text);

}  // namespace velto
