#include "common/error.h"
#include "common/linereader.h"
#include "common/text.h"
#include "extract/reader/listingheader.h"
#include "extract/reader/scanning.h"

namespace velto {

namespace {

void ScanThermal(Catalogue& c, ProgressSink& progress, MessageSink& messages,
                 const ScanOptions& options) {
    LineReader in(c.ListingFile);
    ProgressReporter report(in, progress);
    report("Reading input...");

    std::string_view line;
    while (!Reads(line, "DESCRIPTION OF THE STRUCTURE.")) {
        if (in.AtEnd()) {
            messages.ShowMessage(
                "The string DESCRIPTION OF THE STRUCTURE was not found. Cannot continue.",
                MessageIcon::Critical, kExtractTitle);
            return;
        }
        line = in.ReadLine();
    }
    report("Reading input...");

    // The counts come only from the lines between the description and the node positions.
    while (!Contains(line, "POSITION OF THE NODES")) {
        if (in.AtEnd()) {
            messages.ShowMessage("The string POSITION OF THE NODES was not found. Cannot continue.",
                                 MessageIcon::Critical, kExtractTitle);
            return;
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
        return;
    }
    ReadTimes(c, in, report);
    c.HasTemperatures = !c.Times.empty();
}

}  // namespace

void ScanThermalListing(Catalogue& c, ProgressSink& progress, MessageSink& messages,
                        const ScanOptions& options) {
    // A thermal listing that could not be read whole says so, as a structural one does, rather
    // than opening with a partial catalogue as if nothing were wrong.
    ReportingReadErrors(messages, [&] { ScanThermal(c, progress, messages, options); });
}

}  // namespace velto
