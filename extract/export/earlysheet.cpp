#include "extract/export/earlysheet.h"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "extract/export/layout.h"

namespace velto {

std::shared_ptr<EarlySheet> EarlySheet::Start(const SaveRequest& request, EarlyRequest& early) {
    const std::vector<Long>& items = early.Vectors;
    if (request.format != SheetFormat::Xls || request.layout != TimeLayout::InRows ||
        items.empty() ||
        !SheetLimitProblem(static_cast<long long>(items.size()), 1, TimeLayout::InRows,
                           SheetFormat::Xls)
             .empty() ||
        !PageSetupProblem(request.page, request.format).empty()) {
        return nullptr;
    }
    std::shared_ptr<EarlySheet> sheet;
    try {
        sheet.reset(new EarlySheet(request, items));
    } catch (...) {
        return nullptr;  // the save finds the same again, and says what it is
    }
    early.OnRow = [sheet](const TimeStep& time, std::span<const Single> row, std::size_t found) {
        return sheet->Row(time, row, found);
    };
    return sheet;
}

EarlySheet::EarlySheet(const SaveRequest& request, const std::vector<Long>& items)
    : request_(request), items_(items) {
    save_.emplace(request.fileName);
    sheet_ = MakeSheetWriter(SheetFormat::Xls);
    const long columns = std::max(static_cast<long>(items.size()) + 1, 2L);
    sheet_->Open(save_->WritePath(), 3, columns);
    sheet_->PageSettings(request.page, columns);
    WriteTimeRowsHeading(*sheet_, request.variable, request.vectorName, items);
    writer_ = std::thread([this] { Write(); });
}

EarlySheet::~EarlySheet() {
    StopWriting();
}

void EarlySheet::StopWriting() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
}

bool EarlySheet::Row(const TimeStep& time, std::span<const Single> row, std::size_t found) {
    std::unique_lock lock(mutex_);
    if (!KeepsUp(times_.size() + 1, found)) {
        failed_ = true;
        return false;
    }
    // The reading waits for a writer that falls behind, rather than holding the rows twice.
    changed_.wait(
        lock, [&] { return stop_ || failed_ || queued_.size() * sizeof(Single) < kQueuedBytes; });
    if (stop_ || failed_) {
        return false;
    }
    const bool idle = queued_.empty() && !writing_;
    times_.push_back(time.Time);
    queued_.push_back(time.Time);
    queued_.insert(queued_.end(), row.begin(), row.end());
    lock.unlock();
    if (idle) {
        changed_.notify_all();
    }
    return true;
}

void EarlySheet::Write() {
    const std::size_t width = items_.size() + 1;
    std::vector<Single> rows;
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return stop_ || !queued_.empty(); });
        if (stop_) {
            return;
        }
        rows.swap(queued_);
        writing_ = true;
        const std::size_t first = written_;
        lock.unlock();
        changed_.notify_all();  // room for the reading again
        bool failed = false;
        std::size_t done = 0;
        try {
            for (; done * width < rows.size(); ++done) {
                const std::span<const Single> row(rows.data() + done * width, width);
                WriteTimeRow(*sheet_, static_cast<Integer>(first + done + 1), row.front(),
                             row.subspan(1));
            }
        } catch (...) {
            // A full disk, a time beyond the sheet's last row: the save writes the sheet itself,
            // and says what stops it.
            failed = true;
        }
        rows.clear();
        lock.lock();
        written_ = first + done;
        writing_ = false;
        if (failed) {
            failed_ = true;
            queued_.clear();
        }
        changed_.notify_all();
        if (failed) {
            return;
        }
    }
}

bool EarlySheet::WaitWritten(std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience,
                             [&] { return failed_ || (queued_.empty() && !writing_); });
}

std::size_t EarlySheet::RowsWritten() const {
    const std::lock_guard lock(mutex_);
    return written_;
}

std::size_t EarlySheet::RowsHanded() const {
    const std::lock_guard lock(mutex_);
    return times_.size();
}

bool EarlySheet::MayBeTheSheetOf(const Catalogue& c, const SaveRequest& request,
                                 const AtomicSave& place) const {
    const std::lock_guard lock(mutex_);
    if (!save_ || failed_ || written_ != times_.size() || request.fileName != request_.fileName ||
        request.format != request_.format || request.layout != request_.layout ||
        request.variable != request_.variable || request.component != request_.component ||
        request.vectorName != request_.vectorName || !(request.page == request_.page) ||
        times_.size() != c.Times.size() || request.times.size() != c.Times.size() ||
        // A target made another file while the listing was scanned (a link made or changed, the
        // folder replaced) is the save's to write as it finds it now.
        !save_->SamePlace(place)) {
        return false;
    }
    for (std::size_t j = 0; j < times_.size(); ++j) {
        // A time is compared by its bits: the sheet holds the one the scan found.
        if (request.times[j] != static_cast<Integer>(j + 1) ||
            std::bit_cast<std::uint32_t>(times_[j]) !=
                std::bit_cast<std::uint32_t>(c.Times[j].Time)) {
            return false;
        }
    }
    return true;
}

bool EarlySheet::IsTheSheetOf(const ExportRequest& chosen, const ExtractionResult& read) const {
    const std::lock_guard lock(mutex_);
    const auto rows = static_cast<Integer>(written_);
    return save_ && !failed_ && chosen.Items == items_ && read.Values.Held() == items_ &&
           read.Values.Times() == rows && read.ReadDuringScan == rows;
}

bool EarlySheet::Commit(const std::atomic<bool>& stop, ProgressSink* progress) {
    StopWriting();
    sheet_->Close();
    return CommitSheet(*save_, stop, progress);
}

void EarlySheet::Abandon() {
    StopWriting();
    const std::lock_guard lock(mutex_);
    failed_ = true;
    sheet_.reset();
    save_.reset();
}

}  // namespace velto
