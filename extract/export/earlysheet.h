#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "common/atomicsave.h"
#include "common/types.h"
#include "extract/export/savecommand.h"
#include "extract/export/sheetwriter.h"
#include "extract/reader/catalogue.h"
#include "extract/reader/exportrequest.h"
#include "extract/reader/extractionresult.h"
#include "extract/reader/scanoptions.h"
#include "extract/reader/sinks.h"

namespace velto {

// The .xls sheet of an export of every time in rows, written while the scan finds the times: the
// scan's early reading hands each time's row on as soon as it has read it (EarlyRequest::OnRow),
// so the save that follows the scan has only to end the file and put it in the target's place.
// Its bytes are those the save would write from the extraction. A save that finds it is not that
// sheet (other choices, a time the scan let go, a row that could not be read or written) writes
// its own as ever, and this one goes, leaving nothing behind.
class EarlySheet {
  public:
    // The sheet a save of `request` (its file name, variable, vector and page setup) makes of
    // the items `early` reads, begun in a save of that file; `early` then hands its rows on to
    // it. Null, with `early` as it was, for a request whose sheet is not written this way
    // (another format or layout, more items than columns) and for a target that cannot be saved:
    // the save itself says why.
    static std::shared_ptr<EarlySheet> Start(const SaveRequest& request, EarlyRequest& early);
    EarlySheet(const EarlySheet&) = delete;
    EarlySheet& operator=(const EarlySheet&) = delete;

    // The listing's next time and its row, on the early reading's thread. False once a row could
    // not be written: no more are wanted.
    bool Row(const TimeStep& time, std::span<const Single> row);

    // Whether it may be the sheet a save of `request` writes of listing `c`, once the reading
    // that hands it rows has ended: the same file and choices, every time of the listing
    // chosen in order, and a row of each written, its time as the listing gives it.
    bool MayBeTheSheetOf(const Catalogue& c, const SaveRequest& request) const;
    // And, after the extraction, whether it is: the items the extraction chose, in the order the
    // rows hold them, and every row one the extraction took from the scan's reading.
    bool IsTheSheetOf(const ExportRequest& chosen, const ExtractionResult& read) const;

    // Ends the file and puts it in the target's place; false when the user stopped it. Raises
    // as a save does.
    bool Commit(const std::atomic<bool>& stop, ProgressSink* progress);

  private:
    EarlySheet(const SaveRequest& request, const std::vector<Long>& items);

    SaveRequest request_;
    std::vector<Long> items_;
    AtomicSave save_;
    std::unique_ptr<SheetWriter> sheet_;  // closed before the save goes
    mutable std::mutex mutex_;
    std::vector<Single> times_;  // the times of the rows written
    bool failed_ = false;
};

}  // namespace velto
