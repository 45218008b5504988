#include "extract/export/savecommand.h"

#include <sys/stat.h>

#include <chrono>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>

#include "common/atomicsave.h"
#include "common/checked.h"
#include "common/error.h"
#include "extract/export/earlysheet.h"
#include "extract/export/layout.h"
#include "extract/export/selection.h"
#include "extract/export/timeselection.h"
#include "extract/reader/earlyreading.h"
#include "extract/reader/extraction.h"
#include "extract/reader/variables.h"

namespace velto {

namespace {

// The message of a failure no step of the command turned into one of its own: whatever goes
// wrong, the user is told and the window (or the command line) carries on.
void ShowUnexpected(MessageSink& messages, int number) {
    messages.ShowMessage(std::to_string(number) + ": " + ErrorDescription(number),
                         MessageIcon::Critical, kExtractTitle);
}

template <typename Body>
SaveResult Guarded(MessageSink& messages, Body&& body) {
    try {
        return body();
    } catch (const RuntimeError& error) {
        ShowUnexpected(messages, error.number());
    } catch (const std::exception& error) {
        ShowUnexpected(messages, UnexpectedErrorNumber(error));
    }
    return SaveResult{};
}

// Each item takes at least a byte of each table in the listing: more items than the listing has
// bytes cannot be read, and are refused before their list is held.
bool MoreItemsThanTheListingHolds(const Catalogue& c, const SaveRequest& request) {
    const std::optional<long long> count =
        VectorCount(request.variable, request.from, request.to, request.step);
    struct stat listing {};
    return count && ::stat(c.ListingFile.c_str(), &listing) == 0 && *count > listing.st_size;
}

// Runs the extraction that suits the listing for the request's items and times.
SaveResult ReadChosen(const Catalogue& c, const ExportRequest& chosen, ExtractionResult& read,
                      const std::atomic<bool>& stop, ProgressSink& progress, MessageSink& messages,
                      RowGate* rows = nullptr, ExtractionOptions* options = nullptr) {
    SaveResult result;
    if (c.AnalysisKind == kKindThermal) {
        ExtractTemperatures(c, chosen, read, stop, progress, messages, rows, options);
    } else if (c.AnalysisKind == kKindStatic || c.AnalysisKind == kKindDynamic) {
        ExtractStructuralValues(c, chosen, read, stop, progress, messages, rows, options);
    } else {
        result.problem = "the listing holds no values to export";
        return result;
    }
    if (stop) {
        result.outcome = SaveOutcome::Aborted;
    } else if (read.Values.Times() == 0) {
        // The extraction failed before it held a value (the listing gone, a count it could not
        // hold): its message has been shown, and there is nothing to write.
    } else if (!read.ListingChanged && !read.ExtractionFailed) {
        // A listing that changed since its scan, or a value that could not be read, has been
        // reported: the values held are not all the listing's, and are not written.
        result.outcome = SaveOutcome::Extracted;
    }
    return result;
}

// Makes the request's items and times into `chosen` and reads them into `read`. Both start
// empty: what a refused request leaves is never taken for an earlier request's values.
SaveResult Extract(const Catalogue& c, const SaveRequest& request, ExportRequest& chosen,
                   ExtractionResult& read, const std::atomic<bool>& stop, ProgressSink& progress,
                   MessageSink& messages, RowGate* rows, ExtractionOptions* options) {
    SaveResult result;
    chosen = ExportRequest{request.variable, request.component, {}, {}};
    read = ExtractionResult();

    if (MoreItemsThanTheListingHolds(c, request)) {
        messages.ShowMessage(std::to_string(kInputPastEnd) + ": " + ErrorDescription(kInputPastEnd),
                             MessageIcon::None, kExtractTitle);
        return result;
    }
    VectorList list = BuildVectorList(request.variable, request.from, request.to, request.step);
    chosen.Items = list.vectors;
    if (list.vectors.empty()) {
        result.problem = list.problem;
        return result;
    }
    // The value table numbers the chosen times in a 16-bit Integer: more overflow it.
    CheckedNarrow<Integer>(static_cast<std::int64_t>(request.times.size()));
    chosen.Times = request.times;
    if (request.times.empty()) {
        result.problem = "no time is selected";
        return result;
    }

    return ReadChosen(c, chosen, read, stop, progress, messages, rows, options);
}

// Below this many values the sheet is written after the reading: a thread to write it while
// reading would cost more to start than it saves. Only a sheet with a row per time can be written
// as the times are read.
constexpr long long kValuesWorthWritingAsRead = 1 << 16;

bool WorthWritingAsRead(const SaveRequest& request, std::optional<long long> vectors) {
    return request.layout == TimeLayout::InRows && vectors &&
           *vectors * static_cast<long long>(request.times.size()) >= kValuesWorthWritingAsRead &&
           std::thread::hardware_concurrency() >= 2;
}

// Reads the values and writes the sheet at once, each time's row written as soon as it is read.
SaveResult ExtractAndWrite(const Catalogue& c, const SaveRequest& request, ExportRequest& chosen,
                           ExtractionResult& read, const std::atomic<bool>& stop,
                           ProgressSink& progress, MessageSink& messages,
                           ExtractionOptions* options) {
    SaveResult result;
    std::exception_ptr readFailure;
    const bool written = WriteSpreadsheetAsRead(
        c, chosen, read, request.fileName, request.vectorName, request.layout, stop, messages,
        request.format, &progress,
        [&](RowGate& rows) {
            try {
                result =
                    Extract(c, request, chosen, read, stop, progress, messages, &rows, options);
            } catch (...) {
                readFailure = std::current_exception();
                return false;
            }
            return result.outcome == SaveOutcome::Extracted;
        },
        request.page);
    if (read.Values.Window() > 0) {
        // Its rows hold the last times written only: no one may take them for the extraction.
        read.Values = ValueTable();
    }
    if (readFailure) {
        std::rethrow_exception(readFailure);
    }
    if (result.outcome != SaveOutcome::Extracted) {
        return result;
    }
    result.outcome = written ? SaveOutcome::Written
                     : stop  ? SaveOutcome::Aborted
                             : SaveOutcome::NotWritten;
    return result;
}

// Reads the values and ends the sheet begun while the listing was scanned, when it is the sheet of
// this request, to be saved in the file `place` (the save's check of its target) names now;
// none, with the sheet given up, when it cannot be, before anything is read.
std::optional<SaveResult> EndEarlySheet(const Catalogue& c, const SaveRequest& request,
                                        ExportRequest& chosen, ExtractionResult& read,
                                        const std::atomic<bool>& stop, ProgressSink& progress,
                                        MessageSink& messages, ExtractionOptions* options,
                                        EarlySheet& early, std::optional<AtomicSave>& place) {
    if (options == nullptr || !options->Early) {
        early.Abandon();
        return std::nullopt;
    }
    // A reading that fell behind the scan reads the rest faster after it, on two threads, than
    // on its own: the sheet is given up then, and the rest read and written as ever.
    const std::size_t times = c.Times.size();
    if (!EarlySheet::KeepsUp(early.RowsHanded(), times)) {
        early.Abandon();
        return std::nullopt;
    }
    // Its last rows may be being read and written still: the user can see them go, and stop.
    const auto total = static_cast<Single>(std::max<std::size_t>(times, 1));
    while (!options->Early->WaitFinished(std::chrono::milliseconds(50)) ||
           !early.WaitWritten(std::chrono::milliseconds(50))) {
        progress.UpdateProgress(static_cast<Single>(early.RowsWritten()) / total, kWritingCaption);
        if (stop) {
            return SaveResult{SaveOutcome::Aborted, {}};
        }
    }
    const bool mayBe = early.MayBeTheSheetOf(c, request, *place);
    place.reset();
    if (!mayBe) {
        early.Abandon();
        return std::nullopt;
    }
    SaveResult result =
        Extract(c, request, chosen, read, stop, progress, messages, nullptr, options);
    if (result.outcome != SaveOutcome::Extracted) {
        return result;
    }
    result.outcome = SaveOutcome::NotWritten;
    bool written = false;
    if (early.IsTheSheetOf(chosen, read)) {
        try {
            written = early.Commit(stop, &progress);
        } catch (const RuntimeError& error) {
            messages.ShowSaveFailure(request.fileName, error);
        } catch (const std::exception& error) {
            messages.ShowSaveFailure(request.fileName, RuntimeError(UnexpectedErrorNumber(error)));
        }
    } else {
        // Every value is held already: the sheet is written from them.
        early.Abandon();
        written =
            WriteSpreadsheet(c, chosen, read, request.fileName, request.vectorName, request.layout,
                             stop, messages, request.format, &progress, request.page);
    }
    if (written) {
        result.outcome = SaveOutcome::Written;
    } else if (stop) {
        result.outcome = SaveOutcome::Aborted;
    }
    return result;
}

}  // namespace

SaveResult ExtractForRequest(const Catalogue& c, const SaveRequest& request, ExportRequest& chosen,
                             ExtractionResult& read, const std::atomic<bool>& stop,
                             ProgressSink& progress, MessageSink& messages,
                             ExtractionOptions* options) {
    return Guarded(messages, [&] {
        return Extract(c, request, chosen, read, stop, progress, messages, nullptr, options);
    });
}

SaveResult ExtractItems(const Catalogue& c, const ExportRequest& request, ExtractionResult& read,
                        const std::atomic<bool>& stop, ProgressSink& progress,
                        MessageSink& messages) {
    return Guarded(messages, [&] {
        CheckedNarrow<Integer>(static_cast<std::int64_t>(request.Times.size()));
        return ReadChosen(c, request, read, stop, progress, messages);
    });
}

SaveResult SaveExport(const Catalogue& c, const SaveRequest& request, ExportRequest& chosen,
                      ExtractionResult& read, const std::atomic<bool>& stop, ProgressSink& progress,
                      MessageSink& messages, ExtractionOptions* options, EarlySheet* early) {
    return Guarded(messages, [&] {
        // A target that cannot be saved (the listing itself, another user's link, a folder we
        // may not write) is refused before the values are read, not after.
        std::optional<AtomicSave> probe;
        try {
            try {
                probe.emplace(request.fileName);
            } catch (const RuntimeError&) {
                if (early == nullptr) {
                    throw;
                }
                // What the sheet begun during the scan holds (descriptors, room on the disk)
                // may be what the save lacks: the save goes on without it.
                early->Abandon();
                early = nullptr;
                probe.emplace(request.fileName);
            }
        } catch (const RuntimeError& error) {
            messages.ShowSaveFailure(request.fileName, error);
            return SaveResult{};
        }
        if (early == nullptr) {
            probe.reset();
        }
        // A sheet too large for the format is refused before the values are read, not after.
        const std::optional<long long> count =
            VectorCount(request.variable, request.from, request.to, request.step);
        if (count) {
            const std::string problem =
                SheetLimitProblem(*count, static_cast<long long>(request.times.size()),
                                  request.layout, request.format);
            if (!problem.empty()) {
                messages.ShowMessage(problem, MessageIcon::Critical, kExtractTitle);
                return SaveResult{};
            }
        }
        // So are page settings the format cannot hold.
        if (const std::string problem = PageSetupProblem(request.page, request.format);
            !problem.empty()) {
            messages.ShowMessage(problem, MessageIcon::Critical, kExtractTitle);
            return SaveResult{};
        }
        if (early != nullptr) {
            if (std::optional<SaveResult> ended = EndEarlySheet(
                    c, request, chosen, read, stop, progress, messages, options, *early, probe)) {
                return *ended;
            }
        }
        if (WorthWritingAsRead(request, count)) {
            return ExtractAndWrite(c, request, chosen, read, stop, progress, messages, options);
        }
        SaveResult result =
            Extract(c, request, chosen, read, stop, progress, messages, nullptr, options);
        if (result.outcome != SaveOutcome::Extracted) {
            return result;
        }
        result.outcome = SaveOutcome::NotWritten;
        if (WriteSpreadsheet(c, chosen, read, request.fileName, request.vectorName, request.layout,
                             stop, messages, request.format, &progress, request.page)) {
            result.outcome = SaveOutcome::Written;
        } else if (stop) {
            result.outcome = SaveOutcome::Aborted;
        }
        return result;
    });
}

std::string MissingValuesNote(const Catalogue& c, const ExportRequest& request,
                              const ExtractionResult& read) {
    const std::string_view variable = request.Variable;
    const ExtractionResult::Missing& missing = read.MissingValues;
    if (missing.count == 0) {
        return {};
    }
    std::string first;
    const VariableSpec* spec = FindVariable(variable);
    if (spec != nullptr && spec->HasRange()) {
        first = std::string(spec->ItemWord) + " " + std::to_string(missing.item) + " ";
    }
    if (missing.time >= 1 && static_cast<std::size_t>(missing.time) <= request.Times.size()) {
        const Integer record = request.Times[static_cast<std::size_t>(missing.time - 1)];
        if (record >= 1 && static_cast<std::size_t>(record) <= c.Times.size()) {
            first += "at " + TimeText(c.Times[static_cast<std::size_t>(record - 1)].Time) + " s";
        }
    }
    return std::to_string(missing.count) + (missing.count == 1 ? " value is" : " values are") +
           " missing from the listing's lines and stand" + (missing.count == 1 ? "s" : "") +
           " as 0; the first is " + first + ".";
}

}  // namespace velto
