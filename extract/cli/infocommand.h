#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "extract/reader/catalogue.h"

namespace velto {

// Opens a listing as the window does, through an Extract session, and gives its description
// (whatever could be read of it) to `catalogue`. Messages go to `err` one line each, progress is
// drawn on `err` when it is a terminal. Returns the number of messages shown.
int OpenListing(std::shared_ptr<const Catalogue>& catalogue, const std::string& path,
                std::FILE* err);

// The catalogue as one JSON object (keys are the catalogue's field names, plus Variables).
std::string CatalogueJson(const Catalogue& catalogue);

// The human summary: the summary panel's lines, the times and the variables offered.
std::string CatalogueSummary(const Catalogue& catalogue);

// `velto-extract info LISTING [--json]`: 0 when the listing opened without a message, 1 when a
// message was shown (the answer is still printed).
int RunInfo(const std::string& path, bool json, std::FILE* out, std::FILE* err);

}  // namespace velto
