#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
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
// a thread of the sheet's own writes it, and the save that follows the scan has only to end the
// file and put it in the target's place. Its bytes are those the save would write from the
// extraction. A save that finds it is not that sheet (other choices, a time the scan let go, a
// row that could not be read or written, a target that is no longer the file it named) writes
// its own as ever, and this one goes, leaving nothing behind.
class EarlySheet {
  public:
    // The sheet a save of `request` (its file name, variable, vector and page setup) makes of
    // the items `early` reads, begun in a save of that file; `early` then hands its rows on to
    // it. Null, with `early` as it was, for a request whose sheet is not written this way
    // (another format or layout, more items than columns) and for a target that cannot be saved:
    // the save itself says why.
    static std::shared_ptr<EarlySheet> Start(const SaveRequest& request, EarlyRequest& early);
    ~EarlySheet();
    EarlySheet(const EarlySheet&) = delete;
    EarlySheet& operator=(const EarlySheet&) = delete;

    // The listing's next time and its row, on the early reading's thread, when the scan has
    // found `found` times: queued for the sheet's writer, waiting while it holds a few megabytes
    // to write already. False once no more are wanted: a row could not be written, or the reading
    // fell behind the scan (KeepsUp).
    bool Row(const TimeStep& time, std::span<const Single> row, std::size_t found);
    // Whether a reading that has read `read` of the `found` times the scan found keeps up with
    // it: a reading that falls far behind (a wide table of which few items are read) reads the
    // rest faster after the scan, on two threads, and the sheet is then written as ever, after
    // the scan. A busy host may hold the reading back for a while: a quarter of the times is
    // left to make up for that.
    static bool KeepsUp(std::size_t read, std::size_t found) {
        return found <= read || found - read <= found / 4 + 256;
    }
    // Waits at most `patience` for the rows handed on to be written; true once they are.
    bool WaitWritten(std::chrono::milliseconds patience);
    // How many rows are written.
    std::size_t RowsWritten() const;
    // How many rows were handed on.
    std::size_t RowsHanded() const;

    // Whether it may be the sheet a save of `request` writes of listing `c` into the file
    // `place` names now (the save's own, made just before), once every row handed on is
    // written: the same file and choices, every time of the listing chosen in order, and a row of
    // each written, its time as the listing gives it.
    bool MayBeTheSheetOf(const Catalogue& c, const SaveRequest& request,
                         const AtomicSave& place) const;
    // And, after the extraction, whether it is: the items the extraction chose, in the order the
    // rows hold them, and every row one the extraction took from the scan's reading.
    bool IsTheSheetOf(const ExportRequest& chosen, const ExtractionResult& read) const;

    // Ends the file and puts it in the target's place; false when the user stopped it. Raises
    // as a save does.
    bool Commit(const std::atomic<bool>& stop, ProgressSink* progress);
    // Gives the sheet up: its file and its save's folder go, and the descriptors they held.
    void Abandon();

  private:
    EarlySheet(const SaveRequest& request, const std::vector<Long>& items);
    void Write();
    void StopWriting();

    static constexpr std::size_t kQueuedBytes = std::size_t{4} << 20;

    SaveRequest request_;
    std::vector<Long> items_;
    std::optional<AtomicSave> save_;
    std::unique_ptr<SheetWriter> sheet_;  // closed before the save goes
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Rows handed on and not yet written: each its time, then its values.
    std::vector<Single> queued_;
    bool writing_ = false;  // the writer holds rows taken from the queue
    bool stop_ = false;
    bool failed_ = false;
    std::vector<Single> times_;  // the times of the rows handed on
    std::size_t written_ = 0;
    std::thread writer_;
};

}  // namespace velto
