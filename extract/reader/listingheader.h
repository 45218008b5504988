#pragma once

#include <memory>

#include "extract/reader/catalogue.h"
#include "extract/reader/scanoptions.h"
#include "extract/reader/sinks.h"

namespace velto {

// Opens catalogue.ListingFile, recognises the solver's banner, takes Version, Ndim and
// AnalysisKind from the head of the listing, and runs the scan that suits the kind. Never
// throws: every failure becomes a message to `messages` with the extraction tool's title:
//  - a torsion listing: "Cannot read but temperature files" (information);
//  - no file named: "Read File Error 53: File not found (no listing given)" (critical);
//  - a read error of the header or of the structural scan, or an error of the thermal scan:
//    "Read File Error " + number + ": " + description (critical), with the cause in brackets
//    where the number does not tell it: "Read File Error 75: Path/File access error (the name
//    is too long)";
//  - the thermal scan's two "... was not found. Cannot continue." messages (critical).
// The catalogue keeps whatever was set before a failure.
//
// Returns the values of options.ReadEarly's request as the scan read them while it found the
// times, for the extraction of that request to take (ExtractionOptions::Early); null when none
// was asked for or could be read.
std::shared_ptr<EarlyReading> ReadListingHeader(Catalogue& catalogue, ProgressSink& progress,
                                                MessageSink& messages,
                                                const ScanOptions& options = {});

// The scans, called by ReadListingHeader once the kind is known. The structural scan raises its
// run-time errors to the caller; the thermal scan reports its own through `messages`.
std::shared_ptr<EarlyReading> ScanStructuralListing(Catalogue& catalogue, ProgressSink& progress,
                                                    const ScanOptions& options = {});
std::shared_ptr<EarlyReading> ScanThermalListing(Catalogue& catalogue, ProgressSink& progress,
                                                 MessageSink& messages,
                                                 const ScanOptions& options = {});

// "Read File Error 62: Input past end of file" for error 62.
std::string ReadFileErrorText(int number, const std::string& description);
// The same for a run-time error, with its cause where the number does not tell it.
std::string ReadFileErrorText(const RuntimeError& error);

}  // namespace velto
