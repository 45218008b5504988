#include "extract/export/layout.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include "common/atomicsave.h"
#include "common/checked.h"
#include "common/error.h"
#include "extract/export/excelfile.h"
#include "extract/export/timeselection.h"
#include "extract/reader/variables.h"

namespace velto {

namespace {

// Thrown when the user stops a save while the file is being written.
struct SaveAborted {};

// Passes the cells on to the writer, reporting progress as the rows go by and stopping the save
// when the user asks: a large sheet takes a while to write, and a stop must hold until the file
// takes the target's place.
class WatchedSheet final : public SheetWriter {
  public:
    // `stopped` says whether the user asked to stop; `written` hears of each row begun.
    WatchedSheet(SheetWriter& inner, std::function<bool()> stopped, ProgressSink* progress,
                 long rows, std::function<void(long)> written = {})
        : inner_(inner),
          stopped_(std::move(stopped)),
          written_(std::move(written)),
          progress_(progress),
          rows_(std::max(rows, 1L)) {}
    void Open(const std::string& path, long rows, long columns) override {
        inner_.Open(path, rows, columns);
    }
    void PageSettings(const PageSetup& page, long columns) override {
        inner_.PageSettings(page, columns);
    }
    void Text(long row, long col, std::string_view text) override {
        Reached(row);
        inner_.Text(row, col, text);
    }
    void Number(long row, long col, double value) override {
        Reached(row);
        inner_.Number(row, col, value);
    }
    void ListingSingle(long row, long col, float value) override {
        Reached(row);
        inner_.ListingSingle(row, col, value);
    }
    void ListingRow(long row, long col, std::span<const float> values) override {
        Reached(row);
        inner_.ListingRow(row, col, values);
    }
    void Close() override { inner_.Close(); }

  private:
    void Reached(long row) {
        if (row == row_) {
            return;
        }
        row_ = row;
        if (written_) {
            written_(row - 1);
        }
        if (progress_ != nullptr && (row % 64 == 0 || row == rows_)) {
            progress_->UpdateProgress(static_cast<Single>(row) / static_cast<Single>(rows_),
                                      kWritingCaption);
        }
        if (stopped_()) {
            throw SaveAborted{};
        }
    }

