#include "extract/reader/listingend.h"

#include <cmath>
#include <exception>
#include <string_view>

#include "common/linereader.h"
#include "extract/reader/catalogue.h"
#include "extract/reader/listingheader.h"
#include "extract/reader/sinks.h"
#include "extract/reader/variables.h"

namespace velto {

namespace {

// Whether the scan had anything to say: a listing it cannot read whole is no finished analysis.
class AnyMessage final : public MessageSink {
  public:
    void ShowMessage(std::string_view, MessageIcon, std::string_view) override { said = true; }
    bool said = false;
};

// The temperature table prints five nodes a line.
constexpr Long kNodesPerLine = 5;

}  // namespace

bool ReachesEndTime(Single time, Single endTime) {
    // The TIME line holds four decimals; the end time is the input file's, as a Single. A last
    // step that lands beyond it (the solver's steps need not divide the time) has reached it too.
    const double end = static_cast<double>(endTime);
    return static_cast<double>(time) >= end - (1e-4 + 1e-6 * std::fabs(end));
}

bool ListingReachesEnd(const std::string& path, Single endTime) {
    try {
        Catalogue catalogue;
        catalogue.ListingFile = path;
        NullProgress progress;
        AnyMessage messages;
        ReadListingHeader(catalogue, progress, messages);
        return !messages.said && ListingReachesEnd(catalogue, endTime);
    } catch (const std::exception&) {
        return false;
    }
}

bool ListingReachesEnd(const Catalogue& scanned, Single endTime) {
    try {
        if (scanned.Times.empty()) {
            return false;
        }
        const TimeStep& last = scanned.Times.back();
        if (!ReachesEndTime(last.Time, endTime)) {
            return false;
        }
        LineReader in(scanned.ListingFile);
        in.Seek(last.Position);
        std::string_view line;
        if (scanned.AnalysisKind == kKindThermal) {
            if (!in.ReadLineContaining(kTemperatureHeading, line)) {
                return false;
            }
            // Raises the end-of-input error when the table is cut short.
            in.SkipLines((scanned.NodeCount + kNodesPerLine - 1) / kNodesPerLine);
        } else if (!in.ReadLineContaining(kConvergence, line)) {
            return false;
        }
        return !in.LastLineUnended();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace velto
