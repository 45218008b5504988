#include "extract/reader/scanning.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "common/encoding.h"
#include "common/error.h"
#include "common/linereader.h"
#include "common/text.h"
#include "extract/reader/listingheader.h"

namespace velto {

void ProgressReporter::operator()(std::string_view caption) {
    FilePosition length = in_.Length();
    Single fraction = 0;
    if (length > 0) {
        fraction =
            static_cast<Single>(static_cast<double>(in_.Position()) / static_cast<double>(length));
    }
    sink_.UpdateProgress(std::min<Single>(fraction, 1), caption);
}

void ReportingReadErrors(MessageSink& messages, const std::function<void()>& body) {
    try {
        body();
    } catch (const RuntimeError& error) {
        messages.ShowMessage(ReadFileErrorText(error), MessageIcon::Critical, kExtractTitle);
    } catch (const std::exception& error) {
        const int number = UnexpectedErrorNumber(error);
        messages.ShowMessage(ReadFileErrorText(number, ErrorDescription(number)),
                             MessageIcon::Critical, kExtractTitle);
    }
}

Long DeclaredCount(Long count, std::string_view what) {
    if (count < 1) {
        throw RuntimeError(kInvalidCall, ErrorDescription(kInvalidCall) +
                                             ": the listing declares " + std::to_string(count) +
                                             " " + std::string(what));
    }
    return count;
}

TimeStep TimeOfLine(const Catalogue& c, std::string_view line, FilePosition next) {
    TimeStep record;
    record.Position = next;
    try {
        // A time is a number as a whole: stars (a time too wide for its field), a comma or a
        // blank are damage, never a time of 0. A time of -0 is the time 0.
        record.Written = ListingNumber(WordAt(line, 2)) + 0.0;
        record.Time = ToSingle(record.Written) + 0.0f;  // -1e-46 is -0 as a single
    } catch (const RuntimeError& error) {
        RaiseAtLine(c, error.number(), LineNumberAt(c.ListingFile, next - 1),
                    "the time of a result");
    }
    return record;
}

void RaiseAtLine(const Catalogue& c, int number, long long line, std::string_view what) {
    throw RuntimeError(
        number, ErrorDescription(number) + " in " +
                    FileNameToCp1252(std::filesystem::path(c.ListingFile).filename().string()) +
                    ", line " + std::to_string(line) + " (" + std::string(what) + ")");
}

void CountTimes(std::size_t count) {
    // The times are counted in a 16-bit Integer that stands one ahead of the count: the 32767th
    // time overflows it.
    if (count + 1 > static_cast<std::size_t>(std::numeric_limits<Integer>::max())) {
        throw RuntimeError(kOverflow, ErrorDescription(kOverflow) +
                                          ": the listing holds more than " +
                                          std::to_string(std::numeric_limits<Integer>::max() - 1) +
                                          " times, the most the tools can count");
    }
}

void ReadTimes(Catalogue& c, LineReader& in, ProgressReporter& report, EarlyReading* early) {
    std::vector<TimeStep> times;
    while (!in.AtEnd()) {
        std::string_view line;
        if (in.ReadLineContaining("  TIME =", line)) {
            if (in.LastLineUnended()) {
                // The solver is still printing it: "  TIME =     1" may be the start of 1800 s.
                break;
            }
            const TimeStep record = TimeOfLine(c, line, in.Position());
            times.push_back(record);
            if (early != nullptr) {
                early->Found(record);
            }
            CountTimes(times.size());
        }
        report("Reading times...");
    }
    c.Times = std::move(times);
}

}  // namespace velto