    SheetWriter& inner_;
    std::function<bool()> stopped_;
    std::function<void(long)> written_;
    ProgressSink* progress_;
    long rows_;
    long row_ = 0;
};

// Writes the sheet through an AtomicSave: false when the user stopped it (nothing written).
bool WriteReplacing(const Catalogue& c, const ExportRequest& request,
                    const ExtractionResult& result, const std::string& fileName,
                    std::string_view vectorName, TimeLayout layout, SheetFormat format,
                    const std::atomic<bool>& stop, ProgressSink* progress, const PageSetup& page) {
    AtomicSave save(fileName);
    try {
        std::unique_ptr<SheetWriter> sheet = MakeSheetWriter(format);
        const SheetExtent extent = ExtentOf(request, layout);
        WatchedSheet watched(
            *sheet, [&stop] { return stop.load(); }, progress, extent.rows);
        watched.Open(save.WritePath(), extent.rows, extent.columns);
        watched.PageSettings(page, extent.columns);
        WriteSheetCells(c, request, result, vectorName, layout, watched);
        watched.Close();
    } catch (const SaveAborted&) {
        return false;
    }
    return CommitSheet(save, stop, progress);
}

}  // namespace

bool CommitSheet(AtomicSave& save, const std::atomic<bool>& stop, ProgressSink* progress) {
    // A stop that comes while the file is completed (an xlsx is zipped at the end) still holds:
    // a last progress report lets it reach us before the file takes the target's place.
    return save.Commit([&] {
        if (progress != nullptr) {
            progress->UpdateProgress(1, kWritingCaption);
        }
        return !stop;
    });
}

SheetExtent ExtentOf(const ExportRequest& request, TimeLayout layout) {
    const long vectors = static_cast<long>(request.Items.size());
    const long times = static_cast<long>(request.Times.size());
    const long across = layout == TimeLayout::InRows ? vectors : times;
    const long down = layout == TimeLayout::InRows ? times : vectors;
    // The variable and vector rows use two columns whatever the table's width.
    return {down + 3, std::max(across + 1, 2L)};
}

std::string SheetLimitProblem(long long vectors, long long times, TimeLayout layout,
                              SheetFormat format) {
    const SheetLimits limits = LimitsOf(format);
    const long long across = layout == TimeLayout::InRows ? vectors : times;
    const long long down = layout == TimeLayout::InRows ? times : vectors;
    if (limits.columns > 0 && across > limits.columns - 1) {
        return "The maximum number of columns in Excel is " + std::to_string(limits.columns) +
               ". Cannot create file.";
    }
    if (limits.rows > 0 && down + 3 > limits.rows) {
        return "The maximum number of rows in Excel is " + std::to_string(limits.rows) +
               ". Cannot create file.";
    }
    return {};
}

std::string SheetLimitProblem(const ExportRequest& request, TimeLayout layout, SheetFormat format) {
    return SheetLimitProblem(static_cast<long long>(request.Items.size()),
                             static_cast<long long>(request.Times.size()), layout, format);
}

void WriteTimeRowsHeading(SheetWriter& sheet, std::string_view variable,
                          std::string_view vectorName, const std::vector<Long>& items) {
    const VariableSpec* spec = FindVariable(variable);
    const std::string item = spec != nullptr ? std::string(spec->ItemWord) : std::string();
    sheet.Text(1, 1, "Variable");
    sheet.Text(1, 2, variable);
    sheet.Text(2, 1, "Vector");
    sheet.Text(2, 2, vectorName);
    sheet.Text(3, 1, "Time");
    for (std::size_t i = 0; i < items.size(); ++i) {
        sheet.Text(3, static_cast<long>(i) + 2, item + " " + std::to_string(items[i]));
    }
}

void WriteTimeRow(SheetWriter& sheet, Integer j, Single time, std::span<const Single> values) {
    sheet.ListingSingle(j + 3, 1, time);
    sheet.ListingRow(j + 3, 2, values);
}

void WriteSheetCells(const Catalogue& c, const ExportRequest& request,
                     const ExtractionResult& result, std::string_view vectorName, TimeLayout layout,
                     SheetWriter& sheet, RowGate* rows) {
    const std::string_view variable = request.Variable;
    const ValueTable& values = result.Values;
    const VariableSpec* spec = FindVariable(variable);
    const std::string item = spec != nullptr ? std::string(spec->ItemWord) : std::string();
    const Long vectors = static_cast<Long>(request.Items.size());
    const Integer times = CheckedNarrow<Integer>(static_cast<std::int64_t>(request.Times.size()));
    auto label = [&](Long v) { return item + " " + std::to_string(v); };
    auto vector = [&](Long i) {
        if (i < 1 || static_cast<std::size_t>(i) > request.Items.size()) {
            Raise(kSubscriptOutOfRange);
        }
        return request.Items[static_cast<std::size_t>(i - 1)];
    };
    auto time = [&](Integer j) {
        if (j < 1 || static_cast<std::size_t>(j) > request.Times.size()) {
            Raise(kSubscriptOutOfRange);
        }
        Integer record = request.Times[static_cast<std::size_t>(j - 1)];
        if (record < 1 || static_cast<std::size_t>(record) > c.Times.size()) {
            Raise(kSubscriptOutOfRange);
        }
        return c.Times[static_cast<std::size_t>(record - 1)].Time;
    };

    if (layout == TimeLayout::InRows) {
        WriteTimeRowsHeading(sheet, variable, vectorName, request.Items);
        // Items chosen in ascending order, each once (as the ranges choose them), are the table's
        // own rows as they stand; any other choice is gathered row by row.
        const bool inHeldOrder = request.Items == values.Held();
        std::vector<Single> row(inHeldOrder ? 0 : request.Items.size());
        for (Integer j = 1; j <= times; ++j) {
            if (rows != nullptr && !rows->WaitFor(j)) {
                throw SaveAborted{};
            }
            if (inHeldOrder) {
                WriteTimeRow(sheet, j, time(j), values.Row(j));
            } else {
                for (Long i = 1; i <= vectors; ++i) {
                    row[static_cast<std::size_t>(i - 1)] = values.At(vector(i), j);
                }
                WriteTimeRow(sheet, j, time(j), row);
            }
            if (rows != nullptr) {
                rows->TimeWritten(j);
            }
        }
    } else {
        sheet.Text(1, 1, "Variable");
        sheet.Text(1, 2, variable);
        sheet.Text(2, 1, "Vector");
        sheet.Text(2, 2, vectorName);
        // Each row of this sheet takes a value of every time: all of them must be read first.
        for (Integer j = 1; rows != nullptr && j <= times; ++j) {
            if (!rows->WaitFor(j)) {
                throw SaveAborted{};
            }
        }
        // Each row goes to the sheet in one call, as in the other layout: a writer then pays its
        // own costs per row rather than per cell.
        std::vector<Single> row(static_cast<std::size_t>(times));
        sheet.Text(3, 1, item);
        for (Integer j = 1; j <= times; ++j) {
            row[static_cast<std::size_t>(j - 1)] = time(j);
        }
        sheet.ListingRow(3, 2, row);
        for (Long i = 1; i <= vectors; ++i) {
            sheet.Text(i + 3, 1, label(vector(i)));
            const Long v = vector(i);
            for (Integer j = 1; j <= times; ++j) {
                row[static_cast<std::size_t>(j - 1)] = values.At(v, j);
            }
            sheet.ListingRow(i + 3, 2, row);
        }
    }
}

namespace {

// Runs of blanks folded, and the characters Excel refuses in a sheet name as "_".
std::string SheetWords(std::string_view text) {
    std::string words;
    for (const char ch : text) {
        if (ch == ' ' && (words.empty() || words.back() == ' ')) {
            continue;
        }
        words += std::string_view("[]:*?/\\").find(ch) == std::string_view::npos ? ch : '_';
    }
    while (!words.empty() && words.back() == ' ') {
        words.pop_back();
    }
    return words;
}

// A beam table's label in few characters: "Beam    10 (Point  2)" as "B10 P2".
std::string ShortTableLabel(const std::string& label) {
    unsigned beam = 0;
    unsigned point = 0;
    char end = 0;
    if (std::sscanf(label.c_str(), "Beam %u (Point %u%c", &beam, &point, &end) == 3 && end == ')') {
        return "B" + std::to_string(beam) + " P" + std::to_string(point);
    }
    return label;
}

}  // namespace

std::string WorkbookSheetName(std::string_view variable, std::string_view vector,
                              const std::vector<std::string>& taken) {
    // The vector tells the sheets of one variable apart: it is kept whole, and the variable's
    // name is cut to make room.
    const std::string tail = ShortTableLabel(SheetWords(vector));
    const std::string head = SheetWords(variable);
    constexpr std::size_t kLongest = 31;
    auto named = [&](const std::string& number) {
        const std::string ending = (tail.empty() ? "" : " " + tail) + number;
        std::string stem = head.substr(0, kLongest - std::min(ending.size(), kLongest));
        while (!stem.empty() && stem.back() == ' ') {
            stem.pop_back();
        }
        return (stem + ending).substr(0, kLongest);
    };
    // Excel tells sheet names apart without regard to case, as the lists find their entries.
    std::string candidate = named("");
    for (int n = 2; FindListString(taken, candidate) >= 0; ++n) {
        candidate = named(" (" + std::to_string(n) + ")");
    }
    return candidate;
}

namespace {

// The thread that writes the rows as the reading hands them on. However the reading ends (done,
// failed, stopped, or thrown), the gate is closed and the writer is waited for before the save
// it writes into goes.
class RowWriter {
  public:
    RowWriter(const Catalogue& c, const ExportRequest& request, const ExtractionResult& result,
              std::string_view vectorName, TimeLayout layout, SheetFormat format,
              const PageSetup& page, const std::string& path, RowGate& rows)
        : rows_(rows), page_(page) {
        thread_ = std::thread([=, this, &c, &request, &result, &rows] {
            try {
                // The table and its selection are the reading's to set up: nothing of them is
                // looked at before the first row is handed on.
                if (rows.WaitFor(1)) {
                    Write(c, request, result, vectorName, layout, format, path);
                }
            } catch (const SaveAborted&) {
            } catch (...) {
                failure_ = std::current_exception();
                rows.Close();  // the reading need not go on for a file that cannot be written
            }
            rows.Finish();
        });
    }
    ~RowWriter() { Stop(); }
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    // Waits for the writer; true when it wrote the whole sheet, rethrowing what it failed with.
    bool Join() {
        thread_.join();
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        return complete_;
    }
    // A sheet too large for the format, found once the selection was known.
    const std::string& Problem() const { return problem_; }
    void Stop() {
        rows_.Close();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    void Write(const Catalogue& c, const ExportRequest& request, const ExtractionResult& result,
               std::string_view vectorName, TimeLayout layout, SheetFormat format,
               const std::string& path) {
        problem_ = SheetLimitProblem(request, layout, format);
        if (!problem_.empty()) {
            rows_.Close();
            return;
        }
        std::unique_ptr<SheetWriter> sheet = MakeSheetWriter(format);
        const SheetExtent extent = ExtentOf(request, layout);
        WatchedSheet watched(
            *sheet, [this] { return rows_.Closed(); }, nullptr, extent.rows,
            [this](long row) { rows_.Written(row); });
        watched.Open(path, extent.rows, extent.columns);
        watched.PageSettings(page_, extent.columns);
        WriteSheetCells(c, request, result, vectorName, layout, watched, &rows_);
        watched.Close();
        rows_.Written(extent.rows);
        complete_ = true;
    }

    RowGate& rows_;
    const PageSetup& page_;  // the caller's, which outlives the writer
    std::thread thread_;
    std::exception_ptr failure_;
    std::string problem_;
    bool complete_ = false;
};

// Runs a save of `fileName`, showing whatever stops it as the failure the user must see: false
// then.
template <typename Save>
bool ShowingSaveFailures(MessageSink& messages, const std::string& fileName, Save&& save) {
    try {
        return save();
    } catch (const RuntimeError& error) {
        messages.ShowSaveFailure(fileName, error);
    } catch (const std::exception& error) {
        messages.ShowSaveFailure(fileName, RuntimeError(UnexpectedErrorNumber(error)));
    }
    return false;
}

bool WriteAsRead(const Catalogue& c, const ExportRequest& request, const ExtractionResult& result,
                 const std::string& fileName, std::string_view vectorName, TimeLayout layout,
                 SheetFormat format, const PageSetup& page, const std::atomic<bool>& stop,
                 MessageSink& messages, ProgressSink* progress,
                 const std::function<bool(RowGate&)>& read) {
    AtomicSave save(fileName);
    RowGate rows;
    if (layout == TimeLayout::InRows) {
        rows.WriteInTimeOrder();
    }
    RowWriter writer(c, request, result, vectorName, layout, format, page, save.WritePath(), rows);
    if (!read(rows)) {
        return false;  // the reading said why, or was stopped
    }
    // Every row is read: what the writer has left to write is waited for here, where the user
    // can still see it go and stop it.
    const long total = std::max(ExtentOf(request, layout).rows, 1L);
    while (!rows.WaitFinished(std::chrono::milliseconds(50))) {
        if (progress != nullptr) {
            progress->UpdateProgress(
                static_cast<Single>(rows.WrittenRows()) / static_cast<Single>(total),
                kWritingCaption);
        }
        if (stop) {
            writer.Stop();
            return false;
        }
    }
    if (!writer.Join()) {
        if (!writer.Problem().empty()) {
            messages.ShowMessage(writer.Problem(), MessageIcon::Critical, kExtractTitle);
        }
        return false;
    }
    return CommitSheet(save, stop, progress);
}

}  // namespace

bool WriteSpreadsheetAsRead(const Catalogue& c, const ExportRequest& request,
                            const ExtractionResult& result, const std::string& fileName,
                            std::string_view vectorName, TimeLayout layout,
                            const std::atomic<bool>& stop, MessageSink& messages,
                            SheetFormat format, ProgressSink* progress,
                            const std::function<bool(RowGate&)>& read, const PageSetup& page) {
    if (const std::string problem = PageSetupProblem(page, format); !problem.empty()) {
        messages.ShowMessage(problem, MessageIcon::Critical, kExtractTitle);
        return false;
    }
    return ShowingSaveFailures(messages, fileName, [&] {
        return WriteAsRead(c, request, result, fileName, vectorName, layout, format, page, stop,
                           messages, progress, read);
    });
}

bool WriteSpreadsheet(const Catalogue& c, const ExportRequest& request,
                      const ExtractionResult& result, const std::string& fileName,
                      std::string_view vectorName, TimeLayout layout, const std::atomic<bool>& stop,
                      MessageSink& messages, SheetFormat format, ProgressSink* progress,
                      const PageSetup& page) {
    std::string problem = SheetLimitProblem(request, layout, format);
    if (problem.empty()) {
        problem = PageSetupProblem(page, format);
    }
    if (!problem.empty()) {
        messages.ShowMessage(problem, MessageIcon::Critical, kExtractTitle);
        return false;
    }
    return ShowingSaveFailures(messages, fileName, [&] {
        return WriteReplacing(c, request, result, fileName, vectorName, layout, format, stop,
                              progress, page);
    });
}

}  // namespace velto
