#include "common/error.h"
#include "common/linereader.h"
#include "common/text.h"
#include "extract/reader/listingheader.h"
#include "extract/reader/scanning.h"

namespace velto {

namespace {

std::shared_ptr<EarlyReading> ScanThermal(Catalogue& c, ProgressSink& progress,
                                          MessageSink& messages, const ScanOptions& options) {
    LineReader in(c.ListingFile);
    ProgressReporter report(in, progress);
    report("Reading input...");

    std::string_view line;
    while (!Reads(line, "DESCRIPTION OF THE STRUCTURE.")) {
        if (in.AtEnd()) {
            messages.ShowMessage(
                "The string DESCRIPTION OF THE STRUCTURE was not found. Cannot continue.",
                MessageIcon::Critical, kExtractTitle);
            return nullptr;
        }
        line = in.ReadLine();
    }
    report("Reading input...");

    // The counts come only from the lines between the description and the node positions.
    while (!Contains(line, "POSITION OF THE NODES")) {
        if (in.AtEnd()) {
            messages.ShowMessage("The string POSITION OF THE NODES was not found. Cannot continue.",
                                 MessageIcon::Critical, kExtractTitle);
            return nullptr;
        }
        line = in.ReadLine();
        if (Contains(line, "THERE ARE")) {
            if (Contains(line, "NODES")) {
                c.NodeCount = DeclaredCount(ToLong(WordAt(line, 3)), "nodes");
            }
            if (Contains(line, "SOLID ELEMENTS")) {
                c.SolidCount = static_cast<Integer>(
                    DeclaredCount(ToInteger(WordAt(line, 3)), "solid elements"));
            }
        }
        report("Reading input...");
    }

    if (options.TimesStart != nullptr) {
        *options.TimesStart = in.Position();
        return nullptr;
    }

    // With the node count known, an export asked for before the listing was read can read its
    // temperatures as the times are found, instead of reading the listing again after the scan.
    std::shared_ptr<EarlyReading> early;
    if (options.ReadEarly) {
        // The temperatures are offered once a time is found: asked now, as if one were.
        c.HasTemperatures = true;
        std::optional<EarlyRequest> request;
        try {
            request = options.ReadEarly(c);
        } catch (...) {
            c.HasTemperatures = false;
            throw;
        }
        c.HasTemperatures = false;
        if (request) {
            early = EarlyReading::Start(c, *request, in, options.StreamBytes);
        }
    }
    ReadTimes(c, in, report, early.get());
    c.HasTemperatures = !c.Times.empty();
    if (early) {
        early->ScanEnded();
    }
    return early;
}

}  // namespace

std::shared_ptr<EarlyReading> ScanThermalListing(Catalogue& c, ProgressSink& progress,
                                                 MessageSink& messages,
                                                 const ScanOptions& options) {
    // A thermal listing that could not be read whole says so, as a structural one does, rather
    // than opening with a partial catalogue as if nothing were wrong.
    std::shared_ptr<EarlyReading> early;
    ReportingReadErrors(messages, [&] { early = ScanThermal(c, progress, messages, options); });
    return early;
}

}  // namespace velto
