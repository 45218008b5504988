#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "extract/reader/catalogue.h"
#include "extract/reader/exportrequest.h"
#include "extract/reader/extractionresult.h"
#include "extract/reader/rowgate.h"
#include "extract/reader/sinks.h"

namespace velto {

class EarlyReading;

// What an extraction may be handed besides its request: the room a table written out as it is
// read may take, and the values the scan read early (ReadListingHeader). The first structural
// extraction takes the early reading, whatever its request: it keeps the rows when the early
// request was its own, and ends the reading when it was not.
struct ExtractionOptions {
    std::size_t StreamBytes = kStreamBytes;
    std::shared_ptr<EarlyReading> Early;
};

// Reads request.Variable of a structural listing described by `catalogue`, for the request's
// items (every item of its kind when it names none) at its times, into `result` (cleared first).
// The variable is a name the variables list offers ("Displacements", "Beam Stresses", ...);
// where its values stand comes from its entry in the variables table. request.Component is the
// 0-based position of the chosen vector in the vectors list (the DOF, the point along a beam, the
// surface of a shell, or the stress or tangent table).
//
// Each time is reached by seeking to its stored position; the table is found by its heading. For
// beam stresses and tangent moduli the table read is the one whose heading names the chosen
// table. Stops before the next time once `stop` is set (by the user, through the progress
// reports). Reports progress once per time. Never throws: a read error, including a table that
// is not found before the next time or the end of the listing (62), a last line the solver may
// still be printing (62) and a value word that is no number (13), is shown as number + ": " +
// description (no icon), the values read so far are kept and result.ExtractionFailed is set.
//
// With `rows`, each time's row is handed on through it as soon as it is read, for a writer that
// writes them out meanwhile from `result`; the reading ends early when the writer closes it.
// `options` as ExtractionOptions says (its defaults when null).
void ExtractStructuralValues(const Catalogue& catalogue, const ExportRequest& request,
                             ExtractionResult& result, const std::atomic<bool>& stop,
                             ProgressSink& progress, MessageSink& messages, RowGate* rows = nullptr,
                             ExtractionOptions* options = nullptr);

// Reads the nodal temperatures of a thermal listing at the request's times from the
// fixed-column tables. request.Variable names the variable in the progress caption. Failures as
// above.
void ExtractTemperatures(const Catalogue& catalogue, const ExportRequest& request,
                         ExtractionResult& result, const std::atomic<bool>& stop,
                         ProgressSink& progress, MessageSink& messages, RowGate* rows = nullptr,
                         ExtractionOptions* options = nullptr);

// The label the scan gives a beam stress or tangent modulus table: "Beam    5 (Point  1)" for
// "STRESSES IN N/mm² IN BEAM ELEMENT    5, POINT  1".
std::string BeamTableLabel(std::string_view headingLine, std::string_view heading);

}  // namespace velto
