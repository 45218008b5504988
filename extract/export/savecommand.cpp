#include "extract/export/savecommand.h"

#include "common/checked.h"
#include "extract/export/selection.h"
#include "extract/reader/extraction.h"

namespace velto {

SaveResult ExtractForRequest(Catalogue& c, const SaveRequest& request, ProgressSink& progress,
                             MessageSink& messages) {
    SaveResult result;
    c.AbortSave = false;

    VectorList list = BuildVectorList(request.variable, request.from, request.to, request.step);
    c.SelectedVectors = list.vectors;
    c.SelectedVectorCount = static_cast<Long>(list.vectors.size());
    if (list.vectors.empty()) {
        result.problem = list.problem;
        return result;
    }
    c.SelectedTimes = request.times;
    c.SelectedTimeCount = CheckedNarrow<Integer>(static_cast<std::int64_t>(request.times.size()));
    if (request.times.empty()) {
        result.problem = "no time is selected";
        return result;
    }

    if (c.AnalysisKind == kKindThermal) {
        ExtractTemperatures(c, request.variable, progress, messages);
    } else if (c.AnalysisKind == kKindStatic || c.AnalysisKind == kKindDynamic) {
        ExtractStructuralValues(c, request.variable, request.component, progress, messages);
    } else {
        result.problem = "the listing holds no values to export";
        return result;
    }
    if (c.AbortSave) {
        result.outcome = SaveOutcome::Aborted;
    } else if (!c.ListingChanged) {
        // A listing that changed since its scan has been reported; its values are not written.
        result.outcome = SaveOutcome::Extracted;
    }
    return result;
}

SaveResult SaveExport(Catalogue& c, const SaveRequest& request, ProgressSink& progress,
                      MessageSink& messages) {
    SaveResult result = ExtractForRequest(c, request, progress, messages);
    if (result.outcome != SaveOutcome::Extracted) {
        return result;
    }
    result.outcome = SaveOutcome::NotWritten;
    if (WriteSpreadsheet(c, request.fileName, request.variable, request.vectorName, request.layout,
                         messages, request.format)) {
        result.outcome = SaveOutcome::Written;
    }
    return result;
}

}  // namespace velto
