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
    early.OnRow = [sheet](const TimeStep& time, std::span<const Single> row) {
        return sheet->Row(time, row);
    };
    return sheet;
}

EarlySheet::EarlySheet(const SaveRequest& request, const std::vector<Long>& items)
    : request_(request), items_(items), save_(request.fileName) {
    sheet_ = MakeSheetWriter(SheetFormat::Xls);
    const long columns = std::max(static_cast<long>(items.size()) + 1, 2L);
    sheet_->Open(save_.WritePath(), 3, columns);
    sheet_->PageSettings(request.page, columns);
    WriteTimeRowsHeading(*sheet_, request.variable, request.vectorName, items);
}

bool EarlySheet::Row(const TimeStep& time, std::span<const Single> row) {
    const std::lock_guard lock(mutex_);
    if (failed_) {
        return false;
    }
    try {
        times_.push_back(time.Time);
        WriteTimeRow(*sheet_, static_cast<Integer>(times_.size()), time.Time, row);
    } catch (...) {
        // A full disk, a time beyond the sheet's last row: the save writes the sheet itself,
        // and says what stops it.
        failed_ = true;
    }
    return !failed_;
}

bool EarlySheet::MayBeTheSheetOf(const Catalogue& c, const SaveRequest& request) const {
    const std::lock_guard lock(mutex_);
    if (failed_ || request.fileName != request_.fileName || request.format != request_.format ||
        request.layout != request_.layout || request.variable != request_.variable ||
        request.component != request_.component || request.vectorName != request_.vectorName ||
        !(request.page == request_.page) || times_.size() != c.Times.size() ||
        request.times.size() != c.Times.size()) {
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
    const auto rows = static_cast<Integer>(times_.size());
    return !failed_ && chosen.Items == items_ && read.Values.Held() == items_ &&
           read.Values.Times() == rows && read.ReadDuringScan == rows;
}

bool EarlySheet::Commit(const std::atomic<bool>& stop, ProgressSink* progress) {
    const std::lock_guard lock(mutex_);
    sheet_->Close();
    return CommitSheet(save_, stop, progress);
}

}  // namespace velto
